import QtQuick
import Nimbrel.Ui

// A caption above a field.
Column {
    id: root

    property string label
    default property alias content: holder.data

    spacing: 6

    Text {
        text: root.label
        color: Theme.clrTextSecondary
        font.pixelSize: 11
    }
    Item {
        id: holder
        width: root.width
        implicitHeight: childrenRect.height
    }
}
