import QtQuick
import QtQuick.Layouts
import Nimbrel.Ui

// A caption above a field.
ColumnLayout {
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
        Layout.fillWidth: true
        implicitHeight: childrenRect.height
    }
}
