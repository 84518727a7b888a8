#pragma once

#include <QString>

// Where the tunnel stands, as one stable word for programs: the status text beside it is for people and
// follows the language.
enum class TunnelPhase {
    disconnected, // never started, stopped, or a start that could not begin (no node, key or helper)
    connecting,   // a start under way
    connected,
    disconnecting,
    failed, // a start that did not come up: refused, cancelled, failed or crashed
    lost,   // a tunnel that was up and ended by itself
};

namespace TunnelPhases {

QString rawValue(TunnelPhase phase);
// The phase a status text of this table key reports.
TunnelPhase ofStatusKey(const QString &key);

} // namespace TunnelPhases
