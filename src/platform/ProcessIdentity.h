#pragma once

#include <QString>

#include <chrono>
#include <optional>

// What tells a running process apart from a later one that was given the same pid: when it started
// and what command line it runs. Both can be read by an ordinary user also for a root-owned
// set-user-ID process (unlike its executable link): /proc on Linux, libproc and sysctl on macOS.
struct ProcessIdentity {
    QString startTime;     // opaque; only compared
    QString commandDigest; // SHA-256 (hex) of its command line

    bool operator==(const ProcessIdentity &) const = default;

    // The identity of the running process pid; none when it is gone, cannot be read, or has not yet
    // finished starting its program.
    static std::optional<ProcessIdentity> of(qint64 pid);
    // The same for a process just started: a spawn may return before the new program's command line
    // is in place, so this waits for it, at most limit. Blocks; call it from a worker thread.
    static std::optional<ProcessIdentity> ofStarted(qint64 pid, std::chrono::milliseconds limit);
};
