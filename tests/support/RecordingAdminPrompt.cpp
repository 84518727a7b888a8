#include "RecordingAdminPrompt.h"

ScriptResult RecordingAdminPrompt::runAsAdmin(const QStringList &command)
{
    bool hold = false;
    {
        const QMutexLocker lock(&m_mutex);
        m_commands.append(command);
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
    if (m_runner)
        m_runner->setServedHelper(m_helperPath);
    return {true, QString(), QString()};
}

QList<QStringList> RecordingAdminPrompt::commands() const
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
