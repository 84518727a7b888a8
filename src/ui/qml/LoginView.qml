import QtQuick
import QtQuick.Layouts
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
            AppViewModel.login(UiFormat.trimmed(email), password)
    }

    AuthBackground { anchors.fill: parent }

    Flickable {
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
                Item { Layout.fillWidth: true }
                LanguagePicker {}
            }
            Item { Layout.preferredHeight: 32 }
            LogoView { size: 72; Layout.alignment: Qt.AlignHCenter }
            Item { Layout.preferredHeight: 16 }
            Text {
                Layout.alignment: Qt.AlignHCenter
                text: "Nimbrel"
                color: Theme.clrTextPrimary
                font.pixelSize: 26
                font.bold: true
            }
            Text {
                objectName: "slogan"
                Layout.alignment: Qt.AlignHCenter
                Layout.topMargin: 4
                text: qsTr("slogan")
                color: Theme.clrTextSecondary
                font.pixelSize: 13
            }
            Item { Layout.preferredHeight: 36 }

            CardBackground {
                Layout.fillWidth: true
                Layout.leftMargin: 28
                Layout.rightMargin: 28
                implicitHeight: card.implicitHeight + 40

                ColumnLayout {
                    id: card
                    anchors.fill: parent
                    anchors.margins: 20
                    spacing: 16

                    Text {
                        objectName: "loginTitle"
                        text: qsTr("login_title")
                        color: Theme.clrTextPrimary
                        font.pixelSize: 18
                        font.weight: Font.DemiBold
                    }
                    ErrorBox {
                        Layout.fillWidth: true
                        message: AppViewModel.authError
                    }
                    FieldGroup {
                        Layout.fillWidth: true
                        label: qsTr("email_label")
                        AuthField {
                            objectName: "emailField"
                            width: parent.width
                            Accessible.name: qsTr("email_label")
                            inputMethodHints: Qt.ImhEmailCharactersOnly | Qt.ImhNoAutoUppercase
                            onTextEdited: {
                                root.email = text
                                AppViewModel.clearAuthError()
                            }
                            KeyNavigation.tab: passwordField.input
                        }
                    }
                    FieldGroup {
                        Layout.fillWidth: true
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
                        Layout.fillWidth: true
                        text: qsTr("login_button")
                        busy: AppViewModel.authLoading
                        enabled: root.canSubmit
                        onClicked: root.submit()
                    }
                }
            }
            Item { Layout.preferredHeight: 20 }
            LinkRow {
                Layout.alignment: Qt.AlignHCenter
                question: qsTr("no_account")
                action: qsTr("register_now")
                actionName: "registerNowButton"
                onTriggered: {
                    AppViewModel.clearAuthError()
                    AppViewModel.screen = AppViewModel.Register
                }
            }
            Item { Layout.preferredHeight: 40 }
        }
    }
}
