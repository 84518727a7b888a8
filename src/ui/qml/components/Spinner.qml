import QtQuick
import Nimbrel.Ui

// A turning arc while something runs. It exists only while running and turns only while its window
// is shown, so a spinner behind a hidden window costs nothing.
Item {
    id: root

    property bool running: false
    property color color: Theme.clrTextSecondary

    visible: running
    implicitWidth: 20
    implicitHeight: 20
    Accessible.role: Accessible.Animation
    Accessible.name: qsTr("a11y_busy")

    Loader {
        anchors.fill: parent
        active: root.running
        sourceComponent: Icon {
            symbol: "progress.arc"
            size: Math.min(root.width, root.height)
            color: root.color

            NumberAnimation on rotation {
                from: 0
                to: 360
                duration: 900
                loops: Animation.Infinite
                running: root.Window.window !== null && root.Window.window.visible
            }
        }
    }
}
