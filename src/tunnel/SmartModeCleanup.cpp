#include "SmartModeCleanup.h"

#include "platform/FileTrust.h"
#include "platform/PrivilegedRunner.h"

#include <QFile>
#include <QFileInfo>

SmartModeCleanup::SmartModeCleanup(std::shared_ptr<PrivilegedRunner> runner, TunnelPaths paths, uid_t trustedOwner)
    : m_runner(std::move(runner))
    , m_paths(std::move(paths))
    , m_trustedOwner(trustedOwner)
{}

void SmartModeCleanup::run() const
{
    const QFileInfo script(m_paths.cleanupScript);
    if (script.exists() || script.isSymLink()) {
        if (!FileTrust::isTrustedScript(m_paths.cleanupScript, m_trustedOwner))
            return;
        m_runner->run({QStringLiteral("/bin/sh"), m_paths.cleanupScript}, PrivilegedRunner::Output::Discard);
        QFile::remove(m_paths.cleanupScript);
    }
    QFile::remove(m_paths.gateway);
}

bool SmartModeCleanup::leftBehind() const
{
    const QFileInfo script(m_paths.cleanupScript);
    return script.exists() || script.isSymLink();
}
