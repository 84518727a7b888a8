#include "AdminPrompt.h"

#include <QFileInfo>

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

ScriptResult SystemAdminPrompt::runAsAdmin(const QString &shellCommand)
{
#ifdef Q_OS_MACOS
    return runAppleScript(appleScriptFor(shellCommand));
#else
    return ScriptResult::run(kDialogProgram, {QStringLiteral("/bin/sh"), QStringLiteral("-c"), shellCommand});
#endif
}

bool SystemAdminPrompt::isAvailable() const
{
    return QFileInfo(kDialogProgram).isExecutable();
}
