import QtQuick
import QtQuick.Layouts
import Nimbrel.Ui

// The connection card: lock emblem, status, selected node, routing mode and the one button.
CardBackground {
    id: root
    objectName: "vpnHeroCard"

    property real pulseScale: 1.0
    // Less room around the emblem, for a short window.
    property bool compact: false
    readonly property string mode: AppViewModel.routingModeName
    readonly property bool locked: AppViewModel.isConnected || AppViewModel.isVpnLoading || AppViewModel.isReconnecting

    implicitHeight: column.implicitHeight + 2 * column.anchors.margins

    // The halos breathe while connected: 1.0 to 1.12 in 1.2 s, eased, and back, for ever. The scale
    // steps 10 times a second instead of at every frame (at most 3 px a step on the outer halo, so the
    // breath looks the same, and each step redraws the whole window, which a software renderer feels),
    // and it rests while no one can see it: a hidden or minimized window (the app in the tray) or a
    // signed-out screen costs no frames.
    Timer {
        id: pulse
        objectName: "pulse"
        property double startedAt: 0
        interval: 100
        repeat: true
        running: AppViewModel.isConnected && root.visible && root.Window.window !== null && root.Window.window.visible
                 && root.Window.window.visibility !== Window.Minimized
        onRunningChanged: {
            startedAt = Date.now()
            root.pulseScale = 1.0
        }
        onTriggered: root.pulseScale = UiFormat.pulseScale(Date.now() - startedAt)
    }

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: root.compact ? 14 : 20
        spacing: root.compact ? 12 : 20

        Item {
            objectName: "lockEmblem"
            Layout.fillWidth: true
            Layout.preferredHeight: root.compact ? 96 : 140
            scale: root.compact ? 0.7 : 1
            Rectangle {
                visible: AppViewModel.isConnected
                anchors.centerIn: parent
                width: 130
                height: width
                scale: root.pulseScale
                radius: width / 2
                color: Qt.rgba(Theme.clrConnected.r, Theme.clrConnected.g, Theme.clrConnected.b, 0.05)
            }
            Rectangle {
                visible: AppViewModel.isConnected
                anchors.centerIn: parent
                width: 100
                height: width
                scale: root.pulseScale
                radius: width / 2
                color: Qt.rgba(Theme.clrConnected.r, Theme.clrConnected.g, Theme.clrConnected.b, 0.08)
            }
            Rectangle {
                anchors.centerIn: parent
                width: 80
                height: 80
                radius: 40
                color: AppViewModel.isConnected
                       ? Qt.rgba(Theme.clrConnected.r, Theme.clrConnected.g, Theme.clrConnected.b, 0.15)
                       : Qt.rgba(Theme.clrPrimary.r, Theme.clrPrimary.g, Theme.clrPrimary.b, 0.1)
            }
            Icon {
                objectName: "lockIcon"
                anchors.centerIn: parent
                symbol: AppViewModel.isConnected ? "lock.fill" : "lock"
                size: 36
                color: AppViewModel.isConnected ? Theme.clrConnected : Theme.clrTextSecondary
            }
        }

        // Long statuses (a failure's reason, another language) wrap inside the card.
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 6
            Text {
                objectName: "vpnStatusText"
                Layout.fillWidth: true
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.Wrap
                text: AppViewModel.vpnStatus
                color: AppViewModel.isConnected ? Theme.clrConnected
                                                : AppViewModel.vpnFailed ? Theme.clrError : Theme.clrTextPrimary
                font.pixelSize: 16
                font.weight: Font.DemiBold
                Accessible.name: text
            }
            Text {
                objectName: "selectedNodeText"
                Layout.fillWidth: true
                horizontalAlignment: Text.AlignHCenter
                wrapMode: Text.Wrap
                maximumLineCount: 2
                elide: Text.ElideRight
                textFormat: Text.PlainText
                visible: AppViewModel.shownNode !== undefined && AppViewModel.shownNode !== null
                text: visible ? AppViewModel.shownNode.flagEmoji + " \u2068" + AppViewModel.shownNode.name + "\u2069" : ""
                color: Theme.clrTextSecondary
                font.pixelSize: 13
            }
            UpTimeText {
                objectName: "upTimeText"
                Layout.fillWidth: true
                horizontalAlignment: Text.AlignHCenter
                font.pixelSize: 12
            }
        }

        RowLayout {
            objectName: "routingModeSwitch"
            Layout.fillWidth: true
            Layout.leftMargin: 20
            Layout.rightMargin: 20
            spacing: 0
            enabled: !root.locked
            opacity: root.locked ? 0.5 : 1.0

            Repeater {
                model: [{ value: "safe", key: "mode_safe" }, { value: "smart", key: "mode_smart" }]
                TapButton {
                    id: modeButton
                    required property var modelData
                    readonly property bool checked: root.mode === modelData.value
                    objectName: "mode_" + modelData.value
                    Layout.fillWidth: true
                    implicitHeight: 30
                    text: qsTr(modelData.key)
                    Accessible.role: Accessible.RadioButton
                    Accessible.checkable: true
                    Accessible.checked: checked
                    Rectangle {
                        anchors.fill: parent
                        radius: 7
                        color: modeButton.checked ? Theme.clrPrimary : Theme.clrBgSurface
                        border.color: Theme.clrBgCardBorder
                    }
                    Text {
                        anchors.fill: parent
                        text: modeButton.text
                        color: modeButton.checked ? Theme.white : Theme.clrTextSecondary
                        font.pixelSize: 13
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                    }
                    onClicked: AppViewModel.chooseRoutingModeByName(modelData.value)
                }
            }
        }

        ConnectButton {
            objectName: "connectButton"
            Layout.fillWidth: true
            Layout.leftMargin: 20
            Layout.rightMargin: 20
        }
    }
}
