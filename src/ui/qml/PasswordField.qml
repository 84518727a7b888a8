import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
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

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 12
        anchors.rightMargin: 12
        spacing: 8

        TextField {
            id: input
            objectName: root.objectName + "Input"
            Layout.fillWidth: true
            Accessible.name: root.Accessible.name
            echoMode: root.shown ? TextInput.Normal : TextInput.Password
            color: Theme.clrTextPrimary
            font.pixelSize: 14
            leftPadding: 0
            rightPadding: 0
            topPadding: 10
            bottomPadding: 10
            background: null
            onAccepted: root.accepted()
        }
        Button {
            objectName: root.toggleName
            flat: true
            padding: 0
            focusPolicy: Qt.NoFocus
            text: root.shown ? qsTr("hide_password") : qsTr("show_password")
            Accessible.name: text
            background: null
            contentItem: Text {
                text: parent.text
                color: Theme.clrTextSecondary
                font.pixelSize: 12
            }
            onClicked: root.shown = !root.shown
        }
    }
}
