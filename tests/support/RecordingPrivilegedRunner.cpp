#include "RecordingPrivilegedRunner.h"

#include "tunnel/ControlProgram.h"

#include <QFile>

#include <csignal>
#include <ctime>
#include <sys/stat.h>

namespace {
constexpr int kHoldLimitMs = 10000;
}

PrivilegedRunner::Result RecordingPrivilegedRunner::run(const QStringList &arguments, Output output)
{
    bool hold = false;
    QString served;
    {
        const QMutexLocker lock(&m_mutex);
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        m_calls.append({arguments, output, qint64(now.tv_sec) * 1000000000 + now.tv_nsec});
        hold = m_hold && (m_heldVerb.isEmpty() || arguments.value(1) == m_heldVerb);
        served = m_servedHelper;
    }
    m_recorded.release();
    const QString verb = arguments.value(1);
    if (m_performKills && verb == QLatin1String("stop") && arguments.value(2).toInt() > 0)
        ::kill(arguments.at(2).toInt(), SIGTERM);
    if (hold && !m_released.tryAcquire(1, kHoldLimitMs)) {
        const QMutexLocker lock(&m_mutex);
        m_timedOut = true;
    }
    if (verb != QLatin1String("check"))
        return {true, {}};
    if (served.isEmpty())
        return {};
    struct stat info {};
    const bool marked = ::stat(QFile::encodeName(served).constData(), &info) == 0 && (info.st_mode & S_ISUID) != 0;
    return {true, "helper " + QFile::encodeName(served) + "\nversion " + QByteArray::number(ControlProgram::version) +
                      (marked ? "\nstate ready\n" : "\nstate unmarked\n")};
}

void RecordingPrivilegedRunner::setServedHelper(const QString &path)
{
    const QMutexLocker lock(&m_mutex);
    m_servedHelper = path;
}

QList<RecordingPrivilegedRunner::Call> RecordingPrivilegedRunner::calls() const
{
    // A copy of its own, made under the lock: a list that shared the recording's buffer would be read
    // here while the runner's thread moves the buffer's elements on a later append.
    const QMutexLocker lock(&m_mutex);
    QList<Call> copy = m_calls;
    copy.detach();
    return copy;
}

void RecordingPrivilegedRunner::holdCalls(const QString &verb)
{
    const QMutexLocker lock(&m_mutex);
    m_hold = true;
    m_heldVerb = verb;
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
