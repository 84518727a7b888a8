import QtQuick
import QtQuick.Layouts
import Nimbrel.Ui

// Product name, language menu, avatar and sign-out.
Rectangle {
    id: root
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
        Rectangle {
            objectName: "avatar"
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
