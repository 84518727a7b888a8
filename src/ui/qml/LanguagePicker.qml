import QtQuick
import QtQuick.Controls.Basic
import Nimbrel.Ui

// The language menu: the current language's flag in a round button; the menu lists every language in
// its own script and marks the current one.
Item {
    id: root
    objectName: "languagePicker"
    width: 36
    height: 36

    Button {
        id: face
        objectName: "languageButton"
        anchors.fill: parent
        Accessible.name: LanguageManager.flag
        flat: true
        padding: 0
        background: Rectangle {
            radius: width / 2
            color: Theme.clrBgCard
        }
        contentItem: Text {
            text: LanguageManager.flag
            font.pixelSize: 20
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
        }
        onClicked: menu.open()
    }

    Menu {
        id: menu
        objectName: "languageMenu"
        y: root.height + 4
        x: root.width - width

        Repeater {
            model: LanguageManager.languages

            MenuItem {
                id: entry
                required property var modelData
                objectName: "language_" + modelData.code
                text: modelData.flag + " " + modelData.displayName
                Accessible.name: modelData.displayName
                onTriggered: LanguageManager.setLanguageCode(modelData.code)
                contentItem: Row {
                    spacing: 8
                    Text {
                        text: entry.text
                        color: Theme.clrTextPrimary
                        font.pixelSize: 14
                        width: 150
                    }
                    Icon {
                        symbol: "checkmark"
                        size: 14
                        color: Theme.clrPrimary
                        visible: LanguageManager.language === entry.modelData.code
                        anchors.verticalCenter: parent.verticalCenter
                    }
                }
            }
        }
        background: Rectangle {
            implicitWidth: 200
            color: Theme.clrBgCard
            border.color: Theme.clrBgCardBorder
            radius: 8
        }
    }
}
