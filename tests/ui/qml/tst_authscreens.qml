import QtQuick
import QtTest
import Nimbrel.Ui

Item {
    id: root
    width: 440
    height: 680

    Component { id: loginComponent; LoginView { anchors.fill: parent } }
    Component { id: registerComponent; RegisterView { anchors.fill: parent } }

    TestCase {
        name: "AuthScreens"
        when: windowShown

        function type(field, text) {
            field.forceActiveFocus()
            for (var i = 0; i < text.length; ++i)
                keyClick(text[i])
        }
        function clearField(field) {
            field.forceActiveFocus()
            field.selectAll()
            keyClick(Qt.Key_Delete)
        }

        function test_signInButtonNeedsBothFields() {
            var view = createTemporaryObject(loginComponent, root)
            var button = findChild(view, "loginButton")
            compare(button.enabled, false)
            type(findChild(view, "emailField"), " ")
            compare(button.enabled, false)
            type(findChild(view, "passwordFieldInput"), "x")
            compare(button.enabled, true) // an e-mail of spaces is not empty
        }

        function test_registrationRules() {
            var view = createTemporaryObject(registerComponent, root)
            var button = findChild(view, "registerButton")
            var mismatch = findChild(view, "mismatchText")
            type(findChild(view, "registerEmailField"), "a@b.c")
            type(findChild(view, "registerPasswordFieldInput"), "1234567")
            type(findChild(view, "confirmPasswordFieldInput"), "1234567")
            compare(button.enabled, false) // seven characters
            compare(mismatch.visible, false)
            type(findChild(view, "registerPasswordFieldInput"), "8")
            compare(mismatch.visible, true)
            compare(mismatch.text, "Passwords do not match")
            type(findChild(view, "confirmPasswordFieldInput"), "8")
            compare(mismatch.visible, false)
            compare(button.enabled, true)
            clearField(findChild(view, "confirmPasswordFieldInput"))
            compare(mismatch.visible, false) // an empty confirmation shows no mismatch
            compare(button.enabled, false)
        }

        function test_showPasswordKeepsTheText() {
            var view = createTemporaryObject(loginComponent, root)
            var input = findChild(view, "passwordFieldInput")
            type(input, "secret")
            compare(input.echoMode, TextInput.Password)
            mouseClick(findChild(view, "passwordToggle"))
            compare(input.echoMode, TextInput.Normal)
            compare(input.text, "secret")
            type(input, "!")
            compare(input.text, "secret!")
        }
    }
}
