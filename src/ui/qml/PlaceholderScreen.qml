import QtQuick
import QtQuick.Controls
import Nimbrel.Ui

// Stands in for a screen until it is built: names itself, shows one looked-up text and the
// connection status, and offers the four languages.
Rectangle {
    id: root

    required property string name
    required property string sampleKey

    color: Theme.clrBgDeep

    Column {
        anchors.centerIn: parent
        spacing: 16

        Text {
            objectName: "screenName"
            anchors.horizontalCenter: parent.horizontalCenter
            text: root.name
            color: Theme.clrTextSecondary
            font.pixelSize: 13
        }
        Text {
            objectName: "sampleText"
            anchors.horizontalCenter: parent.horizontalCenter
            text: qsTr(root.sampleKey)
            color: Theme.clrTextPrimary
            font.pixelSize: 24
            font.bold: true
        }
        Text {
            objectName: "statusText"
            anchors.horizontalCenter: parent.horizontalCenter
            text: AppViewModel.vpnStatus
            color: Theme.clrTextSecondary
            font.pixelSize: 13
        }
        Row {
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 8

            Repeater {
                model: LanguageManager.languages

                Button {
                    required property var modelData
                    objectName: "language_" + modelData.code
                    text: modelData.displayName
                    Accessible.name: modelData.displayName
                    checkable: true
                    checked: LanguageManager.language === modelData.code
                    onClicked: LanguageManager.setLanguageCode(modelData.code)
                }
            }
        }
    }
}
