#pragma once

#include "HelperProcess.h"

#include <QByteArray>
#include <QStringList>

// Runs a command as root without asking: "/usr/bin/sudo" "-n" followed by the arguments. run blocks
// until the command has ended; start returns once it runs, as this process's child. Call them from a
// worker thread only.
class PrivilegedRunner {
public:
    enum class Output { Inherit, Discard, Capture };
    struct Result {
        bool succeeded = false; // started and exited with status 0
        QByteArray output;      // standard output, with Output::Capture
    };

    virtual ~PrivilegedRunner() = default;
    virtual Result run(const QStringList &arguments, Output output) = 0;
    // Starts the command in a session of its own, input on its standard input, its output and errors
    // on outputFd; it is reaped when it ends.
    virtual HelperProcess::Started start(const QStringList &arguments, const QByteArray &input, int outputFd) = 0;
};

// The real one: sudo with "-n", so it fails at once instead of prompting when no sudoers rule matches.
class SudoRunner final : public PrivilegedRunner {
public:
    Result run(const QStringList &arguments, Output output) override;
    // sudo stays the command's parent (and root's process: a signal from the user cannot reach it), so
    // the child this process watches and reaps is sudo, which ends when the command ends.
    HelperProcess::Started start(const QStringList &arguments, const QByteArray &input, int outputFd) override;
};
