#include "RecordingAdminPrompt.h"

#include <QFile>

#include <sys/stat.h>

ScriptResult RecordingAdminPrompt::runAsAdmin(const QString &shellCommand)
{
    bool hold = false;
    {
        const QMutexLocker lock(&m_mutex);
        m_commands.append(shellCommand);
        hold = m_hold;
        m_showing = true;
        m_cancelled = false;
    }
    m_shown.release();
    if (hold)
        m_closed.tryAcquire(1, 10000);
    bool cancelled = false;
    {
        const QMutexLocker lock(&m_mutex);
        m_showing = false;
        cancelled = m_cancelled;
    }
    if (!m_authorised || cancelled)
        return {false, QString(), QStringLiteral("User cancelled.")};
    struct stat info {};
    const QByteArray native = QFile::encodeName(m_helperPath);
    if (!m_helperPath.isEmpty() && ::stat(native.constData(), &info) == 0)
        ::chmod(native.constData(), (info.st_mode & 07777) | S_ISUID);
    if (m_runner)
        m_runner->setServedHelper(m_helperPath);
    return {true, QString(), QString()};
}

QStringList RecordingAdminPrompt::commands() const
{
    const QMutexLocker lock(&m_mutex);
    return m_commands;
}

void RecordingAdminPrompt::holdOpen()
{
    const QMutexLocker lock(&m_mutex);
    m_hold = true;
}

void RecordingAdminPrompt::cancel()
{
    {
        const QMutexLocker lock(&m_mutex);
        if (!m_showing)
            return;
        m_cancelled = true;
        ++m_cancelledCount;
    }
    m_closed.release();
}

int RecordingAdminPrompt::cancelledCount() const
{
    const QMutexLocker lock(&m_mutex);
    return m_cancelledCount;
}
