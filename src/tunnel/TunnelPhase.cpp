#include "TunnelPhase.h"

#include <QHash>

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
    case TunnelPhase::disconnected:
        break;
    }
    return QStringLiteral("disconnected");
}

TunnelPhase ofStatusKey(const QString &key)
{
    static const QHash<QString, TunnelPhase> phases{
        {QStringLiteral("vpn_connecting"), TunnelPhase::connecting},
        {QStringLiteral("reconnecting"), TunnelPhase::connecting},
        {QStringLiteral("vpn_connected"), TunnelPhase::connected},
        {QStringLiteral("disconnecting"), TunnelPhase::disconnecting},
        {QStringLiteral("user_cancelled"), TunnelPhase::failed},
        {QStringLiteral("privileges_refused"), TunnelPhase::failed},
        {QStringLiteral("launch_failed"), TunnelPhase::failed},
        {QStringLiteral("connect_failed"), TunnelPhase::failed},
        {QStringLiteral("process_crashed"), TunnelPhase::failed},
        {QStringLiteral("node_invalid"), TunnelPhase::failed},
        {QStringLiteral("tunnel_in_use"), TunnelPhase::failed},
        {QStringLiteral("stop_failed"), TunnelPhase::failed},
        {QStringLiteral("reconnect_failed"), TunnelPhase::failed},
        {QStringLiteral("process_exited"), TunnelPhase::lost},
    };
    return phases.value(key, TunnelPhase::disconnected);
}

} // namespace TunnelPhases
