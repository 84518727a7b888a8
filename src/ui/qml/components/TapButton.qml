import QtQuick
import Nimbrel.Ui

// The app's button: whatever it contains is its look (give it an implicit size, or size it), over a
// mouse area. Tab reaches it and Space or Return presses it; a screen reader sees a button named after
// its text. Built from Qt Quick alone and without script at creation, so that the first screen is
// quick to build.
Item {
    id: root

    property string text: ""
    property bool focusFrame: true
    readonly property bool hovered: area.containsMouse
    readonly property bool pressed: area.pressed

    signal clicked()

    activeFocusOnTab: enabled

    Accessible.role: Accessible.Button
    Accessible.name: text
    Accessible.focusable: true
    Accessible.onPressAction: root.press()

    function press() {
        if (root.enabled)
            root.clicked()
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
    Loader {
        anchors.fill: parent
        anchors.margins: -2
        z: 1
        active: root.focusFrame && root.activeFocus
        sourceComponent: Rectangle {
            radius: 6
            color: "transparent"
            border.color: Theme.clrPrimary
            border.width: 1.5
        }
    }
}
