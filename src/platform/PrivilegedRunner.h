#pragma once

#include <QStringList>

// Runs a command as root without asking: "/usr/bin/sudo" "-n" followed by the arguments. Blocks until
// the command has ended; a command that cannot start or fails is ignored (clean-up is best effort).
// Call it from a worker thread only.
class PrivilegedRunner {
public:
    enum class Output { Inherit, Discard };

    virtual ~PrivilegedRunner() = default;
    virtual void run(const QStringList &arguments, Output output) = 0;
};

// The real one: sudo with "-n", so it fails at once instead of prompting when no sudoers rule matches.
class SudoRunner final : public PrivilegedRunner {
public:
    void run(const QStringList &arguments, Output output) override;
};
