#include "RecordingPrivilegedRunner.h"

#include "platform/FileTrust.h"

#include <ctime>

namespace {
constexpr int kHoldLimitMs = 10000;
}

RecordingPrivilegedRunner::RecordingPrivilegedRunner()
    : m_control(std::chrono::milliseconds(2000))
{}

bool RecordingPrivilegedRunner::record(const QStringList &arguments, Output output)
{
    bool hold = false;
    bool failing = false;
    {
        const QMutexLocker lock(&m_mutex);
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        m_calls.append({arguments, output, qint64(now.tv_sec) * 1000000000 + now.tv_nsec});
        hold = m_hold && (m_heldVerb.isEmpty() || arguments.value(1) == m_heldVerb);
        failing = m_failing.contains(arguments.value(1));
    }
    m_recorded.release();
    if (hold && !m_released.tryAcquire(1, kHoldLimitMs)) {
        const QMutexLocker lock(&m_mutex);
        m_timedOut = true;
    }
    return !failing;
}

PrivilegedRunner::Result RecordingPrivilegedRunner::run(const QStringList &arguments, Output output)
{
    if (!record(arguments, output))
        return {};
    const QString verb = arguments.value(1);
    if (verb == QLatin1String("stop"))
        return {m_control.stop(), {}};
    if (verb != QLatin1String("check"))
        return {true, {}};
    const Served helper = served();
    if (helper.path.isEmpty())
        return {};
    return {true, m_control.check(helper.path, helper.sha256)};
}

HelperProcess::Started RecordingPrivilegedRunner::start(const QStringList &arguments, const QByteArray &input,
                                                        int outputFd)
{
    if (!record(arguments, Output::Inherit))
        return {-1, QStringLiteral("refused")};
    return m_control.start(served().path, arguments.mid(2), input, outputFd);
}

void RecordingPrivilegedRunner::setServedHelper(const QString &path)
{
    Served helper{path, FileTrust::sha256Of(path)};
    const QMutexLocker lock(&m_mutex);
    m_served = std::move(helper);
}

RecordingPrivilegedRunner::Served RecordingPrivilegedRunner::served() const
{
    const QMutexLocker lock(&m_mutex);
    return m_served;
}

void RecordingPrivilegedRunner::failVerb(const QString &verb, bool failing)
{
    const QMutexLocker lock(&m_mutex);
    m_failing.removeAll(verb);
    if (failing)
        m_failing.append(verb);
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

QStringList RecordingPrivilegedRunner::verbs() const
{
    QStringList verbs;
    for (const Call &call : calls())
        verbs.append(call.arguments.value(1));
    return verbs;
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
