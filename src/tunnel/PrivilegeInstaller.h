#pragma once

#include "ControlProgram.h"

#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <memory>
#include <optional>

class AdminPrompt;
class PreferenceStore;
class PrivilegedRunner;

// Gives the helper its root rights through one administrator prompt, without making anything
// set-user-ID: a root-owned copy of the helper (when it has the SHA-256 computed here) goes into a
// folder only root can change, the control program is installed there (unless a package ships it), its
// root-owned configuration records where the copy came from and its hash, and a sudoers drop-in with
// one rule, naming the user by number, lets the user run exactly that program without a password. The
// drop-in is checked with visudo before it replaces the old one, so a bad file never breaks sudo. Blocks
// on the prompt: worker threads only.
class PrivilegeInstaller {
public:
    struct Settings {
        QString sudoersFile = QStringLiteral("/etc/sudoers.d/nimbrel");
        ControlProgram::Location control;
        // The package's own helper, which may be root's where it lies.
        QString packagedHelper;
#ifdef Q_OS_MACOS
        QString ownerGroup = QStringLiteral("wheel");
#else
        QString ownerGroup = QStringLiteral("root"); // there is no wheel group here
#endif
    };

    enum class Outcome {
        Installed,
        Cancelled, // the dialog was cancelled or a step of the command failed
        Refused,   // nothing was asked: see refusal()
    };

    PrivilegeInstaller(std::shared_ptr<PreferenceStore> preferences, std::shared_ptr<AdminPrompt> prompt,
                       std::shared_ptr<PrivilegedRunner> runner, Settings settings);

    // True when rights were installed for exactly this path, and the installed control program (asked
    // through sudo -n) is current and runs a copy of this very file: its source and hash match.
    bool checkPrivilegesInstalled(const QString &binary) const;
    // The rule of that check, on what it read: the helper's hash, the installation record and the
    // control program's answer.
    static bool isInstalledFor(const QString &binary, const QString &binarySha256,
                               const std::optional<QString> &setupBinary,
                               const std::optional<ControlProgram::Installation> &installation);
    // Runs the installation for the user with this number; remembers the path on success.
    Outcome doInstallPrivileges(const QString &binary, uid_t user) const;

    // Whether binary may be offered to an administrator for user at all: it is called nimbrel-macos, and
    // when it is root's (and user is not) it is the package's own helper or lies in a folder only root can
    // change (a root-owned file elsewhere could be any program of the system, put there by a link).
    static bool isAcceptableHelper(const QString &binary, uid_t user, const Settings &settings);
    // The command the prompt runs as root: the package's installation program, or the compiled-in
    // installation through "/bin/sh -c", followed by every value as its own word; or none when a value
    // cannot be passed safely (not an absolute path, control characters, a path sudoers would misread).
    // controlText is the program to write to the control program's place, or empty to use the one
    // already at controlPath.
    static std::optional<QStringList> installCommand(const QString &binary, const QString &sha256, uid_t user,
                                                     const QString &controlPath, const QByteArray &controlText,
                                                     const Settings &settings,
                                                     const QString &packagedInstaller = QString());

    static inline const QString setupBinaryPathKey = QStringLiteral("nimbrelSetupBinaryPath");

private:
    std::shared_ptr<PreferenceStore> m_preferences;
    std::shared_ptr<AdminPrompt> m_prompt;
    std::shared_ptr<PrivilegedRunner> m_runner;
    Settings m_settings;
};
