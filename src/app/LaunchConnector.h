#pragma once

#include "tunnel/TunnelController.h"

#include <QObject>

class AppViewModel;

// Connect on start ("connectOnLaunch"): connects once, when the automatic sign-in of a stored session has
// reached the home screen with an active subscription and the first node list (with its key) has loaded,
// to the selected node. Never when the switch is off, when a tunnel was adopted at start (recovery), when
// no session was stored, or after that first list (loaded or failed).
class LaunchConnector : public QObject {
    Q_OBJECT
public:
    LaunchConnector(AppViewModel &vm, TunnelController::Recovery recovery, QObject *parent = nullptr);

    // Whether it connected; whether it still may.
    bool connected() const { return m_connected; }
    bool waiting() const { return m_armed; }

private:
    void check();

    AppViewModel &m_vm;
    bool m_armed = false;
    bool m_sawListLoading = false;
    bool m_connected = false;
};
