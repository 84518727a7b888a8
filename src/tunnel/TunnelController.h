#pragma once

#include "LogScanner.h"
#include "TunnelLog.h"
#include "TunnelOwnership.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

class AppViewModel;
struct LaunchTicket;

// Starts, watches and stops the tunnel helper for the view model. Blocking work (the administrator
// prompt, starting the helper, stopping it, deleting routes) runs on one serial lane off the main
// thread, so a new start always waits until the previous stop has cleaned up; results come back to
// the main thread. The monitor runs on the main thread and reads the log incrementally.
class TunnelController : public QObject {
    Q_OBJECT
public:
    explicit TunnelController(AppViewModel &viewModel, QObject *parent = nullptr);
    ~TunnelController() override;

    QString binaryPath() const;
    void vpnConnect();
    void vpnDisconnect();

    // Stops a running or starting tunnel and its routes before the app quits, waiting at most limit
    // for the clean-up; calls done on the main thread either way.
    void shutdown(std::chrono::milliseconds limit, std::function<void()> done);
    // Whether blocking tunnel work is still queued or running.
    bool isBusy();
    // At start-up: when an earlier run left a smart-mode clean-up script behind and no other process
    // drives the tunnel, starts that clean-up on the pool without waiting. Returns whether it started.
    bool startLeftoverCleanup(QThreadPool &pool);
    const TunnelOwnership &ownership() const { return m_ownership; }

protected:
    void customEvent(QEvent *event) override;

private:
    struct LaunchParameters;
    void finishLaunch(const std::shared_ptr<LaunchTicket> &ticket, pid_t pid, std::shared_ptr<TunnelLog> log);
    void failLaunch(const std::shared_ptr<LaunchTicket> &ticket, const QString &statusKey, const QString &detail);
    void startMonitoring(std::shared_ptr<TunnelLog> log);
    // Cancels the running monitor (a stop or a new start).
    void stopMonitoring();
    // The monitor reached its final verdict.
    void endMonitoring();
    void finishDisconnect(quint64 generation);
    void checkShutdown();
    void monitorTick();
    // Runs fn on the main thread if this controller still exists then.
    void postToMain(std::function<void(TunnelController &)> fn);

    AppViewModel &m_vm;
    TunnelOwnership m_ownership;
    // Held from a start until its tunnel has ended or been cleaned up.
    std::shared_ptr<TunnelOwnership::Lease> m_lease;
    QThreadPool m_lane;
    std::shared_ptr<LaunchTicket> m_launch;
    quint64 m_generation = 0;

    QTimer m_monitorTimer;
    std::shared_ptr<TunnelLog> m_log;
    LogScanner m_scanner;
    bool m_up = false;

    QDeadlineTimer m_shutdownDeadline;
    std::function<void()> m_shutdownDone;
};
