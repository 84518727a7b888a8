#include "AdminPrompt.h"

QString SystemAdminPrompt::appleScriptFor(const QString &shellCommand)
{
    QString escaped = shellCommand;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QStringLiteral("do shell script \"") + escaped + QStringLiteral("\" with administrator privileges");
}

ScriptResult SystemAdminPrompt::runAppleScript(const QString &source)
{
    return ScriptResult::run(QStringLiteral("/usr/bin/osascript"), {QStringLiteral("-e"), source});
}

ScriptResult SystemAdminPrompt::runAsAdmin(const QString &shellCommand)
{
#ifdef Q_OS_MACOS
    return runAppleScript(appleScriptFor(shellCommand));
#else
    return ScriptResult::run(QStringLiteral("pkexec"), {QStringLiteral("/bin/sh"), QStringLiteral("-c"), shellCommand});
#endif
}
