import QtQuick
import QtQuick.Layouts
import Nimbrel.Ui

// The signed-in screen: top bar, connection card, subscription card and, for an active subscription,
// the node list.
Rectangle {
    id: root
    objectName: "homeView"

    readonly property bool subscriptionActive: AppViewModel.subscriptionActive
    readonly property bool nodesError: AppViewModel.nodesError !== undefined && AppViewModel.nodesError !== null
    readonly property int nodeCount: AppViewModel.nodeModel.count
    // The rows show once there is a list and neither the first load nor a load error is on screen.
    readonly property bool rowsShown: subscriptionActive && nodeCount > 0 && !nodesError
                                      && !(AppViewModel.nodesLoading && nodeCount === 0)

    color: Theme.clrBgDeep

    Component.onCompleted: {
        if (subscriptionActive && AppViewModel.nodes.length === 0)
            AppViewModel.loadNodes()
    }

    // The settings cover the page while open; the page keeps its place behind them.
    property bool settingsShown: false
    property bool settingsByKeyboard: false
    Loader {
        anchors.fill: parent
        z: 1
        active: root.settingsShown
        sourceComponent: SettingsView {
            byKeyboard: root.settingsByKeyboard
            onClosed: {
                root.settingsShown = false
                topBar.focusSettingsButton()
            }
        }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0
        visible: !root.settingsShown

        TopBar {
            id: topBar
            Layout.fillWidth: true
            onSettingsRequested: byKeyboard => {
                root.settingsByKeyboard = byKeyboard
                root.settingsShown = true
            }
        }

        // One scrolling page: the cards are the list's header and the node rows its delegates, so only
        // the rows on screen exist, however many nodes the service lists.
        Item {
            Layout.fillWidth: true
            Layout.fillHeight: true
            ListView {
                id: page
                objectName: "homeScroll"
                anchors.fill: parent
                clip: true
                topMargin: 16
                bottomMargin: 20
                model: root.rowsShown ? AppViewModel.nodeRows : null

                // The cards grow above the rows (a status that wraps, a section that appears): a page at
                // its top stays at its top, so the first card's edge never slides out of sight.
                property bool atTop: true
                // The keyboard is on the rows (NodeListKeys): the row at keyRow shows it. The list's own
                // current item stays unset, since a list hands its current item the focus.
                property bool rowsFocused: false
                property int keyRow: 0
                currentIndex: -1
                onModelChanged: currentIndex = -1 // a new model would make its first row current

                // A search or a new list resets the rows, and a reset would take the page back to its top:
                // it keeps its place instead, so the field one types into stays where it was.
                property real keptY: 0
                property bool keptAtTop: true
                function restoreY() {
                    if (!keptAtTop)
                        contentY = Math.max(originY - topMargin, Math.min(keptY, originY + contentHeight + bottomMargin - height))
                }
                Connections {
                    target: AppViewModel.nodeRows
                    function onModelAboutToBeReset() {
                        page.keptY = page.contentY
                        page.keptAtTop = page.atTop
                    }
                    function onModelReset() {
                        Qt.callLater(page.restoreY)
                    }
                }
                onContentYChanged: atTop = contentY <= originY - topMargin + 0.5
                function keepTop() {
                    if (atTop)
                        contentY = originY - topMargin
                }
                onOriginYChanged: keepTop()

                header: Item {
                    width: page.width
                    height: cards.implicitHeight
                    ColumnLayout {
                        id: cards
                        x: 16
                        width: parent.width - 32
                        spacing: 16

                        VpnHeroCard {
                            Layout.fillWidth: true
                            compact: page.height < 520 // the button stays in view on a short screen
                        }
                        SubscriptionCard {
                            Layout.fillWidth: true
                            active: root.subscriptionActive
                        }
                        NodeListSection {
                            Layout.fillWidth: true
                            visible: root.subscriptionActive
                            rowsFollow: root.rowsShown
                            rows: page
                        }
                    }
                }
                delegate: NodeItem {
                    x: 16
                    width: page.width - 32
                }
                footer: Item {
                    objectName: "nodeRows"
                    visible: root.rowsShown
                    width: page.width
                    height: 0
                }
            }
            PageScrollBar { flickable: page }
        }
    }
}
