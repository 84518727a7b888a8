#pragma once

#include "ScriptResult.h"

#include <mutex>

// Runs one command (a program and its arguments) as root once the user has authorised it in the
// system's dialog. Cancelling the dialog counts as failure. Blocks until the command has finished:
// worker threads only.
class AdminPrompt {
public:
    virtual ~AdminPrompt() = default;
    virtual ScriptResult runAsAdmin(const QStringList &command) = 0;
    // Whether the system's dialog program is there at all (checked before anything is asked).
    virtual bool isAvailable() const = 0;
    // Ends a dialog that is waiting for the user (runAsAdmin then fails, as if cancelled); nothing when
    // none is shown. Any thread.
    virtual void cancel() {}
};

// macOS: "/usr/bin/osascript" "-e" 'do shell script "…" with administrator privileges', the words
// quoted for the shell. Linux: polkit's dialog, "/usr/bin/pkexec" followed by the words, so that the
// dialog's details name the program and each argument.
class SystemAdminPrompt final : public AdminPrompt {
public:
    ScriptResult runAsAdmin(const QStringList &command) override;
    bool isAvailable() const override;
    // Stops the dialog program.
    void cancel() override;

    // The AppleScript source that runs command with administrator privileges; the command is escaped
    // for the string literal (backslash, double quote, and line breaks as \n and \r).
    static QString appleScriptFor(const QString &shellCommand);
    // The words as one POSIX shell command line, each quoted.
    static QString shellCommandFor(const QStringList &command);
    // 'value' for POSIX sh: a single quote inside becomes '\''.
    static QString shellQuote(const QString &value);
    // Runs an AppleScript source through osascript.
    static ScriptResult runAppleScript(const QString &source);

private:
    std::mutex m_mutex;
    qint64 m_dialogPid = 0; // the dialog program while it runs
};
