import QtQuick
import Nimbrel.Ui

// The one button that connects or disconnects; while a start runs it spins, and once the start has
// run for a while it offers to cancel it (a disconnect of the start).
PrimaryButton {
    readonly property bool tunnelActive: AppViewModel.isConnected || AppViewModel.isVpnLoading

    fill: AppViewModel.isConnected ? Theme.clrError : Theme.clrPrimary
    text: AppViewModel.isConnected ? qsTr("disconnect_button") : qsTr("connect_button")
    busy: AppViewModel.isVpnLoading
    brightWhileBusy: true
    busyText: AppViewModel.canCancelConnect ? qsTr("cancel_connect") : ""
    enabled: !AppViewModel.isVpnLoading || AppViewModel.canCancelConnect
    onClicked: tunnelActive ? AppViewModel.vpnDisconnect() : AppViewModel.vpnConnect()
}
