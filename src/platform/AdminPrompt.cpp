#include "AdminPrompt.h"

#include <QFileInfo>

#include <csignal>

namespace {

#ifdef Q_OS_MACOS
const QString kDialogProgram = QStringLiteral("/usr/bin/osascript");
#else
const QString kDialogProgram = QStringLiteral("/usr/bin/pkexec");
#endif

} // namespace

QString SystemAdminPrompt::appleScriptFor(const QString &shellCommand)
{
    QString escaped = shellCommand;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('"'), QLatin1String("\\\""));
    escaped.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    escaped.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    return QStringLiteral("do shell script \"") + escaped + QStringLiteral("\" with administrator privileges");
}

ScriptResult SystemAdminPrompt::runAppleScript(const QString &source)
{
    return ScriptResult::run(QStringLiteral("/usr/bin/osascript"), {QStringLiteral("-e"), source});
}

QString SystemAdminPrompt::shellQuote(const QString &value)
{
    QString quoted = value;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString SystemAdminPrompt::shellCommandFor(const QStringList &command)
{
    QStringList quoted;
    for (const QString &word : command)
        quoted.append(shellQuote(word));
    return quoted.join(QLatin1Char(' '));
}

ScriptResult SystemAdminPrompt::runAsAdmin(const QStringList &command)
{
    const auto track = [this](qint64 pid) {
        const std::lock_guard lock(m_mutex);
        m_dialogPid = pid;
    };
#ifdef Q_OS_MACOS
    return ScriptResult::run(kDialogProgram, {QStringLiteral("-e"), appleScriptFor(shellCommandFor(command))}, track);
#else
    return ScriptResult::run(kDialogProgram, command, track);
#endif
}

void SystemAdminPrompt::cancel()
{
    // The dialog program runs as the user (pkexec keeps the user as its real user), so it may be told
    // to stop. Its pid is forgotten as soon as it has ended.
    const std::lock_guard lock(m_mutex);
    if (m_dialogPid > 0)
        ::kill(pid_t(m_dialogPid), SIGTERM);
}

bool SystemAdminPrompt::isAvailable() const
{
    return QFileInfo(kDialogProgram).isExecutable();
}
