#pragma once

#include "api/NodeInfo.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>

#include <optional>

class DevService;

// What every figure of scripts/bench's driver uses: the table's rows and a few helpers.

namespace Bench {

struct Row {
    QString figure;
    QString ours;
    QString baseline;
    QString ratio;
    QString target;
    bool met = false;
};

// A 1 ms timer on the main thread: how late it fires is how long the thread was busy. Keeps the
// longest such stall since start() or reset().
class LagProbe {
public:
    LagProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_worstNs = std::max(m_worstNs, m_tick.nsecsElapsed() - 1000000);
            m_tick.restart();
        });
    }
    void start()
    {
        reset();
        m_tick.start();
        m_timer.start(1);
    }
    void stop() { m_timer.stop(); }
    void reset() { m_worstNs = 0; }
    double worstMs() const { return double(m_worstNs) / 1e6; }

private:
    QTimer m_timer;
    QElapsedTimer m_tick;
    qint64 m_worstNs = 0;
};

// What this process has used and holds now: CPU time, resident memory, open file descriptors, threads.
struct ProcessCounts {
    qint64 cpuMs = -1; // user and system time so far, all threads
    qint64 rssKb = -1;
    int fds = -1;
    int threads = -1;
    static ProcessCounts now();
};

// The rows printed at the end, in the order they were added.
const QList<Row> &rows();
// The folder of the release binaries next to the driver (bin/).
const QString &binaryFolder();
void setBinaryFolder(const QString &folder);

void add(Row row);
// A copy of the simulated helper in folder under the helper's own name, the only name ever offered to
// the administrator (the build's own file has a name of its own, so that no place searched holds it).
QString simulatedHelperIn(const QTemporaryDir &folder);
// A preference file in state that names the simulated helper and holds a session of the service's active
// demo account, as an earlier run would have left it: the app's and the client's arguments for it
// (--settings, --api-base). None, with the reason in problem, when the sign-in fails.
std::optional<QStringList> signedInState(DevService &service, const QTemporaryDir &state, QString *problem);
double median(QList<double> values);
QString number(double value, int decimals = 0);
QList<NodeInfo> manyNodes(int count, quint16 port);

// P6 and P7.
void tunnelVerdicts(int runs);
// P10, with this many connects, and P11, connected this long.
void manyConnects(int cycles);
void evening(int seconds);
// P8, over seconds.
void visibleWindow(int seconds);
// P9.
void search();

} // namespace Bench
