import QtQuick
import QtQuick.Layouts
import Nimbrel.Ui

// The signed-in screen: top bar, connection card, subscription card and, for an active subscription,
// the node list.
Rectangle {
    id: root
    objectName: "homeView"

    readonly property bool subscriptionActive: AppViewModel.subscriptionStatus === "ACTIVE"

    color: Theme.clrBgDeep

    Component.onCompleted: {
        if (subscriptionActive && AppViewModel.nodes.length === 0)
            AppViewModel.loadNodes()
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        TopBar { Layout.fillWidth: true }

        Flickable {
            objectName: "homeScroll"
            Layout.fillWidth: true
            Layout.fillHeight: true
            contentHeight: content.implicitHeight + 36
            clip: true

            ColumnLayout {
                id: content
                x: 16
                y: 16
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
                }
            }
        }
    }
}
