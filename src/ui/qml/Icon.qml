import QtQuick
import QtQuick.Controls.impl

// One of the app's own symbols, tinted.
IconImage {
    id: root

    required property string symbol
    property real size: 16

    source: "qrc:/Nimbrel/Ui/icons/" + root.symbol + ".svg"
    sourceSize.width: root.size
    sourceSize.height: root.size
    width: root.size
    height: root.size
}
