#pragma once

#include "TunnelPhase.h"
#include "TunnelRecord.h"

#include <QString>

#include <optional>

// Why the tunnel's state last changed. The view turns it into words (in the language of the moment it
// changed); programs read the phase it stands for.
enum class TunnelReason {
    notConnected, // nothing was started in this session
    connecting,
    reconnecting, // a lost tunnel waits for, or runs, attempt k of n
    connected,
    disconnecting,
    disconnected,
    noNodeSelected,
    keyNotReady,
    nodeInvalid,
    helperNotFound,
    heldElsewhere, // refused: another process of ours holds the tunnel (holder)
    fileProblem,   // refused: the lock file cannot be used (file)
    privilegesRefused,
    cancelled, // the administrator prompt was dismissed
    launchFailed, // file, or detail: what the system said
    connectFailed,
    helperCrashed, // ended before the tunnel was up
    tunnelLost,    // ended after the tunnel was up
    stopFailed,
    reconnectFailed, // count: the attempts made
    runsElsewhere,   // shown, not driven: another process's tunnel, or one a killed process left (holder)
};

struct TunnelCause {
    TunnelCause() = default;
    TunnelCause(TunnelReason reason) // NOLINT(google-explicit-constructor): a reason is a cause
        : reason(reason)
    {}
    TunnelCause(TunnelReason reason, TunnelHolder holder)
        : reason(reason)
        , holder(std::move(holder))
    {}
    TunnelCause(TunnelReason reason, FileProblem file)
        : reason(reason)
        , file(std::move(file))
    {}
    TunnelCause(TunnelReason reason, QString detail)
        : reason(reason)
        , detail(std::move(detail))
    {}

    TunnelReason reason = TunnelReason::notConnected;
    std::optional<TunnelHolder> holder;
    std::optional<FileProblem> file;
    QString detail;
    int count = 0;

    TunnelPhase phase() const;
};
