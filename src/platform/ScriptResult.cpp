#include "ScriptResult.h"

#include <QProcess>
#include <QStringDecoder>

namespace {

QString decodeTrimmed(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text.trimmed();
}

} // namespace

ScriptResult ScriptResult::run(const QString &program, const QStringList &arguments,
                               const std::function<void(qint64 pid)> &started)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    process.start(program, arguments);
    if (!process.waitForStarted(-1))
        return {false, QString(), process.errorString()};
    if (started)
        started(process.processId());
    process.waitForFinished(-1);
    if (started)
        started(0);
    ScriptResult result;
    result.output = decodeTrimmed(process.readAllStandardOutput());
    result.errorOutput = decodeTrimmed(process.readAllStandardError());
    result.success = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    return result;
}
