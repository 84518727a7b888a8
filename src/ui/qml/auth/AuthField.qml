import QtQuick
import Nimbrel.Ui

// A single-line input in the sign-in style: surface fill, outline, padding 12 × 10.
TextInput {
    id: root

    color: Theme.clrTextPrimary
    selectionColor: Theme.clrPrimary
    selectedTextColor: Theme.white
    font.pixelSize: 14
    leftPadding: 12
    rightPadding: 12
    topPadding: 10
    bottomPadding: 10
    verticalAlignment: TextInput.AlignVCenter
    selectByMouse: true
    activeFocusOnTab: true
    clip: true
    Accessible.role: Accessible.EditableText

    Rectangle {
        z: -1
        anchors.fill: parent
        radius: 8
        color: Theme.clrBgSurface
        border.color: Theme.clrBgCardBorder
        border.width: 1
    }
}
