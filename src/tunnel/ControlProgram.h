#pragma once

#include "RoutingMode.h"
#include "platform/HelperProcess.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>

class PrivilegedRunner;

// The root-owned control program, the only thing the user may run as root without a password: its
// place, its text, and its verbs run through the privileged runner ("sudo -n"). It checks every
// argument itself and acts only on the helper its caller started; the client asks, it decides.
// Blocking calls: worker threads only.
class ControlProgram {
public:
    struct Location {
#ifdef Q_OS_MACOS
        QString program = QStringLiteral("/Library/PrivilegedHelperTools/com.nimbrel.Nimbrel.control");
        QString configFile = QStringLiteral("/Library/PrivilegedHelperTools/com.nimbrel.Nimbrel.control.conf");
        // Root's copy of the helper, which the program starts (the same path is fixed in its text).
        QString helperCopy = QStringLiteral("/Library/PrivilegedHelperTools/com.nimbrel.Nimbrel.helper/nimbrel-macos");
        QString packaged;
        QString packagedInstaller;
#else
        QString program = QStringLiteral("/usr/local/libexec/nimbrel/nimbrel-control");
        QString configFile = QStringLiteral("/usr/local/etc/nimbrel/control.conf");
        QString helperCopy = QStringLiteral("/usr/local/libexec/nimbrel/nimbrel-macos");
        // A package's copies, used instead of the compiled-in texts when they are root's and the same.
        QString packaged = QStringLiteral("/usr/lib/nimbrel/nimbrel-control");
        QString packagedInstaller = QStringLiteral("/usr/lib/nimbrel/nimbrel-install");
#endif
    };

    // What "check" says: the installed copy, the file it was copied from, and the caller's helper.
    struct Installation {
        QString helper;
        QString source;
        QString sha256; // of the installed copy; empty when there is none
        std::optional<qint64> runningPid;
        QString runningStarted;
    };

    static constexpr int version = 2;
    // The program's text (a POSIX sh script), identical to what a package ships.
    static QByteArray text();
    // The installation's text, run as root by the administrator prompt.
    static QByteArray installText();
    // Whether path holds exactly content in a file and folders only root can change.
    static bool isCurrentRootCopy(const QString &path, const QByteArray &content);

    ControlProgram(std::shared_ptr<PrivilegedRunner> runner, Location location);

    // The program to run and name in the sudoers rule: the package's copy when it is current and
    // root's, else the one the installation writes.
    QString path() const;
    // The package's installation program when it is current and root's (the prompt then names it), or empty.
    QString packagedInstaller() const;

    // "start MODE SERVER SNI", the key on standard input: the program starts its copy of the helper for
    // us, output and errors on outputFd. What this process watches is the sudo that runs it.
    HelperProcess::Started start(RoutingMode mode, const QString &serverAddress, const QString &sni,
                                 const QString &psk, int outputFd) const;
    // "stop": ends the helper we started (TERM, then KILL after its wait); true once it is gone.
    bool stop() const;
    // "routes [HOST]": the host route (when HOST is plain) and the two half-default routes.
    bool deleteRoutes(const QString &host) const;
    // "smart-cleanup": runs a root-owned clean-up script, then deletes it and the gateway file.
    bool smartCleanup() const;
    // "check": what is installed, when the installed program is this version; none otherwise (not
    // installed, older, not allowed by sudo).
    std::optional<Installation> check() const;
    // Reads what "check" printed; public for the tests of the format.
    static std::optional<Installation> installationFrom(const QByteArray &checkOutput);

    const Location &location() const { return m_location; }

private:
    std::shared_ptr<PrivilegedRunner> m_runner;
    Location m_location;
};
