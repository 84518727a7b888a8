#include "TunnelCause.h"

TunnelPhase TunnelCause::phase() const
{
    switch (reason) {
    case TunnelReason::connecting:
    case TunnelReason::reconnecting:
        return TunnelPhase::connecting;
    case TunnelReason::connected:
        return TunnelPhase::connected;
    case TunnelReason::disconnecting:
        return TunnelPhase::disconnecting;
    case TunnelReason::heldElsewhere:
    case TunnelReason::privilegesRefused:
    case TunnelReason::cancelled:
    case TunnelReason::launchFailed:
    case TunnelReason::connectFailed:
    case TunnelReason::helperCrashed:
    case TunnelReason::nodeInvalid:
    case TunnelReason::stopFailed:
    case TunnelReason::reconnectFailed:
        return TunnelPhase::failed;
    case TunnelReason::fileProblem:
        return file && file->kind == FileProblem::Kind::ownedByOtherUser ? TunnelPhase::blocked : TunnelPhase::failed;
    case TunnelReason::tunnelLost:
        return TunnelPhase::lost;
    case TunnelReason::runsElsewhere:
        return holder ? holder->phase() : TunnelPhase::disconnected;
    case TunnelReason::notConnected:
    case TunnelReason::disconnected:
    case TunnelReason::noNodeSelected:
    case TunnelReason::keyNotReady:
    case TunnelReason::helperNotFound:
        break;
    }
    return TunnelPhase::disconnected;
}
