#pragma once

#include "ControlProgram.h"
#include "TunnelPaths.h"

#include <sys/types.h>

// Undoes what a smart-mode helper changed: the control program runs its clean-up script as root and
// deletes the script and the gateway file. A script that is not a regular file owned by the trusted
// owner, or that others may write, is not handed on at all: anybody can plant files in /tmp (and the
// control program checks it again as root).
class SmartModeCleanup {
public:
    SmartModeCleanup(ControlProgram control, TunnelPaths paths, uid_t trustedOwner);

    // Blocks; call it from a worker thread.
    void run() const;

    // Whether a script (or something in its place) was left behind by an earlier run.
    bool leftBehind() const;

private:
    ControlProgram m_control;
    TunnelPaths m_paths;
    uid_t m_trustedOwner;
};
