#pragma once

#include "demo/DemoPlatform.h"
#include "platform/PrivilegedRunner.h"

#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QStringList>

// Records every command it is asked to run as root and runs none of them as root. It answers the
// control program's verbs as the real one would for the test's own helper (UserControlProgram): "start"
// runs the served helper, "stop" ends it (TERM, a short wait, KILL) and "check" describes the served
// helper, once a test or an installation has set one. A test may make a verb fail, or hold the runner
// inside run() until it calls release(), to see that the caller does not wait for it.
class RecordingPrivilegedRunner final : public PrivilegedRunner {
public:
    struct Call {
        QStringList arguments;
        Output output;
        qint64 monotonicNs = 0; // CLOCK_MONOTONIC when it was asked for
    };

    RecordingPrivilegedRunner();
    Result run(const QStringList &arguments, Output output) override;
    HelperProcess::Started start(const QStringList &arguments, const QByteArray &input, int outputFd) override;
    // The helper an installation has copied (its hash taken now), which "start" runs and "check" describes.
    void setServedHelper(const QString &path);
    // How long "stop" waits after TERM before it kills.
    void setStopWait(std::chrono::milliseconds wait) { m_control.setStopWait(wait); }
    // From now on the verb reports failure (and does nothing), or no longer does.
    void failVerb(const QString &verb, bool failing = true);

    QList<Call> calls() const;
    // The control program's verbs asked for, in order.
    QStringList verbs() const;
    // From now on each run() (of the control program's verb, when one is given) blocks until release()
    // (or until a generous safety limit passes).
    void holdCalls(const QString &verb = QString());
    void release();
    // Whether a held call gave up waiting because release() never came.
    bool heldCallTimedOut() const;
    // Blocks until at least count calls have been recorded; false when they did not come in time.
    bool waitForCalls(int count, int timeoutMs = 5000);

private:
    struct Served {
        QString path;
        QString sha256;
    };
    // Records the call; false when the verb is to fail.
    bool record(const QStringList &arguments, Output output);
    Served served() const;

    mutable QMutex m_mutex;
    QList<Call> m_calls;
    bool m_hold = false;
    QString m_heldVerb;
    bool m_timedOut = false;
    QStringList m_failing;
    Served m_served;
    UserControlProgram m_control;
    QSemaphore m_released;
    QSemaphore m_recorded;
};
