#include "SmartModeCleanup.h"

#include "platform/FileTrust.h"

#include <QFile>
#include <QFileInfo>

SmartModeCleanup::SmartModeCleanup(ControlProgram control, TunnelPaths paths, uid_t trustedOwner)
    : m_control(std::move(control))
    , m_paths(std::move(paths))
    , m_trustedOwner(trustedOwner)
{}

void SmartModeCleanup::run() const
{
    if (leftBehind() && !FileTrust::isTrustedScript(m_paths.cleanupScript, m_trustedOwner))
        return;
    m_control.smartCleanup();
    // Root's files in /tmp are gone by now; where they are the user's own (the demo), so are these.
    QFile::remove(m_paths.cleanupScript);
    QFile::remove(m_paths.gateway);
}

bool SmartModeCleanup::leftBehind() const
{
    const QFileInfo script(m_paths.cleanupScript);
    return script.exists() || script.isSymLink();
}
