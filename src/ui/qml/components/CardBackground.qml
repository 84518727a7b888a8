import QtQuick
import Nimbrel.Ui

// The card surface: a rounded panel with a one-point outline. It adds no padding.
Rectangle {
    radius: 16
    color: Theme.clrBgCard
    border.color: Theme.clrBgCardBorder
    border.width: 1
}
