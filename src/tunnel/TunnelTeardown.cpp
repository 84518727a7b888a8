#include "TunnelTeardown.h"

#include "RouteCleanup.h"
#include "platform/SystemInfo.h"

#include <QThread>

bool TunnelTeardown::run() const
{
    // The control program knows which process is our helper, if one runs, and waits for it to end
    // (killing it when it will not). Asked also when no helper is known here: a client killed just
    // after its start had no time to record one. Only a known helper's stop must succeed (without
    // installed rights nothing of ours can run).
    const bool stopped = control.stop() || !pid;
    if (pid) {
        // What is left here is the process we watch (sudo above the helper) going too.
        const auto watchedRuns = [this] {
            return identity ? ProcessIdentity::of(*pid) == identity : SystemInfo::isProcessAlive(*pid);
        };
        for (int poll = 0; stopped && poll < stopPolls && watchedRuns(); ++poll)
            QThread::msleep(static_cast<unsigned long>(stopPoll.count()));
    }
    RouteCleanup::deleteTunnelRoutes(control, host);
    if (mode == RoutingMode::smart)
        smartCleanup.run();
    return stopped;
}
