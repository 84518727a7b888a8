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

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        TopBar { Layout.fillWidth: true }

        // One scrolling page: the cards are the list's header and the node rows its delegates, so only
        // the rows on screen exist, however many nodes the service lists.
        ListView {
            id: page
            objectName: "homeScroll"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            topMargin: 16
            bottomMargin: 20
            model: root.rowsShown ? AppViewModel.nodeRows : null

            // The cards grow above the rows (a status that wraps, a section that appears): a page at
            // its top stays at its top, so the first card's edge never slides out of sight.
            property bool atTop: true
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

                    VpnHeroCard { Layout.fillWidth: true }
                    SubscriptionCard {
                        Layout.fillWidth: true
                        active: root.subscriptionActive
                    }
                    NodeListSection {
                        Layout.fillWidth: true
                        visible: root.subscriptionActive
                        rowsFollow: root.rowsShown
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
    }
}
