#pragma once

#include <QString>

#include <memory>
#include <optional>

class AdminPrompt;
class PreferenceStore;

// Gives the helper its root rights once: root-owned and set-user-ID, plus a sudoers drop-in that lets
// the user stop it, delete routes and run its clean-up script without a password, all through one
// administrator prompt. Blocks on the prompt: worker threads only.
class PrivilegeInstaller {
public:
    struct Settings {
        QString sudoersFile = QStringLiteral("/etc/sudoers.d/nimbrel");
        QString cleanupScript = QStringLiteral("/tmp/fw_smart_cleanup.sh");
#ifdef Q_OS_MACOS
        QString ownerGroup = QStringLiteral("wheel");
#else
        QString ownerGroup = QStringLiteral("root"); // there is no wheel group here
#endif
    };

    PrivilegeInstaller(std::shared_ptr<PreferenceStore> preferences, std::shared_ptr<AdminPrompt> prompt,
                       Settings settings);

    // True when rights were installed for exactly this path and it still carries the set-user-ID bit.
    bool checkPrivilegesInstalled(const QString &binary) const;
    // Runs the installation as user; remembers the path on success.
    bool doInstallPrivileges(const QString &binary, const QString &user) const;

    // The root shell command, or none when a value cannot be passed safely (control characters, a
    // user name or script path that sudoers would misread). Every value is quoted for POSIX sh; the
    // sudoers lines allow exactly the commands the app runs through sudo.
    static std::optional<QString> installCommand(const QString &binary, const QString &user, const Settings &settings);
    // 'value' for POSIX sh: a single quote inside becomes '\''.
    static QString shellQuote(const QString &value);

    static inline const QString setupBinaryPathKey = QStringLiteral("nimbrelSetupBinaryPath");

private:
    std::shared_ptr<PreferenceStore> m_preferences;
    std::shared_ptr<AdminPrompt> m_prompt;
    Settings m_settings;
};
