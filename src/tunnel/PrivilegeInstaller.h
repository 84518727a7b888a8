#pragma once

#include "ControlProgram.h"

#include <QString>

#include <memory>
#include <optional>

class AdminPrompt;
class PreferenceStore;
class PrivilegedRunner;

// Gives the helper its root rights through one administrator prompt: the helper becomes root-owned and
// set-user-ID, the control program is installed in a folder only root can change (unless a package
// already ships it), the helper path it serves is written to its root-owned configuration file, and a
// sudoers drop-in with one rule lets the user run exactly that program without a password. The drop-in
// is checked with visudo before it replaces the old one, so a bad file never breaks sudo. Blocks on the
// prompt: worker threads only.
class PrivilegeInstaller {
public:
    struct Settings {
        QString sudoersFile = QStringLiteral("/etc/sudoers.d/nimbrel");
        ControlProgram::Location control;
#ifdef Q_OS_MACOS
        QString ownerGroup = QStringLiteral("wheel");
#else
        QString ownerGroup = QStringLiteral("root"); // there is no wheel group here
#endif
    };

    enum class Outcome {
        Installed,
        Cancelled, // the dialog was cancelled or a step of the command failed
        Refused,   // nothing was asked: a value cannot be passed safely, or there is no dialog program
    };

    PrivilegeInstaller(std::shared_ptr<PreferenceStore> preferences, std::shared_ptr<AdminPrompt> prompt,
                       std::shared_ptr<PrivilegedRunner> runner, Settings settings);

    // True when rights were installed for exactly this path, and the installed control program (asked
    // through sudo -n) serves this very path, is current, and finds the helper root-owned and
    // set-user-ID.
    bool checkPrivilegesInstalled(const QString &binary) const;
    // The rule of that check, on what it read: the installation record and the control program's answer.
    static bool isInstalledFor(const QString &binary, const std::optional<QString> &setupBinary,
                               const std::optional<QString> &readyHelper);
    // Runs the installation for user; remembers the path on success.
    Outcome doInstallPrivileges(const QString &binary, const QString &user) const;

    // The root shell command: a fixed script run by "/bin/sh -c" with every value as its own quoted
    // argument; or none when a value cannot be passed safely (not an absolute path, control
    // characters, a user name or path that sudoers would misread). controlText is the program to
    // write to settings.control.program's place, or empty to use the one already at controlPath.
    static std::optional<QString> installCommand(const QString &binary, const QString &user, const QString &controlPath,
                                                 const QByteArray &controlText, const Settings &settings);
    // 'value' for POSIX sh: a single quote inside becomes '\''.
    static QString shellQuote(const QString &value);

    static inline const QString setupBinaryPathKey = QStringLiteral("nimbrelSetupBinaryPath");

private:
    std::shared_ptr<PreferenceStore> m_preferences;
    std::shared_ptr<AdminPrompt> m_prompt;
    std::shared_ptr<PrivilegedRunner> m_runner;
    Settings m_settings;
};
