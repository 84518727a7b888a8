import QtQuick
import Nimbrel.Ui

// The open language menu: a list under its button, drawn above every screen of the window. A click
// outside or Escape closes it; Up and Down move between the entries, Space or Return picks one.
MouseArea {
    id: root
    objectName: "languageMenu"

    required property Item anchorItem
    property bool returnFocus: false

    function open() {
        returnFocus = anchorItem.activeFocus
        const corner = anchorItem.mapToItem(parent, anchorItem.width - list.width, anchorItem.height + 4)
        list.x = Math.max(4, corner.x)
        list.y = corner.y
        visible = true
        entries.itemAt(Math.max(0, LanguageManager.languages.findIndex(l => l.code === LanguageManager.language)))
            .forceActiveFocus()
    }
    function close() {
        visible = false
        if (returnFocus)
            anchorItem.forceActiveFocus()
    }

    parent: anchorItem.Window.contentItem
    anchors.fill: parent
    z: 1000
    visible: false
    onClicked: close()
    Keys.onEscapePressed: close()

    Rectangle {
        id: list
        width: 200
        height: column.implicitHeight + 8
        color: Theme.clrBgCard
        border.color: Theme.clrBgCardBorder
        radius: 8

        // Clicks on the list's own margins do not close it.
        MouseArea { anchors.fill: parent }

        Column {
            id: column
            x: 4
            y: 4
            width: parent.width - 8

            Repeater {
                id: entries
                model: LanguageManager.languages

                TapButton {
                    id: entry
                    required property var modelData
                    required property int index
                    objectName: "language_" + modelData.code
                    width: column.width
                    implicitHeight: 34
                    text: modelData.displayName
                    Accessible.role: Accessible.MenuItem
                    focusFrame: false
                    KeyNavigation.up: entries.itemAt(index - 1)
                    KeyNavigation.down: entries.itemAt(index + 1)
                    onClicked: {
                        LanguageManager.setLanguageCode(modelData.code)
                        root.close()
                    }
                    Rectangle {
                        anchors.fill: parent
                        radius: 6
                        color: entry.hovered || entry.activeFocus ? Theme.clrBgSurface : "transparent"
                    }
                    Row {
                        anchors.fill: parent
                        anchors.leftMargin: 8
                        anchors.rightMargin: 8
                        spacing: 8
                        Text {
                            text: entry.modelData.flag + " " + entry.modelData.displayName
                            color: Theme.clrTextPrimary
                            font.pixelSize: 14
                            width: 150
                            anchors.verticalCenter: parent.verticalCenter
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
        }
    }
}
