import QtQuick
import Nimbrel.Ui

// A labelled on/off switch across its row: a click, Space or Return turns it over.
TapButton {
    id: root

    property bool checked: false

    implicitHeight: Math.max(label.implicitHeight, track.height) + 16
    Accessible.role: Accessible.CheckBox
    Accessible.checkable: true
    Accessible.checked: checked

    Text {
        id: label
        anchors.left: parent.left
        anchors.right: track.left
        anchors.rightMargin: 12
        anchors.verticalCenter: parent.verticalCenter
        text: root.text
        color: Theme.clrTextPrimary
        font.pixelSize: 14
        wrapMode: Text.Wrap
    }
    Rectangle {
        id: track
        objectName: root.objectName + "Track"
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        width: 36
        height: 20
        radius: 10
        color: root.checked ? Theme.clrPrimary : Theme.clrBgCardBorder
        Rectangle {
            x: root.checked ? parent.width - width - 2 : 2
            y: 2
            width: 16
            height: 16
            radius: 8
            color: Theme.white
        }
    }
}
