import QtQuick
import Nimbrel.Ui

// The app's button: a look (background and contentItem, as with Qt Quick Controls) over a mouse area.
// Tab reaches it and Space or Return presses it; a screen reader sees a button named after its text;
// a toolTip, when set, appears after a short hover. Built from Qt Quick alone, so no style library has
// to load before the first screen shows.
Item {
    id: root

    property string text: ""
    property string toolTip: ""
    property real padding: 0
    property bool focusFrame: true
    property Item background: null
    property Item contentItem: null
    readonly property bool hovered: area.containsMouse
    readonly property bool pressed: area.pressed

    signal clicked()

    implicitWidth: Math.max(background ? background.implicitWidth : 0,
                            (contentItem ? contentItem.implicitWidth : 0) + 2 * padding)
    implicitHeight: Math.max(background ? background.implicitHeight : 0,
                             (contentItem ? contentItem.implicitHeight : 0) + 2 * padding)
    activeFocusOnTab: enabled

    Accessible.role: Accessible.Button
    Accessible.name: text
    Accessible.description: toolTip
    Accessible.focusable: true
    Accessible.onPressAction: root.press()

    function press() {
        if (root.enabled)
            root.clicked()
    }

    onBackgroundChanged: {
        if (!background)
            return
        background.parent = root
        background.z = -1
        background.width = Qt.binding(() => root.width)
        background.height = Qt.binding(() => root.height)
    }
    onContentItemChanged: {
        if (!contentItem)
            return
        contentItem.parent = root
        contentItem.x = Qt.binding(() => root.padding)
        contentItem.y = Qt.binding(() => root.padding)
        contentItem.width = Qt.binding(() => Math.max(0, root.width - 2 * root.padding))
        contentItem.height = Qt.binding(() => Math.max(0, root.height - 2 * root.padding))
    }

    Keys.onPressed: event => {
        if (event.key === Qt.Key_Space || event.key === Qt.Key_Return || event.key === Qt.Key_Enter) {
            event.accepted = true
            root.press()
        }
    }

    MouseArea {
        id: area
        anchors.fill: parent
        hoverEnabled: true
        onClicked: root.press()
    }

    // Keyboard focus only: a click does not take focus.
    Rectangle {
        anchors.fill: parent
        anchors.margins: -2
        radius: 6
        color: "transparent"
        border.color: Theme.clrPrimary
        border.width: 1.5
        visible: root.focusFrame && root.activeFocus
    }

    Timer {
        id: tipDelay
        interval: 600
        running: root.toolTip !== "" && root.hovered && !root.pressed
    }

    Loader {
        active: root.toolTip !== "" && root.hovered && !tipDelay.running && root.Window.contentItem !== null
        sourceComponent: Rectangle {
            // Above every screen: drawn in the window's own content item, beside the button, inside the window.
            readonly property Item host: root.Window.contentItem
            readonly property point below: root.mapToItem(host, root.width - width, root.height + 4)
            parent: host
            z: 1000
            x: Math.max(0, below.x)
            y: below.y + height <= host.height ? below.y : below.y - root.height - height - 8
            width: tipText.implicitWidth + 16
            height: tipText.implicitHeight + 8
            radius: 4
            color: Theme.clrBgSurface
            border.color: Theme.clrBgCardBorder
            Text {
                id: tipText
                anchors.centerIn: parent
                text: root.toolTip
                color: Theme.clrTextPrimary
                font.pixelSize: 12
            }
        }
    }
}
