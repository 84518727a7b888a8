import QtQuick
import Nimbrel.Ui

// A full-width accent button that shows a spinner instead of its label while busy, beside busyText
// when there is one. It is drawn at half opacity whenever it cannot be pressed (also while busy),
// unless brightWhileBusy.
TapButton {
    id: root

    property bool busy: false
    property string busyText: ""
    property color fill: Theme.clrPrimary
    property real faceRadius: 10
    property int labelSize: 15
    property bool brightWhileBusy: false

    implicitHeight: 44

    Rectangle {
        objectName: root.objectName + "Face"
        anchors.fill: parent
        radius: root.faceRadius
        color: root.pressed ? Qt.darker(root.fill, 1.15) : root.fill
        opacity: root.enabled || (root.busy && root.brightWhileBusy) ? 1.0 : 0.5
    }
    Row {
        anchors.centerIn: parent
        spacing: 8
        // Loaded by name while busy only, so a screen whose buttons are idle (the first one shown) does
        // not compile a spinner.
        Loader {
            objectName: root.objectName + "Spinner"
            anchors.verticalCenter: parent.verticalCenter
            width: 18
            height: 18
            active: root.busy
            visible: active
            source: "Spinner.qml"
            onLoaded: {
                item.color = Theme.white
                item.running = true
            }
        }
        Text {
            objectName: root.objectName + "Label"
            anchors.verticalCenter: parent.verticalCenter
            visible: !root.busy || root.busyText.length > 0
            text: root.busy ? root.busyText : root.text
            color: Theme.white
            font.pixelSize: root.labelSize
            font.weight: Font.DemiBold
        }
    }
}
