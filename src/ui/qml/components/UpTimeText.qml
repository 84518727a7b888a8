import QtQuick
import Nimbrel.Ui

// "Connected for 1:02:03": how long the tunnel has been up, ticking once a second while it is up and
// on screen.
Text {
    id: root
    property int tick: 0
    visible: AppViewModel.isConnected && text !== ""
    // Read so that the text follows them (and the clock, through tick).
    text: {
        root.tick
        AppViewModel.upSince
        AppViewModel.isConnected
        return AppViewModel.upTimeText()
    }
    color: Theme.clrTextSecondary
    Accessible.name: text

    Timer {
        interval: 1000
        repeat: true
        running: AppViewModel.isConnected && root.Window.window !== null && root.Window.window.visible
        onTriggered: root.tick++
    }
}
