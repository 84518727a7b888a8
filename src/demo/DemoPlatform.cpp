#include "DemoPlatform.h"

#include "platform/FileTrust.h"
#include "platform/ProcessIdentity.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QSaveFile>
#include <QThread>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

DemoAdminPrompt::DemoAdminPrompt(QString helperPath, QString installationRecord)
    : m_helperPath(std::move(helperPath))
    , m_installationRecord(std::move(installationRecord))
{}

ScriptResult DemoAdminPrompt::runAsAdmin(const QStringList &)
{
    struct stat info {};
    if (::stat(QFile::encodeName(m_helperPath).constData(), &info) != 0 || info.st_uid != ::geteuid())
        return {false, QString(), QStringLiteral("%1 is not the user's own helper").arg(m_helperPath)};
    QSaveFile record(m_installationRecord);
    const QByteArray content =
        QFile::encodeName(m_helperPath) + '\n' + FileTrust::sha256Of(m_helperPath).toLatin1() + '\n';
    if (!record.open(QIODevice::WriteOnly) || record.write(content) < 0 || !record.commit())
        return {false, QString(), QStringLiteral("cannot write %1").arg(m_installationRecord)};
    return {true, QString(), QString()};
}

UserControlProgram::UserControlProgram(std::chrono::milliseconds stopWait, QString runFile)
    : m_runFile(std::move(runFile))
    , m_stopWait(stopWait)
{}

std::optional<UserControlProgram::Started> UserControlProgram::recorded() const
{
    if (m_runFile.isEmpty())
        return m_started;
    QFile file(m_runFile);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QList<QByteArray> lines = file.readAll().split('\n');
    const pid_t pid = pid_t(lines.value(0).toInt());
    if (pid <= 0)
        return std::nullopt;
    return Started{pid, QString::fromLatin1(lines.value(1))};
}

void UserControlProgram::record(std::optional<Started> started)
{
    m_started = started;
    if (m_runFile.isEmpty())
        return;
    if (!started) {
        QFile::remove(m_runFile);
        return;
    }
    QSaveFile file(m_runFile);
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray::number(started->pid) + '\n' + started->startTime.toLatin1() + '\n');
    file.commit();
}

std::optional<UserControlProgram::Started> UserControlProgram::running() const
{
    const std::optional<Started> started = recorded();
    if (!started)
        return std::nullopt;
    const std::optional<ProcessIdentity> identity = ProcessIdentity::of(started->pid);
    return identity && identity->startTime == started->startTime ? started : std::nullopt;
}

HelperProcess::Started UserControlProgram::start(const QString &helper, const QStringList &verbArguments,
                                                 const QByteArray &input, int outputFd)
{
    const std::lock_guard lock(m_mutex);
    if (verbArguments.size() != 3 || helper.isEmpty())
        return {-1, QStringLiteral("not installed")};
    if (running())
        return {-1, QStringLiteral("a helper started earlier still runs")};
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("FERNWIRE_PSK"), QString::fromUtf8(input.left(input.indexOf('\n'))));
    const QString modeFlag =
        verbArguments.at(0) == QLatin1String("smart") ? QStringLiteral("--smart") : QStringLiteral("--route-all");
    const HelperProcess::Started started = HelperProcess::spawn(
        helper,
        {QStringLiteral("--server-addr"), verbArguments.at(1), QStringLiteral("--sni"), verbArguments.at(2), modeFlag},
        environment, outputFd);
    if (started.pid > 0) {
        const std::optional<ProcessIdentity> identity =
            ProcessIdentity::ofStarted(started.pid, std::chrono::milliseconds(500));
        record(Started{started.pid, identity ? identity->startTime : QString()});
    }
    return started;
}

bool UserControlProgram::stop()
{
    const std::lock_guard lock(m_mutex);
    const std::optional<Started> helper = running();
    if (!helper) {
        record(std::nullopt);
        return true;
    }
    const auto goneWithin = [this](std::chrono::milliseconds limit) {
        const QDeadlineTimer deadline(limit);
        while (running() && !deadline.hasExpired())
            QThread::msleep(5);
        return !running();
    };
    ::kill(helper->pid, SIGCONT);
    ::kill(helper->pid, SIGTERM);
    if (!goneWithin(m_stopWait)) {
        ::kill(helper->pid, SIGKILL);
        if (!goneWithin(std::chrono::seconds(3)))
            return false;
    }
    record(std::nullopt);
    return true;
}

void UserControlProgram::setStopWait(std::chrono::milliseconds wait)
{
    const std::lock_guard lock(m_mutex);
    m_stopWait = wait;
}

QByteArray UserControlProgram::check(const QString &helper, const QString &sha256) const
{
    const std::lock_guard lock(m_mutex);
    QByteArray answer = "version 2\nhelper " + QFile::encodeName(helper) + "\nsource " + QFile::encodeName(helper) +
                        "\nsha256 " + sha256.toLatin1() + '\n';
    if (const std::optional<Started> helper = running())
        answer += "running " + QByteArray::number(helper->pid) + ' ' + helper->startTime.toLatin1() + '\n';
    return answer;
}

DemoPrivilegedRunner::DemoPrivilegedRunner(QString recordFile, QString installationRecord)
    : m_recordFile(std::move(recordFile))
    , m_installationRecord(std::move(installationRecord))
    , m_control(std::chrono::seconds(8),
                m_installationRecord.isEmpty() ? QString() : m_installationRecord + QStringLiteral(".run"))
{}

void DemoPrivilegedRunner::record(const QStringList &arguments)
{
    const QMutexLocker lock(&m_mutex);
    m_commands.append(arguments);
    if (m_recordFile.isEmpty())
        return;
    QFile file(m_recordFile);
    if (file.open(QIODevice::Append | QIODevice::Text))
        file.write((QStringLiteral("sudo -n ") + arguments.join(QLatin1Char(' ')) + QLatin1Char('\n')).toUtf8());
}

QStringList DemoPrivilegedRunner::installation() const
{
    QFile record(m_installationRecord);
    if (m_installationRecord.isEmpty() || !record.open(QIODevice::ReadOnly))
        return {};
    const QString helper = QFile::decodeName(record.readLine().trimmed());
    return {helper, QString::fromLatin1(record.readLine().trimmed())};
}

PrivilegedRunner::Result DemoPrivilegedRunner::run(const QStringList &arguments, Output)
{
    record(arguments);
    const QString verb = arguments.value(1);
    if (verb == QLatin1String("stop"))
        return {m_control.stop(), {}};
    if (verb == QLatin1String("check")) {
        const QStringList installed = installation();
        if (installed.isEmpty())
            return {};
        return {true, m_control.check(installed.at(0), installed.at(1))};
    }
    return {true, {}};
}

HelperProcess::Started DemoPrivilegedRunner::start(const QStringList &arguments, const QByteArray &input, int outputFd)
{
    record(arguments);
    return m_control.start(installation().value(0), arguments.mid(2), input, outputFd);
}

QList<QStringList> DemoPrivilegedRunner::commands() const
{
    const QMutexLocker lock(&m_mutex);
    return m_commands;
}
