#pragma once

#include <QList>
#include <QObject>
#include <QTimer>

#include <chrono>

// The attempts to start a lost tunnel again: which one is next, when it is due, and whether a restored
// tunnel has stayed up long enough to have its attempts back. It only keeps time; the controller starts
// the tunnel and shows what happens.
class ReconnectSeries : public QObject {
    Q_OBJECT
public:
    // waits: the wait before each attempt, which is also how many there are. A restored tunnel lost
    // again within settle counts as a failed attempt of the same series.
    ReconnectSeries(QList<std::chrono::milliseconds> waits, std::chrono::milliseconds settle,
                    QObject *parent = nullptr);

    // Waiting for an attempt, in one, or restored and not yet settled.
    bool isUnderWay() const { return m_attempt > 0; }
    // The attempt awaited or running, from 1.
    int attempt() const { return m_attempt; }
    int attempts() const { return int(m_waits.size()); }

    // Waits for the next attempt (due follows); false, and the series ends, when all have been made.
    bool awaitNext();
    // The attempt came up: the series ends once the tunnel has stayed up for the settle time.
    void restored();
    void end();

signals:
    void due();

private:
    const QList<std::chrono::milliseconds> m_waits;
    const std::chrono::milliseconds m_settle;
    int m_attempt = 0;
    QTimer m_waitTimer;
    QTimer m_settleTimer;
};
