import QtQuick
import Nimbrel.Ui

// The main window. Each time its content is shown it asks the view model to restore a stored session.
Window {
    id: root
    objectName: "main"
    title: "Nimbrel"
    width: 440
    height: 680
    minimumWidth: 440
    maximumWidth: 440
    minimumHeight: 480
    color: Theme.clrBgDeep

    onVisibleChanged: {
        if (visible)
            AppViewModel.tryAutoLogin()
    }

    RootView {
        anchors.fill: parent
    }
}
