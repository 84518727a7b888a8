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

    Canvas {
        id: face
        anchors.fill: parent
        onPaint: {
            const ctx = getContext("2d")
            const r = root.size * 0.28
            const s = root.size
            ctx.reset()
            ctx.beginPath()
            ctx.moveTo(r, 0)
            ctx.arcTo(s, 0, s, s, r)
            ctx.arcTo(s, s, 0, s, r)
            ctx.arcTo(0, s, 0, 0, r)
            ctx.arcTo(0, 0, s, 0, r)
            ctx.closePath()
            const gradient = ctx.createLinearGradient(0, 0, s, s)
            gradient.addColorStop(0, Theme.clrPrimary)
            gradient.addColorStop(1, Theme.logoGradientEnd)
            ctx.fillStyle = gradient
            ctx.fill()
        }
        onWidthChanged: requestPaint()
    }

    Text {
        anchors.centerIn: parent
        text: "N"
        color: Theme.white
        font.pixelSize: root.size * 0.44
        font.bold: true
    }
}
