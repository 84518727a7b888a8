#include "PrivilegedRunner.h"

#include <QProcess>

void SudoRunner::run(const QStringList &arguments, Output output)
{
    QProcess process;
    if (output == Output::Discard) {
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
    } else {
        process.setProcessChannelMode(QProcess::ForwardedChannels);
    }
    process.start(QStringLiteral("/usr/bin/sudo"), QStringList{QStringLiteral("-n")} + arguments);
    if (process.waitForStarted(-1))
        process.waitForFinished(-1);
}
