import QtQuick
import QtQuick.Layouts
import Nimbrel.Ui

// Product name, language menu, settings, avatar and sign-out.
Rectangle {
    id: root
    objectName: "topBar"

    // byKeyboard: the gear had the keyboard focus, so the settings take it.
    signal settingsRequested(bool byKeyboard)
    function focusSettingsButton() {
        gear.forceActiveFocus()
    }

    implicitHeight: row.implicitHeight + 24
    color: Theme.clrBgDeep

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.leftMargin: 16
        anchors.rightMargin: 16
        anchors.topMargin: 12
        anchors.bottomMargin: 12
        spacing: 10

        Text {
            text: "Nimbrel"
            color: Theme.clrTextPrimary
            font.pixelSize: 17
            font.bold: true
        }
        Item { Layout.fillWidth: true }
        LanguagePicker {}
        TapButton {
            id: gear
            objectName: "settingsButton"
            text: qsTr("settings")
            implicitWidth: 22
            implicitHeight: 22
            Icon {
                anchors.centerIn: parent
                symbol: "gearshape"
                size: 18
                color: Theme.clrTextSecondary
            }
            HoverTip { text: qsTr("settings") }
            onClicked: root.settingsRequested(gear.activeFocus)
        }
        Rectangle {
            objectName: "avatar"
            Accessible.role: Accessible.StaticText
            Accessible.name: LanguageManager.fill(qsTr("a11y_account"), AppViewModel.userEmail)
            width: 32
            height: 32
            radius: 16
            color: Theme.clrPrimaryDim
            Text {
                objectName: "avatarLetter"
                anchors.centerIn: parent
                text: UiFormat.avatarLetter(AppViewModel.userNickname, AppViewModel.userEmail)
                color: Theme.white
                font.pixelSize: 13
                font.bold: true
            }
        }
        TapButton {
            objectName: "logoutButton"
            text: qsTr("logout")
            implicitWidth: 22
            implicitHeight: 22
            Icon {
                anchors.centerIn: parent
                symbol: "rectangle.portrait.and.arrow.right"
                size: 18
                color: Theme.clrTextSecondary
            }
            HoverTip { text: qsTr("logout") }
            onClicked: AppViewModel.logout()
        }
    }
}
