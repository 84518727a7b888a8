import QtQuick
import Nimbrel.Ui

// A short text shown after the pointer rests on its parent button for a moment. It is drawn in the
// window's own content item, so no screen covers it, and placed inside the window.
Item {
    id: root

    property string text
    readonly property TapButton button: parent

    Timer {
        id: delay
        interval: 600
        running: root.button.hovered && !root.button.pressed
    }

    Loader {
        active: root.button.hovered && !delay.running && root.Window.contentItem !== null
        sourceComponent: Rectangle {
            readonly property Item host: root.Window.contentItem
            readonly property point below: root.button.mapToItem(host, root.button.width - width, root.button.height + 4)
            parent: host
            z: 1000
            x: Math.max(0, below.x)
            y: below.y + height <= host.height ? below.y : below.y - root.button.height - height - 8
            width: tipText.implicitWidth + 16
            height: tipText.implicitHeight + 8
            radius: 4
            color: Theme.clrBgSurface
            border.color: Theme.clrBgCardBorder
            Text {
                id: tipText
                anchors.centerIn: parent
                text: root.text
                color: Theme.clrTextPrimary
                font.pixelSize: 12
            }
        }
    }
}
