#include "DemoPlatform.h"

#include <QFile>
#include <QSaveFile>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

DemoAdminPrompt::DemoAdminPrompt(QString helperPath, QString installationRecord)
    : m_helperPath(std::move(helperPath))
    , m_installationRecord(std::move(installationRecord))
{}

ScriptResult DemoAdminPrompt::runAsAdmin(const QString &)
{
    struct stat info {};
    if (::stat(QFile::encodeName(m_helperPath).constData(), &info) != 0 || info.st_uid != ::geteuid())
        return {false, QString(), QStringLiteral("%1 is not the user's own helper").arg(m_helperPath)};
    QSaveFile record(m_installationRecord);
    if (!record.open(QIODevice::WriteOnly) || record.write(QFile::encodeName(m_helperPath) + '\n') < 0 ||
        !record.commit())
        return {false, QString(), QStringLiteral("cannot write %1").arg(m_installationRecord)};
    return {true, QString(), QString()};
}

DemoPrivilegedRunner::DemoPrivilegedRunner(QString recordFile, QString installationRecord)
    : m_recordFile(std::move(recordFile))
    , m_installationRecord(std::move(installationRecord))
{}

PrivilegedRunner::Result DemoPrivilegedRunner::run(const QStringList &arguments, Output)
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
    const QString verb = arguments.value(1);
    if (verb == QLatin1String("stop") && arguments.size() == 3) {
        bool ok = false;
        const int pid = arguments.at(2).toInt(&ok);
        return {ok && pid > 0 && ::kill(pid, SIGTERM) == 0, {}};
    }
    if (verb == QLatin1String("check")) {
        QFile record(m_installationRecord);
        if (m_installationRecord.isEmpty() || !record.open(QIODevice::ReadOnly))
            return {};
        const QByteArray helper = record.readLine().trimmed();
        return {true, "helper " + helper + "\nversion 1\nstate ready\n"};
    }
    return {true, {}};
}

QList<QStringList> DemoPrivilegedRunner::commands() const
{
    const QMutexLocker lock(&m_mutex);
    return m_commands;
}
