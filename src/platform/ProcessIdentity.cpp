#include "ProcessIdentity.h"

#include "SystemInfo.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#ifdef Q_OS_MACOS
#include <libproc.h>
#include <sys/proc_info.h>
#include <sys/sysctl.h>
#endif

namespace {

QString digestOf(const QByteArray &commandLine)
{
    return QString::fromLatin1(QCryptographicHash::hash(commandLine, QCryptographicHash::Sha256).toHex());
}

#ifdef Q_OS_MACOS

std::optional<ProcessIdentity> identityOf(qint64 pid)
{
    proc_bsdinfo info{};
    if (::proc_pidinfo(int(pid), PROC_PIDTBSDINFO, 0, &info, sizeof info) != int(sizeof info))
        return std::nullopt;
    ProcessIdentity identity;
    identity.startTime = QStringLiteral("%1.%2").arg(info.pbi_start_tvsec).arg(info.pbi_start_tvusec);
    // The arguments area: argc, the executable path, then the arguments. Without it (not allowed for
    // this process), the short command name stands in.
    int mib[3] = {CTL_KERN, KERN_PROCARGS2, int(pid)};
    QByteArray arguments(4096 * 16, '\0');
    size_t size = size_t(arguments.size());
    if (::sysctl(mib, 3, arguments.data(), &size, nullptr, 0) == 0)
        identity.commandDigest = digestOf(arguments.left(qsizetype(size)));
    else
        identity.commandDigest = digestOf(QByteArray(info.pbi_comm));
    return identity;
}

#else

std::optional<ProcessIdentity> identityOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    QFile commandLine(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!stat.open(QIODevice::ReadOnly) || !commandLine.open(QIODevice::ReadOnly))
        return std::nullopt;
    // "pid (comm) state ppid ...": the name may hold anything, so the fields are counted after its ")".
    // The start time, in clock ticks since boot, is field 22.
    const QByteArray line = stat.readAll();
    const qsizetype nameEnd = line.lastIndexOf(')');
    if (nameEnd < 0)
        return std::nullopt;
    const QList<QByteArray> fields = line.mid(nameEnd + 2).split(' ');
    constexpr int kStartTime = 22 - 3; // fields from "state" (field 3) on
    if (fields.size() <= kStartTime)
        return std::nullopt;
    // Empty while the process is still between fork and exec, and once it has ended (a zombie).
    const QByteArray arguments = commandLine.readAll();
    if (arguments.isEmpty())
        return std::nullopt;
    ProcessIdentity identity;
    identity.startTime = QString::fromLatin1(fields.at(kStartTime));
    identity.commandDigest = digestOf(arguments);
    return identity;
}

#endif

} // namespace

std::optional<ProcessIdentity> ProcessIdentity::of(qint64 pid)
{
    if (pid <= 0)
        return std::nullopt;
    return identityOf(pid);
}

std::optional<ProcessIdentity> ProcessIdentity::ofStarted(qint64 pid, std::chrono::milliseconds limit)
{
    const QDeadlineTimer deadline(limit);
    for (;;) {
        if (std::optional<ProcessIdentity> identity = of(pid))
            return identity;
        if (deadline.hasExpired() || !SystemInfo::isProcessAlive(pid_t(pid)))
            return std::nullopt;
        QThread::msleep(1);
    }
}
