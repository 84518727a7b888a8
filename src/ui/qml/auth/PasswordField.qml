import QtQuick
import Nimbrel.Ui

// A password input with a show/hide switch in one framed row. Switching keeps the text.
Rectangle {
    id: root

    property alias text: input.text
    property alias input: input
    property bool shown: false
    property string toggleName: "passwordToggle"
    signal accepted()

    implicitHeight: input.implicitHeight
    radius: 8
    color: Theme.clrBgSurface
    border.color: Theme.clrBgCardBorder
    border.width: 1

    TextInput {
        id: input
        objectName: root.objectName + "Input"
        anchors.left: parent.left
        anchors.leftMargin: 12
        anchors.right: toggle.left
        anchors.rightMargin: 8
        anchors.verticalCenter: parent.verticalCenter
        Accessible.role: Accessible.EditableText
        Accessible.name: root.Accessible.name
        echoMode: root.shown ? TextInput.Normal : TextInput.Password
        color: Theme.clrTextPrimary
        selectionColor: Theme.clrPrimary
        selectedTextColor: Theme.white
        font.pixelSize: 14
        topPadding: 10
        bottomPadding: 10
        selectByMouse: true
        activeFocusOnTab: true
        clip: true
        onAccepted: root.accepted()
    }
    TapButton {
        id: toggle
        objectName: root.toggleName
        anchors.right: parent.right
        anchors.rightMargin: 12
        anchors.verticalCenter: parent.verticalCenter
        activeFocusOnTab: false
        text: root.shown ? qsTr("hide_password") : qsTr("show_password")
        implicitWidth: toggleLabel.implicitWidth
        implicitHeight: toggleLabel.implicitHeight
        Text {
            id: toggleLabel
            text: toggle.text
            color: Theme.clrTextSecondary
            font.pixelSize: 12
        }
        onClicked: root.shown = !root.shown
    }
}
