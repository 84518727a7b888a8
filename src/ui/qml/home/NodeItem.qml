import QtQuick
import QtQuick.Layouts
import Nimbrel.Ui

// One node: flag with selection dot, name (and offline badge), load bar, latency badge and probe
// button. Pressing the row selects the node; the probe button only probes.
Item {
    id: root
    objectName: "node_" + nodeId

    required property double nodeId // a 64-bit id: exact in a double up to 2^53
    required property string name
    required property string countryName
    required property string flagEmoji
    required property int loadPercent
    required property bool isOnline
    required property bool hasPing // probed at least once; then pingMs holds the result
    required property int pingMs   // milliseconds, or -1 for a timeout
    required property bool isPinging
    required property bool isSelected
    required property int index
    // The last row shown (of those that match the search) closes the card.
    property bool isLast: ListView.view ? index === ListView.view.count - 1 : true
    // The node of the tunnel that is up, whatever is selected for the next connect.
    readonly property bool isRunning: AppViewModel.runningNodeId !== 0 && AppViewModel.runningNodeId === nodeId
    // What a screen reader says of the row.
    readonly property string spokenText: {
        const parts = [name, countryName, LanguageManager.fill(qsTr("a11y_load"), loadPercent)]
        parts.push(!hasPing ? qsTr("a11y_not_measured") : pingMs < 0 ? qsTr("timeout")
                                                                     : LanguageManager.fill(qsTr("a11y_latency"), pingMs))
        if (!isOnline)
            parts.push(qsTr("offline"))
        if (isSelected)
            parts.push(qsTr("a11y_selected"))
        if (isRunning)
            parts.push(qsTr("connected_mark"))
        return parts.filter(part => part.length > 0).join(", ")
    }
    // The keyboard is on the list and this is its current row.
    readonly property bool keyFocused: ListView.view !== null && ListView.view.rowsFocused && ListView.view.keyRow === index

    function levelColor(level) {
        return level === UiFormat.Good ? Theme.clrConnected : level === UiFormat.Warning ? Theme.clrWarning : Theme.clrError
    }
    readonly property color loadColor: levelColor(UiFormat.loadLevel(loadPercent))
    readonly property color pingColor: hasPing ? levelColor(UiFormat.latencyLevel(pingMs)) : Theme.clrError

    implicitHeight: row.implicitHeight + 24 + (isLast ? 0 : 1)

    // Its slice of the node list card: the two sides, and for the last row the rounded bottom.
    CardBackground {
        anchors.fill: parent
        visible: root.isLast
    }
    Rectangle {
        width: parent.width
        height: root.isLast ? parent.height / 2 : parent.height
        color: Theme.clrBgCard
        Rectangle { width: 1; height: parent.height; color: Theme.clrBgCardBorder }
        Rectangle { x: parent.width - 1; width: 1; height: parent.height; color: Theme.clrBgCardBorder }
    }
    Rectangle {
        anchors.fill: parent
        anchors.margins: 1
        radius: root.isLast ? 15 : 0
        color: root.isSelected ? Qt.rgba(Theme.clrPrimary.r, Theme.clrPrimary.g, Theme.clrPrimary.b, 0.05) : "transparent"
    }
    MouseArea {
        objectName: root.objectName + "_select"
        anchors.fill: parent
        Accessible.role: Accessible.Button
        Accessible.name: root.spokenText
        onClicked: AppViewModel.selectNodeById(root.nodeId)
    }

    Rectangle {
        objectName: "rowFocusFrame"
        anchors.fill: parent
        anchors.margins: 2
        visible: root.keyFocused
        radius: root.isLast ? 14 : 4
        color: "transparent"
        border.color: Theme.clrPrimary
        border.width: 1.5
    }

    RowLayout {
        id: row
        x: 16
        y: 12
        width: parent.width - 32
        spacing: 12

        Item {
            Layout.preferredWidth: 36
            Layout.preferredHeight: 32
            Text {
                anchors.centerIn: parent
                text: root.flagEmoji
                font.pixelSize: 24
            }
            Rectangle {
                objectName: "selectionDot"
                width: 12
                height: 12
                radius: 6
                x: parent.width - width + 2
                y: parent.height - height + 2
                color: root.isSelected ? Theme.clrPrimary : "transparent"
                border.width: 1.5
                border.color: root.isSelected ? Theme.clrPrimary : Theme.clrTextDim
            }
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 4
            RowLayout {
                Layout.fillWidth: true
                spacing: 6
                Text {
                    objectName: "nameText"
                    Layout.fillWidth: true
                    Layout.maximumWidth: Math.ceil(implicitWidth) // a layout rounds down: a fraction less would elide
                    // Isolated: a direction override in the name reaches no further than the name.
                    text: "\u2068" + root.name + "\u2069"
                    textFormat: Text.PlainText // markup the service sends is shown, never run
                    elide: Text.ElideRight
                    color: Theme.clrTextPrimary
                    font.pixelSize: 14
                    font.weight: Font.Medium
                }
                Rectangle {
                    objectName: "connectedBadge"
                    visible: root.isRunning
                    implicitWidth: connectedMark.implicitWidth + 12
                    implicitHeight: connectedMark.implicitHeight + 4
                    radius: height / 2
                    color: Qt.rgba(Theme.clrConnected.r, Theme.clrConnected.g, Theme.clrConnected.b, 0.15)
                    Text {
                        id: connectedMark
                        anchors.centerIn: parent
                        text: qsTr("connected_mark")
                        color: Theme.clrConnected
                        font.pixelSize: 10
                        font.weight: Font.DemiBold
                    }
                }
                Rectangle {
                    objectName: "offlineBadge"
                    visible: !root.isOnline
                    implicitWidth: offline.implicitWidth + 12
                    implicitHeight: offline.implicitHeight + 4
                    radius: height / 2
                    color: Qt.rgba(Theme.clrError.r, Theme.clrError.g, Theme.clrError.b, 0.15)
                    Text {
                        id: offline
                        anchors.centerIn: parent
                        text: qsTr("offline")
                        color: Theme.clrError
                        font.pixelSize: 10
                        font.weight: Font.DemiBold
                    }
                }
                Item { Layout.fillWidth: true } // the name keeps its width and the badges stay beside it
            }
            RowLayout {
                spacing: 6
                Rectangle {
                    objectName: "loadBar"
                    property color barColor: root.loadColor
                    implicitWidth: 80
                    implicitHeight: 4
                    radius: 2
                    color: Theme.clrBgCardBorder
                    Rectangle {
                        width: parent.width * Math.max(0, Math.min(100, root.loadPercent)) / 100
                        height: parent.height
                        radius: 2
                        color: parent.barColor
                    }
                }
                Text {
                    text: root.loadPercent + "%"
                    color: Theme.clrTextDim
                    font.pixelSize: 11
                }
            }
        }
        ColumnLayout {
            Layout.alignment: Qt.AlignRight | Qt.AlignVCenter
            spacing: 4
            Rectangle {
                objectName: "latencyBadge"
                property color badgeColor: root.pingColor
                Layout.alignment: Qt.AlignHCenter
                visible: root.hasPing
                implicitWidth: latency.implicitWidth + 12
                implicitHeight: latency.implicitHeight + 4
                radius: 4
                color: Qt.rgba(badgeColor.r, badgeColor.g, badgeColor.b, 0.12)
                Text {
                    id: latency
                    objectName: "latencyText"
                    anchors.centerIn: parent
                    text: !root.hasPing ? "" : root.pingMs < 0 ? qsTr("timeout") : root.pingMs + " ms"
                    color: parent.badgeColor
                    font.pixelSize: 11
                    font.weight: Font.Medium
                }
            }
            TapButton {
                objectName: "ping_" + root.nodeId
                Layout.alignment: Qt.AlignHCenter
                enabled: !root.isPinging
                Accessible.name: LanguageManager.fill(qsTr("a11y_probe"), root.name)
                activeFocusOnTab: false // the list is one stop; P probes its current row
                implicitWidth: 20
                implicitHeight: 20
                Spinner {
                    anchors.centerIn: parent
                    running: root.isPinging
                    width: 12
                    height: 12
                }
                Icon {
                    anchors.centerIn: parent
                    visible: !root.isPinging
                    symbol: "bolt.fill"
                    size: 12
                    color: Theme.clrTextSecondary
                }
                onClicked: AppViewModel.pingNodeById(root.nodeId)
            }
        }
    }
    Rectangle {
        visible: !root.isLast
        x: 16
        width: parent.width - 16
        height: 1
        anchors.bottom: parent.bottom
        color: Theme.clrBgCardBorder
    }
}
