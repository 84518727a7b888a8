#include "RecordingPrivilegedRunner.h"

#include <csignal>
#include <ctime>

namespace {
constexpr int kHoldLimitMs = 10000;
}

void RecordingPrivilegedRunner::run(const QStringList &arguments, Output output)
{
    bool hold = false;
    {
        const QMutexLocker lock(&m_mutex);
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        m_calls.append({arguments, output, qint64(now.tv_sec) * 1000000000 + now.tv_nsec});
        hold = m_hold;
    }
    m_recorded.release();
    if (m_performKills && arguments.size() == 2 && arguments.first() == QLatin1String("/bin/kill") &&
        arguments.at(1).toInt() > 0)
        ::kill(arguments.at(1).toInt(), SIGTERM);
    if (hold && !m_released.tryAcquire(1, kHoldLimitMs)) {
        const QMutexLocker lock(&m_mutex);
        m_timedOut = true;
    }
}

QList<RecordingPrivilegedRunner::Call> RecordingPrivilegedRunner::calls() const
{
    const QMutexLocker lock(&m_mutex);
    return m_calls;
}

void RecordingPrivilegedRunner::holdCalls()
{
    const QMutexLocker lock(&m_mutex);
    m_hold = true;
}

void RecordingPrivilegedRunner::release()
{
    m_released.release();
}

bool RecordingPrivilegedRunner::heldCallTimedOut() const
{
    const QMutexLocker lock(&m_mutex);
    return m_timedOut;
}

bool RecordingPrivilegedRunner::waitForCalls(int count, int timeoutMs)
{
    if (!m_recorded.tryAcquire(count, timeoutMs))
        return false;
    m_recorded.release(count);
    return true;
}
