#pragma once

#include "LogScanner.h"
#include "TunnelLog.h"
#include "platform/ProcessIdentity.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QThreadPool>
#include <QTimer>

#include <chrono>
#include <memory>

// Watches a started helper: its log for the start marker or an error word, and its process. A regular
// check each interval reads everything new in the log, then decides: the marker means up, else an error
// word means failed; then a helper that is gone ends the watch. Whenever the log grows an early read
// runs too, but it may only find the marker; failures wait for the regular check, which sees all that
// was read by then, so the verdicts are those of a check that reads the whole log each interval. The
// log is read off the main thread; the verdicts come on it. Once up, only the process is checked.
class TunnelMonitor : public QObject {
    Q_OBJECT
public:
    TunnelMonitor(std::shared_ptr<TunnelLog> log, const QString &logPath, qint32 pid,
                  std::chrono::milliseconds interval, QObject *parent = nullptr);
    // Watches a helper that is up already and was started by another process (one that was killed):
    // only whether the process with that identity still runs.
    TunnelMonitor(qint32 pid, ProcessIdentity identity, std::chrono::milliseconds interval, QObject *parent = nullptr);
    ~TunnelMonitor() override;

signals:
    // The marker is in the log: the tunnel is up. The watch goes on for the process.
    void up();
    // An error word and no marker: the start failed. The watch has ended.
    void failed();
    // The helper is gone (wasUp: after the marker). The watch has ended.
    void helperGone(bool wasUp);

protected:
    void customEvent(QEvent *event) override;

private:
    struct Read;
    void regularCheck();
    void startRead(bool regular);
    void finishRead(LogScanner scanner, bool regular);
    void checkProcess();
    void stopWatching();
    void end();

    std::shared_ptr<TunnelLog> m_log; // none once up: never read again
    LogScanner m_scanner;
    qint32 m_pid;
    std::optional<ProcessIdentity> m_identity; // a helper that is not our child: its pid may be reused
    bool m_up = false;
    bool m_ended = false;
    bool m_reading = false;
    bool m_regularDue = false; // a regular check came while an early read was under way
    QTimer m_timer;
    QFileSystemWatcher m_watcher;
    QThreadPool m_reader;
};
