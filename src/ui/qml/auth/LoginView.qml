import QtQuick
import Nimbrel.Ui

// The sign-in screen.
Item {
    id: root
    objectName: "loginView"

    property string email: ""
    property string password: ""
    readonly property bool canSubmit: email.length > 0 && password.length > 0 && !AppViewModel.authLoading

    function submit() {
        if (canSubmit)
            AppViewModel.login(email, password)
    }

    // Typing goes to the e-mail field as soon as the screen opens.
    Component.onCompleted: emailField.forceActiveFocus()

    AuthBackground { anchors.fill: parent }

    Flickable {
        id: scroll
        objectName: "loginScroll"
        anchors.fill: parent
        contentHeight: column.height
        clip: true

        // Plain positioners: this is the first screen, and it should not wait for a layout library.
        Column {
            id: column
            width: parent.width
            topPadding: 20
            bottomPadding: 40

            Item {
                width: column.width
                height: picker.height
                LanguagePicker {
                    id: picker
                    anchors.right: parent.right
                    anchors.rightMargin: 28
                }
            }
            Item { width: 1; height: 32 }
            LogoView { size: 72; anchors.horizontalCenter: parent.horizontalCenter }
            Item { width: 1; height: 16 }
            Text {
                anchors.horizontalCenter: parent.horizontalCenter
                text: "Nimbrel"
                color: Theme.clrTextPrimary
                font.pixelSize: 26
                font.bold: true
            }
            Item { width: 1; height: 4 }
            Text {
                objectName: "slogan"
                anchors.horizontalCenter: parent.horizontalCenter
                text: qsTr("slogan")
                color: Theme.clrTextSecondary
                font.pixelSize: 13
            }
            Item { width: 1; height: 36 }

            CardBackground {
                x: 28
                width: column.width - 56
                height: card.height + 40

                Column {
                    id: card
                    x: 20
                    y: 20
                    width: parent.width - 40
                    spacing: 16

                    Text {
                        objectName: "loginTitle"
                        text: qsTr("login_title")
                        color: Theme.clrTextPrimary
                        font.pixelSize: 18
                        font.weight: Font.DemiBold
                    }
                    // Loaded by name once there is an error to show, so the first frame does not compile
                    // the box.
                    Loader {
                        objectName: "errorBox"
                        width: card.width
                        active: AppViewModel.authError !== null && AppViewModel.authError !== undefined
                        visible: active
                        source: "ErrorBox.qml"
                        onLoaded: item.message = Qt.binding(() => AppViewModel.authError)
                    }
                    FieldGroup {
                        width: card.width
                        label: qsTr("email_label")
                        AuthField {
                            id: emailField
                            objectName: "emailField"
                            width: parent.width
                            Accessible.name: qsTr("email_label")
                            inputMethodHints: UiFormat.emailInputHints
                            onTextEdited: {
                                root.email = text
                                AppViewModel.clearAuthError()
                            }
                            KeyNavigation.tab: passwordField.input
                            onAccepted: root.submit()
                        }
                    }
                    FieldGroup {
                        width: card.width
                        label: qsTr("password_label")
                        PasswordField {
                            id: passwordField
                            objectName: "passwordField"
                            width: parent.width
                            Accessible.name: qsTr("password_label")
                            input.onTextEdited: {
                                root.password = passwordField.text
                                AppViewModel.clearAuthError()
                            }
                            onAccepted: root.submit()
                            input.KeyNavigation.tab: loginButton
                        }
                    }
                    PrimaryButton {
                        id: loginButton
                        objectName: "loginButton"
                        width: card.width
                        text: qsTr("login_button")
                        busy: AppViewModel.authLoading
                        enabled: root.canSubmit
                        onClicked: root.submit()
                    }
                }
            }
            Item { width: 1; height: 20 }
            LinkRow {
                anchors.horizontalCenter: parent.horizontalCenter
                question: qsTr("no_account")
                action: qsTr("register_now")
                actionName: "registerNowButton"
                onTriggered: AppViewModel.showRegistration()
            }
        }
    }
    PageScrollBar { flickable: scroll }
}
