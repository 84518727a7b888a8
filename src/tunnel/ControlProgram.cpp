#include "ControlProgram.h"

#include "ControlScript.h"
#include "platform/FileTrust.h"
#include "platform/PrivilegedRunner.h"

#include <QFile>
#include <QFileInfo>

QByteArray ControlProgram::text()
{
    return QByteArray::fromRawData(kControlScriptText, qsizetype(sizeof kControlScriptText - 1));
}

QByteArray ControlProgram::installText()
{
    return QByteArray::fromRawData(kInstallScriptText, qsizetype(sizeof kInstallScriptText - 1));
}

bool ControlProgram::isCurrentRootCopy(const QString &path, const QByteArray &content)
{
    if (path.isEmpty() || !FileTrust::isTrustedScript(path, 0) ||
        !FileTrust::isRootOnlyFolder(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.size() == content.size() && file.readAll() == content;
}

ControlProgram::ControlProgram(std::shared_ptr<PrivilegedRunner> runner, Location location)
    : m_runner(std::move(runner))
    , m_location(std::move(location))
{}

QString ControlProgram::path() const
{
    return isCurrentRootCopy(m_location.packaged, text()) ? m_location.packaged : m_location.program;
}

QString ControlProgram::packagedInstaller() const
{
    return isCurrentRootCopy(m_location.packagedInstaller, installText()) ? m_location.packagedInstaller : QString();
}

HelperProcess::Started ControlProgram::start(RoutingMode mode, const QString &serverAddress, const QString &sni,
                                             const QString &psk, int outputFd) const
{
    return m_runner->start({path(), QStringLiteral("start"), RoutingModes::rawValue(mode), serverAddress, sni},
                           psk.toUtf8() + '\n', outputFd);
}

bool ControlProgram::stop() const
{
    return m_runner->run({path(), QStringLiteral("stop")}, PrivilegedRunner::Output::Discard).succeeded;
}

bool ControlProgram::deleteRoutes(const QString &host) const
{
    QStringList arguments{path(), QStringLiteral("routes")};
    if (!host.isEmpty())
        arguments.append(host);
    return m_runner->run(arguments, PrivilegedRunner::Output::Discard).succeeded;
}

bool ControlProgram::smartCleanup() const
{
    return m_runner->run({path(), QStringLiteral("smart-cleanup")}, PrivilegedRunner::Output::Discard).succeeded;
}

std::optional<ControlProgram::Installation> ControlProgram::check() const
{
    const PrivilegedRunner::Result result =
        m_runner->run({path(), QStringLiteral("check")}, PrivilegedRunner::Output::Capture);
    return result.succeeded ? installationFrom(result.output) : std::nullopt;
}

std::optional<ControlProgram::Installation> ControlProgram::installationFrom(const QByteArray &checkOutput)
{
    Installation installation;
    bool current = false;
    for (const QByteArray &line : checkOutput.split('\n')) {
        const qsizetype space = line.indexOf(' ');
        const QByteArray key = line.left(space);
        const QByteArray value = space < 0 ? QByteArray() : line.mid(space + 1);
        if (key == "version")
            current = value == QByteArray::number(version);
        else if (key == "helper")
            installation.helper = QFile::decodeName(value);
        else if (key == "source")
            installation.source = QFile::decodeName(value);
        else if (key == "sha256" && value.size() == 64)
            installation.sha256 = QString::fromLatin1(value);
        else if (key == "running") {
            const qsizetype at = value.indexOf(' ');
            bool ok = false;
            const qint64 pid = value.left(at).toLongLong(&ok);
            if (ok && pid > 0 && at > 0) {
                installation.runningPid = pid;
                installation.runningStarted = QString::fromLatin1(value.mid(at + 1));
            }
        }
    }
    if (!current || installation.helper.isEmpty())
        return std::nullopt;
    return installation;
}
