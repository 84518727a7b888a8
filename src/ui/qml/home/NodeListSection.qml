import QtQuick
import QtQuick.Layouts
import Nimbrel.Ui

// The top of the node list card: header with Test all, Fastest and Refresh, the search field, then a
// spinner, the load error or the empty note. The rows follow as the home page's list delegates
// (NodeItem), which carry on the card below; the keyboard reaches them as one stop (NodeListKeys).
CardBackground {
    id: root
    objectName: "nodeListSection"

    readonly property bool hasError: AppViewModel.nodesError !== undefined && AppViewModel.nodesError !== null
    readonly property int nodeCount: AppViewModel.nodeModel.count
    // The page whose delegates are the rows.
    property ListView rows: null
    // Whether rows follow: then the card continues below with square bottom corners and no edge.
    property bool rowsFollow: false

    Rectangle {
        visible: root.rowsFollow
        anchors.bottom: parent.bottom
        width: parent.width
        height: root.radius
        color: Theme.clrBgCard
        Rectangle { width: 1; height: parent.height; color: Theme.clrBgCardBorder }
        Rectangle { x: parent.width - 1; width: 1; height: parent.height; color: Theme.clrBgCardBorder }
    }

    implicitHeight: column.implicitHeight

    ColumnLayout {
        id: column
        anchors.left: parent.left
        anchors.right: parent.right
        spacing: 0

        // The buttons go below the title when a language's words leave no room beside it.
        GridLayout {
            id: header
            objectName: "nodeListHeader"
            readonly property bool stacked: title.implicitWidth + buttons.implicitWidth + columnSpacing > width
            Layout.fillWidth: true
            Layout.margins: 16
            Layout.topMargin: 12
            Layout.bottomMargin: 12
            columns: stacked ? 1 : 2
            rowSpacing: 8
            columnSpacing: 12
            Text {
                id: title
                Layout.fillWidth: true
                text: qsTr("select_node")
                color: Theme.clrTextPrimary
                font.pixelSize: 15
                font.weight: Font.DemiBold
            }
            RowLayout {
                id: buttons
                objectName: "nodeListButtons"
                Layout.alignment: header.stacked ? Qt.AlignLeft : Qt.AlignRight
                spacing: 0
                TapButton {
                    objectName: "testAllButton"
                    enabled: root.nodeCount > 0
                    opacity: enabled ? 1 : 0.5
                    text: qsTr("test_all")
                    implicitWidth: testAllText.implicitWidth
                    implicitHeight: testAllText.implicitHeight
                    Text {
                        id: testAllText
                        text: qsTr("test_all")
                        color: Theme.clrTextSecondary
                        font.pixelSize: 12
                    }
                    onClicked: AppViewModel.testAllNodes()
                }
                TapButton {
                    objectName: "fastestButton"
                    Layout.leftMargin: 8
                    enabled: root.nodeCount > 0 && !AppViewModel.pickingFastest
                    opacity: root.nodeCount > 0 ? 1 : 0.5
                    text: qsTr("fastest")
                    implicitWidth: fastestRow.implicitWidth
                    implicitHeight: fastestRow.implicitHeight
                    Row {
                        id: fastestRow
                        spacing: 4
                        Spinner {
                            running: AppViewModel.pickingFastest
                            visible: running
                            width: 12
                            height: 12
                            anchors.verticalCenter: parent.verticalCenter
                        }
                        Text {
                            text: qsTr("fastest")
                            color: Theme.clrTextSecondary
                            font.pixelSize: 12
                        }
                    }
                    onClicked: AppViewModel.pickFastestNode()
                }
                TapButton {
                    objectName: "refreshNodesButton"
                    Layout.leftMargin: 8
                    enabled: !AppViewModel.nodesLoading
                    text: qsTr("refresh_nodes")
                    implicitWidth: refreshRow.implicitWidth
                    implicitHeight: refreshRow.implicitHeight
                    Row {
                        id: refreshRow
                        spacing: 4
                        Spinner {
                            running: AppViewModel.nodesLoading
                            width: 12
                            height: 12
                            anchors.verticalCenter: parent.verticalCenter
                        }
                        Icon {
                            visible: !AppViewModel.nodesLoading
                            symbol: "arrow.clockwise"
                            size: 12
                            color: Theme.clrTextSecondary
                            anchors.verticalCenter: parent.verticalCenter
                        }
                        Text {
                            text: qsTr("refresh_nodes")
                            color: Theme.clrTextSecondary
                            font.pixelSize: 12
                        }
                    }
                    onClicked: AppViewModel.loadNodes()
                }
            }
        }
        Rectangle {
            Layout.fillWidth: true
            Layout.preferredHeight: 1
            color: Theme.clrBgCardBorder
        }
        SearchField {
            id: search
            objectName: "nodeSearchField"
            Layout.fillWidth: true
            Layout.margins: 12
            visible: root.nodeCount > 0
            KeyNavigation.down: listKeys
        }
        NodeListKeys {
            id: listKeys
            objectName: "nodeListKeys"
            Layout.fillWidth: true
            rows: root.rows
        }
        Text {
            objectName: "noMatchText"
            Layout.margins: 16
            visible: root.nodeCount > 0 && AppViewModel.nodeRows.count === 0
            text: qsTr("no_nodes_match")
            color: Theme.clrTextSecondary
            font.pixelSize: 13
        }

        Spinner {
            objectName: "nodesSpinner"
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 24
            Layout.bottomMargin: 24
            Layout.preferredWidth: 36
            Layout.preferredHeight: 36
            running: AppViewModel.nodesLoading && root.nodeCount === 0
        }
        Text {
            objectName: "nodesErrorText"
            Layout.fillWidth: true
            Layout.margins: 16
            visible: !(AppViewModel.nodesLoading && root.nodeCount === 0) && root.hasError
            text: root.hasError ? LanguageManager.fill(qsTr("nodes_load_failed"), AppViewModel.nodesError) : ""
            textFormat: Text.PlainText
            color: Theme.clrError
            font.pixelSize: 13
            wrapMode: Text.Wrap
        }
        Text {
            objectName: "nodesNoticeText"
            Layout.fillWidth: true
            Layout.leftMargin: 16
            Layout.rightMargin: 16
            Layout.topMargin: 8
            Layout.bottomMargin: 8
            visible: AppViewModel.nodesNotice !== undefined && AppViewModel.nodesNotice !== null
            text: visible ? AppViewModel.nodesNotice : ""
            color: Theme.clrWarning
            font.pixelSize: 13
            wrapMode: Text.Wrap
        }
        Text {
            objectName: "noNodesText"
            Layout.margins: 16
            visible: !(AppViewModel.nodesLoading && root.nodeCount === 0) && !root.hasError && root.nodeCount === 0
            text: qsTr("no_nodes_available")
            color: Theme.clrTextSecondary
            font.pixelSize: 13
        }
    }
}
