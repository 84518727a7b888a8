import QtQuick
import Nimbrel.Ui

// The one button that connects or disconnects; while a start runs it spins, and once the start has
// run for a while it offers to cancel it (a disconnect of the start). Between the attempts to start a
// lost tunnel again it stops the reconnecting.
PrimaryButton {
    readonly property bool stops: AppViewModel.isConnected || AppViewModel.isReconnecting
    readonly property bool tunnelActive: stops || AppViewModel.isVpnLoading

    fill: stops ? Theme.clrError : Theme.clrPrimary
    text: stops ? qsTr("disconnect_button") : qsTr("connect_button")
    busy: AppViewModel.isVpnLoading
    brightWhileBusy: true
    busyText: AppViewModel.canCancelConnect ? qsTr("cancel_connect") : ""
    enabled: !AppViewModel.isVpnLoading || AppViewModel.canCancelConnect
    onClicked: tunnelActive ? AppViewModel.vpnDisconnect() : AppViewModel.vpnConnect()
}
