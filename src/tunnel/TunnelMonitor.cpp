#include "TunnelMonitor.h"

#include "platform/SystemInfo.h"
#include "platform/ThreadHandoff.h"

#include <limits>

TunnelMonitor::TunnelMonitor(std::shared_ptr<TunnelLog> log, const QString &logPath, qint32 pid,
                             std::chrono::milliseconds interval, QObject *parent)
    : QObject(parent)
    , m_log(std::move(log))
    , m_pid(pid)
{
    m_reader.setMaxThreadCount(1);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &TunnelMonitor::regularCheck);
    m_timer.start(interval);
    if (m_log && m_log->isValid()) {
        m_watcher.addPath(logPath);
        connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, [this] { startRead(false); });
    }
}

TunnelMonitor::TunnelMonitor(qint32 pid, ProcessIdentity identity, std::chrono::milliseconds interval, QObject *parent)
    : TunnelMonitor(nullptr, QString(), pid, interval, parent)
{
    m_identity = std::move(identity);
    m_up = true;
}

TunnelMonitor::~TunnelMonitor()
{
    m_ended = true;
    m_reader.waitForDone(); // a read under way holds the log and posts to us
}

void TunnelMonitor::customEvent(QEvent *event)
{
    if (!ThreadHandoff::deliver(event))
        QObject::customEvent(event);
}

void TunnelMonitor::regularCheck()
{
    if (m_up || !m_log) {
        checkProcess();
        return;
    }
    startRead(true);
}

void TunnelMonitor::startRead(bool regular)
{
    if (m_ended || m_up || !m_log)
        return;
    if (m_reading) {
        m_regularDue = m_regularDue || regular;
        return;
    }
    m_reading = true;
    // The scanner goes with the read and comes back with its verdict; nothing else touches it meanwhile.
    ThreadHandoff::start(m_reader, [this, log = m_log, scanner = std::move(m_scanner), regular]() mutable {
        log->readNew(scanner, std::numeric_limits<qint64>::max());
        ThreadHandoff::post(
            this, [this, scanner = std::move(scanner), regular]() mutable { finishRead(std::move(scanner), regular); });
    });
}

void TunnelMonitor::finishRead(LogScanner scanner, bool regular)
{
    m_reading = false;
    m_scanner = std::move(scanner);
    if (m_ended)
        return;
    if (m_scanner.sawMarker()) {
        m_up = true;
        m_log.reset();
        stopWatching();
        emit up();
    } else if (regular && m_scanner.sawError()) {
        end();
        emit failed();
        return;
    }
    if (regular) {
        m_regularDue = false;
        checkProcess();
    } else if (std::exchange(m_regularDue, false)) {
        regularCheck();
    }
}

void TunnelMonitor::checkProcess()
{
    if (m_ended)
        return;
    if (m_identity ? ProcessIdentity::of(m_pid) == m_identity : SystemInfo::isProcessAlive(m_pid))
        return;
    end();
    emit helperGone(m_up);
}

void TunnelMonitor::stopWatching()
{
    if (!m_watcher.files().isEmpty())
        m_watcher.removePaths(m_watcher.files());
}

void TunnelMonitor::end()
{
    m_ended = true;
    m_timer.stop();
    stopWatching();
    m_log.reset();
}
