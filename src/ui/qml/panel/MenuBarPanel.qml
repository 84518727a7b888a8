import QtQuick
import QtQuick.Layouts
import Nimbrel.Ui

// The tray panel: status, the connected node, the connect button at home (and the disconnect button
// wherever a tunnel runs), and the ways back to the main window or out of the app.
Window {
    id: root
    objectName: "menuBarPanel"

    signal openMainRequested()
    signal quitRequested()

    flags: Qt.Tool | Qt.FramelessWindowHint | Qt.WindowStaysOnTopHint
    width: 240
    height: column.implicitHeight + 28
    color: Theme.clrBgCard
    title: "Nimbrel"

    Shortcut {
        sequence: "Esc"
        onActivated: root.hide()
    }
    Shortcut {
        sequence: "Ctrl+Q" // Cmd+Q on macOS
        onActivated: root.quitRequested()
    }

    ColumnLayout {
        id: column
        x: 14
        y: 14
        width: root.width - 28
        spacing: 12

        RowLayout {
            spacing: 8
            Rectangle {
                objectName: "panelStatusDot"
                width: 8
                height: 8
                radius: 4
                color: AppViewModel.isConnected ? Theme.clrConnected : Theme.clrTextDim
            }
            Text {
                objectName: "panelStatusText"
                Layout.fillWidth: true
                text: AppViewModel.vpnStatus
                color: AppViewModel.vpnFailed ? Theme.clrError : Theme.clrTextPrimary
                font.pixelSize: 13
                wrapMode: Text.Wrap
            }
        }
        Text {
            objectName: "panelNodeText"
            Layout.fillWidth: true
            visible: AppViewModel.isConnected && AppViewModel.shownNode !== undefined && AppViewModel.shownNode !== null
            text: visible ? AppViewModel.shownNode.flagEmoji + " \u2068" + AppViewModel.shownNode.name + "\u2069" : ""
            elide: Text.ElideRight
            textFormat: Text.PlainText
            color: Theme.clrTextSecondary
            font.pixelSize: 12
        }
        UpTimeText {
            objectName: "panelUpTimeText"
            Layout.fillWidth: true
            font.pixelSize: 11
        }
        Rectangle { objectName: "panelDivider1"; Layout.fillWidth: true; Layout.preferredHeight: 1; color: Theme.clrBgCardBorder }
        // Connect only at home; a tunnel that is up or starting can be stopped here from every screen.
        ConnectButton {
            id: panelConnect
            objectName: "panelConnectButton"
            Layout.fillWidth: true
            visible: AppViewModel.screen === AppViewModel.Home || tunnelActive
            implicitHeight: 32
            faceRadius: 8
            labelSize: 13
        }
        Rectangle { objectName: "panelDivider2"; Layout.fillWidth: true; Layout.preferredHeight: 1; color: Theme.clrBgCardBorder }
        RowLayout {
            spacing: 8
            TapButton {
                objectName: "openMainButton"
                text: "Open Nimbrel"
                implicitWidth: openLabel.implicitWidth
                implicitHeight: openLabel.implicitHeight
                Text {
                    id: openLabel
                    text: "Open Nimbrel"
                    color: Theme.clrTextSecondary
                    font.pixelSize: 12
                }
                onClicked: root.openMainRequested()
            }
            Item { Layout.fillWidth: true }
            TapButton {
                objectName: "quitButton"
                text: "Quit Nimbrel"
                implicitWidth: 14
                implicitHeight: 14
                Icon {
                    symbol: "power"
                    size: 14
                    color: Theme.clrTextSecondary
                }
                HoverTip { text: "Quit Nimbrel" }
                onClicked: root.quitRequested()
            }
        }
    }
}
