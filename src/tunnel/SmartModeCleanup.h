#pragma once

#include "TunnelPaths.h"

#include <sys/types.h>

#include <memory>

class PrivilegedRunner;

// Undoes what a smart-mode helper changed: runs its clean-up script as root, then deletes the script
// and the gateway file. A script that is not a regular file owned by the trusted owner, or that others
// may write, is neither run nor deleted (nor is the gateway file beside it): anybody can plant files
// in /tmp. Without a script there is nothing to run, and only the gateway file is removed.
class SmartModeCleanup {
public:
    SmartModeCleanup(std::shared_ptr<PrivilegedRunner> runner, TunnelPaths paths, uid_t trustedOwner);

    // Blocks; call it from a worker thread.
    void run() const;

    // Whether a script (or something in its place) was left behind by an earlier run.
    bool leftBehind() const;

private:
    std::shared_ptr<PrivilegedRunner> m_runner;
    TunnelPaths m_paths;
    uid_t m_trustedOwner;
};
