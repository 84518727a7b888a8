import QtQuick
import QtQuick.Controls.Basic
import Nimbrel.Ui

// A full-width accent button that shows a spinner instead of its label while busy.
Button {
    id: root

    property bool busy: false
    property color fill: Theme.clrPrimary
    property real faceRadius: 10
    property int labelSize: 15

    implicitHeight: 44
    Accessible.name: text
    hoverEnabled: true

    background: Rectangle {
        radius: root.faceRadius
        color: root.fill
        opacity: root.enabled || root.busy ? 1.0 : 0.5
    }
    contentItem: Item {
        implicitHeight: 20
        BusyIndicator {
            objectName: root.objectName + "Spinner"
            anchors.centerIn: parent
            running: root.busy
            visible: root.busy
            scale: 0.8
            width: 28
            height: 28
            palette.dark: Theme.white
        }
        Text {
            anchors.centerIn: parent
            visible: !root.busy
            text: root.text
            color: Theme.white
            font.pixelSize: root.labelSize
            font.weight: Font.DemiBold
        }
    }
}
