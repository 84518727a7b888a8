#pragma once

#include "ControlProgram.h"
#include "RoutingMode.h"
#include "SmartModeCleanup.h"
#include "platform/ProcessIdentity.h"

#include <QString>

#include <chrono>
#include <optional>

// Ending a helper, on the tunnel's lane: stop it (if any) and wait a while for it to go, delete its
// routes and, after a smart tunnel, run root's clean-up.
struct TunnelTeardown {
    std::optional<qint32> pid;
    std::optional<ProcessIdentity> identity; // when it is not our child: how to tell it still runs
    QString host;
    RoutingMode mode = RoutingMode::safe;
    ControlProgram control;
    SmartModeCleanup smartCleanup;
    std::chrono::milliseconds stopPoll{0};
    int stopPolls = 0;

    // False when the helper could not be stopped: it may still run.
    bool run() const;
};
