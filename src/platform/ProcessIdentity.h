#pragma once

#include <QString>

#include <optional>

// What tells a running process apart from a later one that was given the same pid: when it started
// and what command line it runs. Both can be read by an ordinary user also for a root-owned
// set-user-ID process (unlike its executable link): /proc on Linux, libproc and sysctl on macOS.
struct ProcessIdentity {
    QString startTime;     // opaque; only compared
    QString commandDigest; // SHA-256 (hex) of its command line

    bool operator==(const ProcessIdentity &) const = default;

    // The identity of the running process pid; none when it is gone or cannot be read.
    static std::optional<ProcessIdentity> of(qint64 pid);
};
