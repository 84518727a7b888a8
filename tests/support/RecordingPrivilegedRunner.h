#pragma once

#include "platform/PrivilegedRunner.h"

#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QStringList>

// Records every command it is asked to run as root and runs none of them. It answers the control
// program's verbs as the real one would for the test's own files: "stop PID" sends the signal for real
// when kills are enabled (the test's own simulated helper), and "check" names the served helper (when a
// test has set one) and finds it ready when it carries the set-user-ID bit. A test may hold the runner
// inside run() until it calls release(), to see that the caller does not wait for it.
class RecordingPrivilegedRunner final : public PrivilegedRunner {
public:
    struct Call {
        QStringList arguments;
        Output output;
        qint64 monotonicNs = 0; // CLOCK_MONOTONIC when it was asked for
    };

    Result run(const QStringList &arguments, Output output) override;
    void performKills(bool enabled) { m_performKills = enabled; }
    // The helper path "check" reports, as an installation would have configured it.
    void setServedHelper(const QString &path);

    QList<Call> calls() const;
    // From now on each run() (of the control program's verb, when one is given) blocks until release()
    // (or until a generous safety limit passes).
    void holdCalls(const QString &verb = QString());
    void release();
    // Whether a held call gave up waiting because release() never came.
    bool heldCallTimedOut() const;
    // Blocks until at least count calls have been recorded; false when they did not come in time.
    bool waitForCalls(int count, int timeoutMs = 5000);

private:
    mutable QMutex m_mutex;
    QList<Call> m_calls;
    bool m_hold = false;
    QString m_heldVerb;
    bool m_timedOut = false;
    bool m_performKills = false;
    QString m_servedHelper;
    QSemaphore m_released;
    QSemaphore m_recorded;
};
