#include "LaunchConnector.h"

#include "AppSwitches.h"
#include "AppViewModel.h"

LaunchConnector::LaunchConnector(AppViewModel &vm, TunnelController::Recovery recovery, QObject *parent)
    : QObject(parent)
    , m_vm(vm)
{
    const bool enabled =
        AppSwitches(vm.environment().preferences, QString()).isOn(AppSwitches::Switch::connectOnLaunch);
    m_armed = enabled && recovery != TunnelController::Recovery::Adopted && vm.tokenStore().load().accessToken;
    if (!m_armed)
        return;
    connect(&vm, &AppViewModel::screenChanged, this, &LaunchConnector::check);
    connect(&vm, &AppViewModel::nodesLoadingChanged, this, &LaunchConnector::check);
}

void LaunchConnector::check()
{
    if (!m_armed)
        return;
    // Signed out (or the session renewal failed) before the list came: a later sign-in is the user's own.
    if (!m_vm.accessToken()) {
        m_armed = false;
        return;
    }
    if (m_vm.screen() != AppViewModel::Screen::Home) {
        // Away from home after the list had started: the chance has gone.
        m_armed = !m_sawListLoading;
        return;
    }
    if (!m_vm.subscriptionActive()) {
        m_armed = false;
        return;
    }
    if (m_vm.nodesLoading()) {
        m_sawListLoading = true;
        return;
    }
    if (!m_sawListLoading)
        return;
    m_armed = false; // the first list has loaded, or failed: once either way
    if (m_vm.selectedNode() && !m_vm.psk().isEmpty() && !m_vm.isConnected() && !m_vm.isVpnLoading()) {
        m_vm.vpnConnect();
        m_connected = true;
    }
}
