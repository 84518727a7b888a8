#pragma once

#include <QString>

// Where the tunnel stands, as one stable word for programs (the lease record, the command-line
// client's state, the logs): the status text beside it is for people and follows the language.
enum class TunnelPhase {
    disconnected, // never started, stopped, or a start that could not begin (no node, key or helper)
    connecting,   // a start under way (also an attempt of a reconnect series)
    connected,
    disconnecting,
    failed,  // a start that did not come up: refused, cancelled, failed or crashed
    lost,    // a tunnel that was up and ended by itself
    blocked, // another user's file keeps the tunnel from us
};

namespace TunnelPhases {

QString rawValue(TunnelPhase phase);
// A word another process recorded for its tunnel. Anything but a known word of a live tunnel is a
// record cut short by a kill while it started: connecting.
TunnelPhase ofRecordedWord(const QString &word);

} // namespace TunnelPhases
