#include "DemoPlatform.h"

#include <QFile>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

DemoAdminPrompt::DemoAdminPrompt(QString helperPath)
    : m_helperPath(std::move(helperPath))
{}

ScriptResult DemoAdminPrompt::runAsAdmin(const QString &)
{
    struct stat info {};
    const QByteArray native = QFile::encodeName(m_helperPath);
    if (::stat(native.constData(), &info) != 0 || info.st_uid != ::geteuid())
        return {false, QString(), QStringLiteral("%1 is not the user's own helper").arg(m_helperPath)};
    // A root-owned set-user-ID copy of the simulated helper would let anybody write files as root
    // through its environment: when the demo runs as root the bit is left off (root needs no bit).
    if (info.st_uid == 0)
        return {true, QString(), QString()};
    if (::chmod(native.constData(), (info.st_mode & 07777) | S_ISUID) != 0)
        return {false, QString(), QStringLiteral("cannot mark %1 set-user-ID").arg(m_helperPath)};
    return {true, QString(), QString()};
}

DemoPrivilegedRunner::DemoPrivilegedRunner(QString recordFile)
    : m_recordFile(std::move(recordFile))
{}

void DemoPrivilegedRunner::run(const QStringList &arguments, Output)
{
    {
        const QMutexLocker lock(&m_mutex);
        m_commands.append(arguments);
        if (!m_recordFile.isEmpty()) {
            QFile file(m_recordFile);
            if (file.open(QIODevice::Append | QIODevice::Text))
                file.write(
                    (QStringLiteral("sudo -n ") + arguments.join(QLatin1Char(' ')) + QLatin1Char('\n')).toUtf8());
        }
    }
    if (arguments.size() == 2 && arguments.first() == QLatin1String("/bin/kill")) {
        bool ok = false;
        const int pid = arguments.at(1).toInt(&ok);
        if (ok && pid > 0)
            ::kill(pid, SIGTERM);
    }
}

QList<QStringList> DemoPrivilegedRunner::commands() const
{
    const QMutexLocker lock(&m_mutex);
    return m_commands;
}
