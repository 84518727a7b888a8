#include "PrivilegedRunner.h"

#include <QProcess>
#include <QProcessEnvironment>

PrivilegedRunner::Result SudoRunner::run(const QStringList &arguments, Output output)
{
    QProcess process;
    switch (output) {
    case Output::Discard:
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        break;
    case Output::Capture:
        process.setStandardErrorFile(QProcess::nullDevice());
        break;
    case Output::Inherit:
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        break;
    }
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(QStringLiteral("/usr/bin/sudo"), QStringList{QStringLiteral("-n")} + arguments);
    Result result;
    if (!process.waitForStarted(-1) || !process.waitForFinished(-1))
        return result;
    result.succeeded = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (output == Output::Capture)
        result.output = process.readAllStandardOutput();
    return result;
}

HelperProcess::Started SudoRunner::start(const QStringList &arguments, const QByteArray &input, int outputFd)
{
    return HelperProcess::spawn(QStringLiteral("/usr/bin/sudo"), QStringList{QStringLiteral("-n")} + arguments,
                                QProcessEnvironment::systemEnvironment(), outputFd, input);
}
