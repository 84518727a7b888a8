import QtQuick
import QtQuick.Layouts
import Nimbrel.Ui

// Whether the subscription is active, its plan and expiry, and the way to renew or subscribe.
CardBackground {
    id: root
    objectName: "subscriptionCard"

    property bool active: false
    readonly property color badgeColor: active ? Theme.clrConnected : Theme.clrWarning

    implicitHeight: column.implicitHeight + 32

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 16
        spacing: 12

        Rectangle {
            implicitWidth: badge.implicitWidth + 20
            implicitHeight: badge.implicitHeight + 8
            radius: height / 2
            color: Qt.rgba(root.badgeColor.r, root.badgeColor.g, root.badgeColor.b, 0.12)
            Text {
                id: badge
                objectName: "subscriptionBadge"
                anchors.centerIn: parent
                text: root.active ? qsTr("subscribed") : qsTr("not_subscribed")
                color: root.badgeColor
                font.pixelSize: 13
                font.weight: Font.DemiBold
            }
        }
        Text {
            objectName: "planText"
            visible: !!AppViewModel.subscriptionPlan
            text: AppViewModel.subscriptionPlan || ""
            textFormat: Text.PlainText
            color: Theme.clrTextPrimary
            font.pixelSize: 14
            font.weight: Font.Medium
        }
        Text {
            objectName: "expiryText"
            visible: !!AppViewModel.subscriptionExpiry
            text: visible ? LanguageManager.fill(qsTr("expires_format"), UiFormat.formatExpiry(AppViewModel.subscriptionExpiry)) : ""
            color: Theme.clrTextSecondary
            font.pixelSize: 13
        }
        PrimaryButton {
            objectName: "subscribeButton"
            Layout.fillWidth: true
            implicitHeight: 38
            faceRadius: 8
            labelSize: 14
            fill: root.active ? Theme.clrPrimaryDim : Theme.clrPrimary
            text: root.active ? qsTr("renew") : qsTr("subscribe_now")
            onClicked: AppViewModel.openSubscribePage()
        }
        Text {
            objectName: "subscribeNotice"
            Layout.fillWidth: true
            visible: !!AppViewModel.subscribeNotice
            text: visible ? AppViewModel.subscribeNotice : ""
            color: Theme.clrError
            font.pixelSize: 12
            wrapMode: Text.Wrap
        }
    }
}
