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

bool ControlProgram::isCurrentRootCopy(const QString &path)
{
    if (path.isEmpty() || !FileTrust::isTrustedScript(path, 0) ||
        !FileTrust::isRootOnlyFolder(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.size() == text().size() && file.readAll() == text();
}

ControlProgram::ControlProgram(std::shared_ptr<PrivilegedRunner> runner, Location location)
    : m_runner(std::move(runner))
    , m_location(std::move(location))
{}

QString ControlProgram::path() const
{
    return isCurrentRootCopy(m_location.packaged) ? m_location.packaged : m_location.program;
}

bool ControlProgram::stop(pid_t pid) const
{
    return m_runner->run({path(), QStringLiteral("stop"), QString::number(pid)}, PrivilegedRunner::Output::Inherit)
        .succeeded;
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

std::optional<QString> ControlProgram::readyHelper() const
{
    const PrivilegedRunner::Result result =
        m_runner->run({path(), QStringLiteral("check")}, PrivilegedRunner::Output::Capture);
    return result.succeeded ? readyHelperFrom(result.output) : std::nullopt;
}

std::optional<QString> ControlProgram::readyHelperFrom(const QByteArray &checkOutput)
{
    std::optional<QString> helper;
    bool current = false;
    bool ready = false;
    for (const QByteArray &line : checkOutput.split('\n')) {
        if (line.startsWith("helper "))
            helper = QFile::decodeName(line.mid(7));
        else if (line == "version " + QByteArray::number(version))
            current = true;
        else if (line == "state ready")
            ready = true;
    }
    return current && ready ? helper : std::nullopt;
}
