import QtQuick
import Nimbrel.Ui

// A thin scroll bar along the right edge of a flickable whose content is taller than its view: it shows
// where the view is, and its handle can be dragged. Put it beside the flickable, not inside it. It also
// scrolls to the item the keyboard moves to, when that lies out of view.
Item {
    id: root
    objectName: flickable ? flickable.objectName + "ScrollBar" : ""

    required property Flickable flickable
    readonly property real span: flickable.contentHeight + flickable.topMargin + flickable.bottomMargin

    visible: span > flickable.height + 1
    x: flickable.x + flickable.width - width - 2
    y: flickable.y + 2
    width: 6
    height: flickable.height - 4

    Connections {
        target: root.Window.window
        function onActiveFocusItemChanged() {
            const item = root.Window.window.activeFocusItem
            let inside = item
            while (inside && inside !== root.flickable.contentItem)
                inside = inside.parent
            if (!inside)
                return
            const top = item.mapToItem(root.flickable.contentItem, 0, 0).y
            const bottom = top + item.height
            if (top - 8 < root.flickable.contentY)
                root.flickable.contentY = top - 8
            else if (bottom + 8 > root.flickable.contentY + root.flickable.height)
                root.flickable.contentY = bottom + 8 - root.flickable.height
        }
    }

    Rectangle {
        id: handle
        width: parent.width
        radius: width / 2
        color: Theme.clrTextDim
        opacity: drag.pressed || drag.containsMouse || root.flickable.moving ? 0.9 : 0.5
        height: Math.max(24, root.height * root.flickable.height / root.span)
        y: (root.height - height) * Math.max(0, Math.min(1, (root.flickable.contentY - root.flickable.originY
                                                             + root.flickable.topMargin)
                                                            / (root.span - root.flickable.height)))
        MouseArea {
            id: drag
            anchors.fill: parent
            anchors.leftMargin: -6 // easier to catch, and still inside the window
            hoverEnabled: true
            property real grabbedAt: 0
            onPressed: mouse => grabbedAt = mouse.y
            onPositionChanged: mouse => {
                if (!pressed)
                    return
                const top = Math.max(0, Math.min(root.height - handle.height, handle.y + mouse.y - grabbedAt))
                root.flickable.contentY = root.flickable.originY - root.flickable.topMargin
                                          + top / (root.height - handle.height) * (root.span - root.flickable.height)
            }
        }
    }
}
