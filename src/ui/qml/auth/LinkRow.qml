import QtQuick
import Nimbrel.Ui

// "Question? " followed at once by a link-coloured button.
Row {
    id: root

    property string question
    property string action
    property string actionName
    signal triggered()

    Text {
        text: root.question
        color: Theme.clrTextSecondary
        font.pixelSize: 14
        anchors.verticalCenter: parent.verticalCenter
    }
    TapButton {
        objectName: root.actionName
        text: root.action
        implicitWidth: actionLabel.implicitWidth
        implicitHeight: actionLabel.implicitHeight
        Text {
            id: actionLabel
            text: root.action
            color: Theme.clrPrimary
            font.pixelSize: 14
            font.weight: Font.DemiBold
        }
        onClicked: root.triggered()
    }
}
