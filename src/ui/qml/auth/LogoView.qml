import QtQuick
import Nimbrel.Ui

// The logo mark: a rounded square in the accent gradient with the product's initial.
Item {
    id: root

    property real size: 64

    width: size
    height: size

    // A soft accent shadow below the mark.
    Repeater {
        model: 4
        Rectangle {
            required property int index
            x: -index * 2
            y: 4 - index * 2 + index
            width: root.size + index * 4
            height: root.size + index * 4
            radius: root.size * 0.28 + index * 2
            color: Theme.clrPrimary
            opacity: 0.4 / (index + 2)
        }
    }

    // A diagonal gradient, top-left to bottom-right: the even blend of a vertical and a horizontal
    // gradient between the same two colours is exactly that, and stays clipped to the rounded corners.
    Rectangle {
        anchors.fill: parent
        radius: root.size * 0.28
        gradient: Gradient {
            GradientStop { position: 0.0; color: Theme.clrPrimary }
            GradientStop { position: 1.0; color: Theme.logoGradientEnd }
        }
    }
    Rectangle {
        anchors.fill: parent
        radius: root.size * 0.28
        opacity: 0.5
        gradient: Gradient {
            orientation: Gradient.Horizontal
            GradientStop { position: 0.0; color: Theme.clrPrimary }
            GradientStop { position: 1.0; color: Theme.logoGradientEnd }
        }
    }

    Text {
        objectName: "logoLetter"
        anchors.centerIn: parent
        text: "N"
        color: Theme.white
        // Pixel sizes are whole: the rest of size × 0.44 (28.16 at 64) is a scale.
        font.pixelSize: Math.floor(root.size * 0.44)
        scale: root.size * 0.44 / font.pixelSize
        font.bold: true
    }
}
