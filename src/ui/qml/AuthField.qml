import QtQuick
import QtQuick.Controls.Basic
import Nimbrel.Ui

// A single-line input in the sign-in style: surface fill, outline, padding 12 × 10.
TextField {
    id: root
    color: Theme.clrTextPrimary
    font.pixelSize: 14
    leftPadding: 12
    rightPadding: 12
    topPadding: 10
    bottomPadding: 10
    selectByMouse: true
    background: Rectangle {
        radius: 8
        color: Theme.clrBgSurface
        border.color: Theme.clrBgCardBorder
        border.width: 1
    }
}
