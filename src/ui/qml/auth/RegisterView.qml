import QtQuick
import QtQuick.Layouts
import Nimbrel.Ui

// The registration screen.
Item {
    id: root
    objectName: "registerView"

    property string email: ""
    property string nickname: ""
    property string password: ""
    property string confirmPassword: ""
    readonly property bool passwordMismatch: confirmPassword.length > 0 && confirmPassword !== password
    readonly property bool canSubmit: email.length > 0 && AppViewModel.passwordLongEnough(password)
                                      && password === confirmPassword && !AppViewModel.authLoading

    function submit() {
        if (canSubmit)
            AppViewModel.registerAccount(email, password, nickname)
    }
    function backToLogin() {
        AppViewModel.showSignIn()
    }

    // Typing goes to the e-mail field as soon as the screen opens.
    Component.onCompleted: emailField.forceActiveFocus()

    AuthBackground { anchors.fill: parent }

    Flickable {
        id: scroll
        objectName: "registerScroll"
        anchors.fill: parent
        contentHeight: column.implicitHeight
        clip: true

        ColumnLayout {
            id: column
            width: parent.width
            spacing: 0

            RowLayout {
                Layout.fillWidth: true
                Layout.leftMargin: 28
                Layout.rightMargin: 28
                Layout.topMargin: 20
                TapButton {
                    objectName: "backButton"
                    text: qsTr("back")
                    implicitWidth: backRow.implicitWidth
                    implicitHeight: backRow.implicitHeight
                    Row {
                        id: backRow
                        spacing: 4
                        Icon {
                            symbol: "chevron.left"
                            size: 14
                            color: Theme.clrTextSecondary
                            anchors.verticalCenter: parent.verticalCenter
                        }
                        Text {
                            text: qsTr("back")
                            color: Theme.clrTextSecondary
                            font.pixelSize: 14
                        }
                    }
                    onClicked: root.backToLogin()
                }
                Item { Layout.fillWidth: true }
                LanguagePicker {}
            }
            Item { Layout.preferredHeight: 24 }
            LogoView { size: 64; Layout.alignment: Qt.AlignHCenter }
            Item { Layout.preferredHeight: 14 }
            Text {
                objectName: "createAccountTitle"
                Layout.alignment: Qt.AlignHCenter
                text: qsTr("create_account")
                color: Theme.clrTextPrimary
                font.pixelSize: 24
                font.bold: true
            }
            Text {
                Layout.alignment: Qt.AlignHCenter
                Layout.topMargin: 4
                text: qsTr("start_experience")
                color: Theme.clrTextSecondary
                font.pixelSize: 13
            }
            Item { Layout.preferredHeight: 28 }

            CardBackground {
                Layout.fillWidth: true
                Layout.leftMargin: 28
                Layout.rightMargin: 28
                implicitHeight: card.implicitHeight + 40

                ColumnLayout {
                    id: card
                    anchors.fill: parent
                    anchors.margins: 20
                    spacing: 14

                    ErrorBox {
                        Layout.fillWidth: true
                        message: AppViewModel.authError
                    }
                    FieldGroup {
                        Layout.fillWidth: true
                        label: qsTr("email_label")
                        AuthField {
                            id: emailField
                            objectName: "registerEmailField"
                            width: parent.width
                            Accessible.name: qsTr("email_label")
                            inputMethodHints: UiFormat.emailInputHints
                            onTextEdited: {
                                root.email = text
                                AppViewModel.clearAuthError()
                            }
                            onAccepted: root.submit()
                        }
                    }
                    FieldGroup {
                        Layout.fillWidth: true
                        label: qsTr("nickname_optional")
                        AuthField {
                            objectName: "nicknameField"
                            width: parent.width
                            Accessible.name: qsTr("nickname_optional")
                            onTextEdited: root.nickname = text
                            onAccepted: root.submit()
                        }
                    }
                    FieldGroup {
                        Layout.fillWidth: true
                        label: qsTr("password_min_8")
                        PasswordField {
                            id: passwordField
                            objectName: "registerPasswordField"
                            toggleName: "registerPasswordToggle"
                            width: parent.width
                            Accessible.name: qsTr("password_min_8")
                            input.onTextEdited: {
                                root.password = passwordField.text
                                AppViewModel.clearAuthError()
                            }
                            onAccepted: root.submit()
                        }
                    }
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 4
                        FieldGroup {
                            Layout.fillWidth: true
                            label: qsTr("confirm_password")
                            PasswordField {
                                id: confirmField
                                objectName: "confirmPasswordField"
                                toggleName: "confirmPasswordToggle"
                                width: parent.width
                                Accessible.name: qsTr("confirm_password")
                                input.onTextEdited: {
                                    root.confirmPassword = confirmField.text
                                    AppViewModel.clearAuthError()
                                }
                                onAccepted: root.submit()
                            }
                        }
                        Text {
                            objectName: "mismatchText"
                            visible: root.passwordMismatch
                            text: qsTr("password_mismatch")
                            color: Theme.clrError
                            font.pixelSize: 11
                        }
                    }
                    PrimaryButton {
                        objectName: "registerButton"
                        Layout.fillWidth: true
                        text: qsTr("register_button")
                        busy: AppViewModel.authLoading
                        enabled: root.canSubmit
                        onClicked: root.submit()
                    }
                }
            }
            Item { Layout.preferredHeight: 20 }
            LinkRow {
                Layout.alignment: Qt.AlignHCenter
                question: qsTr("have_account")
                action: qsTr("login_now")
                actionName: "loginNowButton"
                onTriggered: root.backToLogin()
            }
            Item { Layout.preferredHeight: 40 }
        }
    }
    PageScrollBar { flickable: scroll }
}
