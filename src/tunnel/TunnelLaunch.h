#pragma once

#include "ControlProgram.h"
#include "RoutingMode.h"
#include "TunnelCause.h"
#include "TunnelLog.h"
#include "TunnelOwnership.h"
#include "TunnelTeardown.h"
#include "platform/ProcessIdentity.h"

#include <QString>

#include <atomic>
#include <memory>
#include <optional>

class PrivilegeInstaller;

// One start of the helper, shared by the main thread and the lane. A stop cancels it; if the helper
// was started all the same, the stop that follows on the lane finds its process id here.
struct LaunchTicket {
    std::atomic_bool cancelled{false};
    std::atomic<pid_t> pid{-1};
    QString serverHost;
    RoutingMode mode = RoutingMode::safe;
};

// The blocking half of a start, run on the tunnel's lane: the previous helper's teardown, the rights
// (one administrator prompt when they are missing), a fresh log, and the control program's start.
struct TunnelLaunch {
    QString serverAddress; // host:port
    QString helperPath;
    QString sni;
    RoutingMode mode = RoutingMode::safe;
    QString psk;
    QString logPath;
    QString pidPath;
    uid_t userId = 0;
    ControlProgram control;
    std::shared_ptr<PrivilegeInstaller> installer;
    std::optional<TunnelTeardown> previous;
    std::shared_ptr<LaunchTicket> ticket;
    std::shared_ptr<TunnelOwnership::Lease> lease;

    struct Result {
        // None: cancelled, nothing to report. Else the failure, or a helper that was started.
        std::optional<TunnelCause> failure;
        pid_t pid = -1;
        std::optional<ProcessIdentity> identity;
        std::shared_ptr<TunnelLog> log;
        bool cancelled = false;
    };
    Result run() const;
};
