#pragma once

#include <QByteArray>
#include <QStringList>

// Runs a command as root without asking: "/usr/bin/sudo" "-n" followed by the arguments. Blocks until
// the command has ended. Call it from a worker thread only.
class PrivilegedRunner {
public:
    enum class Output { Inherit, Discard, Capture };
    struct Result {
        bool succeeded = false; // started and exited with status 0
        QByteArray output;      // standard output, with Output::Capture
    };

    virtual ~PrivilegedRunner() = default;
    virtual Result run(const QStringList &arguments, Output output) = 0;
};

// The real one: sudo with "-n", so it fails at once instead of prompting when no sudoers rule matches.
class SudoRunner final : public PrivilegedRunner {
public:
    Result run(const QStringList &arguments, Output output) override;
};
