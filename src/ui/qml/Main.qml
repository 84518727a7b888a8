import QtQuick
import Nimbrel.Ui

// The main window. Each time its content is shown it asks the view model to restore a stored session.
Window {
    id: root
    objectName: "main"
    title: "Nimbrel"
    // Never taller than the screen leaves room for (a 1280×800 screen at 1.5 scale has 533 points); the
    // screens scroll when they must.
    width: 440
    height: Math.min(680, Screen.desktopAvailableHeight)
    minimumWidth: 440
    maximumWidth: 440
    minimumHeight: Math.min(480, Screen.desktopAvailableHeight)
    color: Theme.clrBgDeep

    onVisibleChanged: {
        if (visible)
            AppViewModel.tryAutoLogin()
    }

    RootView {
        anchors.fill: parent
    }
}
