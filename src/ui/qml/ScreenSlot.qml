import QtQuick

// One screen of the main window: built when it is shown, faded in and out over 0.2 s, and thrown away
// once it has faded out, so a screen shown again starts with empty fields.
Loader {
    id: root

    property bool shown: false

    width: 440
    anchors.horizontalCenter: parent.horizontalCenter
    anchors.top: parent.top
    anchors.bottom: parent.bottom
    active: shown || opacity > 0
    opacity: shown ? 1 : 0
    visible: opacity > 0

    Behavior on opacity {
        NumberAnimation {
            duration: 200
            easing.type: Easing.InOutQuad
        }
    }
}
