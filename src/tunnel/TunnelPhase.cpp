#include "TunnelPhase.h"

namespace TunnelPhases {

QString rawValue(TunnelPhase phase)
{
    switch (phase) {
    case TunnelPhase::connecting:
        return QStringLiteral("connecting");
    case TunnelPhase::connected:
        return QStringLiteral("connected");
    case TunnelPhase::disconnecting:
        return QStringLiteral("disconnecting");
    case TunnelPhase::failed:
        return QStringLiteral("failed");
    case TunnelPhase::lost:
        return QStringLiteral("lost");
    case TunnelPhase::blocked:
        return QStringLiteral("blocked");
    case TunnelPhase::disconnected:
        break;
    }
    return QStringLiteral("disconnected");
}

TunnelPhase ofRecordedWord(const QString &word)
{
    for (TunnelPhase phase :
         {TunnelPhase::connecting, TunnelPhase::connected, TunnelPhase::disconnecting, TunnelPhase::failed}) {
        if (word == rawValue(phase))
            return phase;
    }
    return TunnelPhase::connecting;
}

} // namespace TunnelPhases
