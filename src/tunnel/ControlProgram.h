#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

#include <memory>
#include <optional>

class PrivilegedRunner;

// The root-owned control program, the only thing the user may run as root without a password: its
// place, its text, and its four verbs run through the privileged runner ("sudo -n"). It checks every
// argument itself; the client asks, it decides. Blocking calls: worker threads only.
class ControlProgram {
public:
    struct Location {
#ifdef Q_OS_MACOS
        QString program = QStringLiteral("/Library/PrivilegedHelperTools/com.nimbrel.Nimbrel.control");
        QString configFile = QStringLiteral("/Library/PrivilegedHelperTools/com.nimbrel.Nimbrel.control.conf");
        QString packaged;
#else
        QString program = QStringLiteral("/usr/local/libexec/nimbrel/nimbrel-control");
        QString configFile = QStringLiteral("/usr/local/etc/nimbrel/control.conf");
        // A package's copy, used instead of installing one when it is root's and has this very text.
        QString packaged = QStringLiteral("/usr/lib/nimbrel/nimbrel-control");
#endif
    };

    static constexpr int version = 1;
    // The program's text (a POSIX sh script), identical to what a package ships.
    static QByteArray text();
    // Whether path holds exactly this text in a file and folders only root can change.
    static bool isCurrentRootCopy(const QString &path);

    ControlProgram(std::shared_ptr<PrivilegedRunner> runner, Location location);

    // The program to run and name in the sudoers rule: the package's copy when it is current and
    // root's, else the one the installation writes.
    QString path() const;

    // "stop PID": the program sends SIGTERM only when PID runs the configured helper.
    bool stop(pid_t pid) const;
    // "routes [HOST]": the host route (when HOST is plain) and the two half-default routes.
    bool deleteRoutes(const QString &host) const;
    // "smart-cleanup": runs a root-owned clean-up script, then deletes it and the gateway file.
    bool smartCleanup() const;
    // "check": the helper path the installed program serves, when it is this version and the helper is
    // root-owned and set-user-ID; none otherwise (not installed, older, not allowed by sudo).
    std::optional<QString> readyHelper() const;
    // Reads what "check" printed; public for the tests of the format.
    static std::optional<QString> readyHelperFrom(const QByteArray &checkOutput);

    const Location &location() const
    {
        return m_location;
    }

private:
    std::shared_ptr<PrivilegedRunner> m_runner;
    Location m_location;
};
