#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>

// Measures a bare TCP handshake: name resolution included, no byte sent, the connection closed the
// moment it is up. Runs on the calling thread's event loop with an asynchronous socket, so it never
// blocks; many probes run side by side (started a few per turn of the event loop, each timed from its
// own start).
namespace LatencyProbe {

// Calls done exactly once, on the context's thread: whole milliseconds (truncated), or -1 when the
// connection failed, the name did not resolve, the port is not a TCP port, or timeout passed first.
// Nothing is called when context is destroyed first.
void tcpPing(const QString &host, qint64 port, std::chrono::milliseconds timeout, QObject *context,
             std::function<void(qint64)> done);

} // namespace LatencyProbe
