import QtQuick
import Nimbrel.Ui

// The main window. Each time its content is shown it asks the view model to restore a stored session.
Window {
    id: root
    objectName: "main"
    title: "Nimbrel"
    // Its height (680, at least 480) is kept within its screen by the app (WindowFit); the screens
    // scroll when they must.
    width: 440
    minimumWidth: 440
    maximumWidth: 440
    color: Theme.clrBgDeep
    // Set by the app once the first frame is on screen: what that frame can do without waits for it.
    property bool firstFrameShown: false

    // Ctrl+Q, as the panel's quit button.
    signal quitRequested()

    Shortcut {
        sequence: "Ctrl+Q" // Cmd+Q on macOS
        onActivated: root.quitRequested()
    }
    Shortcut {
        sequences: [StandardKey.Close]
        onActivated: root.close()
    }

    onVisibleChanged: {
        if (visible)
            AppViewModel.tryAutoLogin()
    }

    RootView {
        anchors.fill: parent
    }
}
