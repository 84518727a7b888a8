#pragma once

#include "HelperLocator.h"
#include "ReconnectSeries.h"
#include "RoutingMode.h"
#include "SmartModeCleanup.h"
#include "TunnelLog.h"
#include "TunnelOwnership.h"
#include "TunnelSettings.h"
#include "TunnelLaunch.h"
#include "TunnelState.h"
#include "TunnelTeardown.h"
#include "api/NodeInfo.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QThreadPool>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

class TunnelMonitor;

// Starts, watches and stops the tunnel helper, and owns what the tunnel is doing (its state, which the
// view model shows). Blocking work (the administrator prompt, starting the helper, stopping it,
// deleting routes) runs on one serial lane off the main thread, so a new start always waits until the
// previous stop has cleaned up; results come back to the main thread, where a TunnelMonitor reports
// what the helper's log and process say.
class TunnelController : public QObject {
    Q_OBJECT
public:
    explicit TunnelController(TunnelSettings settings, QObject *parent = nullptr);
    ~TunnelController() override;

    const TunnelState &state() const { return m_state; }

    QString binaryPath() const;
    // Where binaryPath looks, in order.
    QStringList helperCandidates() const;
    // What a support report says of the tunnel's pieces.
    struct Diagnosis {
        QString helper; // the helper found, or empty
        QStringList places;
        QString controlProgram; // the program sudo runs
        bool controlProgramPresent = false;
        std::optional<ControlProgram::Installation> installation; // what the control program's check says
        QString setupHelper;                // the helper the rights were last installed for
        bool privilegesInstalled = false;   // for the helper found
        QString logPath;
    };
    // Copies of what a diagnosis reads, so that it can run on any thread while the controller goes on.
    struct Diagnostician {
        std::shared_ptr<PreferenceStore> preferences;
        HelperLocator::Places places;
        ControlProgram control;
        QString logPath;
        // Runs the control program's check through sudo -n: call it off the main thread of a window.
        Diagnosis diagnose() const;
    };
    Diagnostician diagnostician() const;
    // Starts the helper for node (none: refused with a status saying so) with psk, in mode. A reconnect
    // waiting for its next attempt gives way to it.
    void vpnConnect(const std::optional<NodeInfo> &node, const QString &psk, RoutingMode mode);
    // Stops the tunnel, a start under way, or a reconnect.
    void vpnDisconnect();
    // After a sign-out: the status says "not connected", unless a tunnel is still up or starting. The
    // session's key is forgotten: a tunnel left up is not started again once lost.
    void sessionEnded();

    // Stops a running or starting tunnel and its routes before the app quits, waiting at most limit
    // for the clean-up; calls done on the main thread either way.
    void shutdown(std::chrono::milliseconds limit, std::function<void()> done);
    // Whether blocking tunnel work is still queued or running.
    bool isBusy();
    enum class Recovery {
        Nothing,      // nothing was left behind
        CleaningUp,   // a clean-up of what was left behind is queued on the lane
        Adopted,      // a helper left up by a killed client is ours now, and connected
        HeldElsewhere // another live process drives the tunnel: nothing was touched
    };
    // At start-up, when no other process drives the tunnel: takes over what a killed client left. Its
    // helper, still up and still the same process, is adopted; one that was only starting, failed or
    // being stopped is stopped, its routes deleted and a smart-mode clean-up run, on the lane without
    // waiting. A smart-mode clean-up script left behind without a record is run too.
    Recovery recoverLeftovers();
    const TunnelOwnership &ownership() const { return m_ownership; }
    // Whether a helper's log and process are being watched.
    bool isMonitoring() const { return m_monitor != nullptr; }
    // Why a start cannot begin (no node, key or helper, or node data the helper must not get), if so.
    static std::optional<TunnelReason> missingPiece(const std::optional<NodeInfo> &node, const QString &psk,
                                                    const QString &helper);
    // From now on, while this process drives no tunnel, shows a tunnel another process of this user
    // drives (or one a killed process left running), looking at the lock file every interval (and
    // once now). Its disconnect asks that process to stop it, or finishes what was left.
    void watchOtherHolders(std::chrono::milliseconds interval);

signals:
    // The tunnel failed, crashed or was lost without the user asking (the state says how).
    void problem();

protected:
    void customEvent(QEvent *event) override;

private:
    // What a start was asked for; a reconnect asks for it again.
    struct StartRequest {
        NodeInfo node;
        QString psk;
        RoutingMode mode = RoutingMode::safe;
    };
    using Teardown = TunnelTeardown;
    Teardown teardown(std::optional<qint32> pid, QString host, RoutingMode mode) const;
    // The current helper's, if any.
    Teardown currentTeardown() const;
    // What a killed holder's record names: its helper is stopped only while still the same process.
    Teardown teardown(const TunnelOwnership::HelperRecord &left) const;
    // left: a killed holder's record, with the helper it left up.
    bool startedHelperRuns(const TunnelOwnership::HelperRecord &helper) const;
    void adopt(const TunnelHolder &left, std::shared_ptr<TunnelOwnership::Lease> lease);
    // Shows starting while the start runs; false when it was refused at once (the state says why).
    bool startTunnel(const std::optional<NodeInfo> &node, const QString &psk, RoutingMode mode,
                     const TunnelCause &starting);
    // The lane's half of a start.
    TunnelLaunch launchOf(const QString &helper, const NodeInfo &node, const QString &psk, RoutingMode mode,
                          std::optional<Teardown> previous) const;
    // After a tunnel that was up has ended by itself: whether it is started again, as the user asked.
    bool shouldReconnect() const;
    // On the lane, before the next attempt.
    void deleteLostRoutes(Teardown lost);
    // False when every attempt has been made.
    bool awaitNextAttempt();
    void attemptReconnect();
    // An attempt ended in a failure, whose status is shown: the next one is awaited, or after the last
    // the failure stays.
    void reconnectAttemptFailed();
    void stopReconnecting();
    void clearHelper();
    void finishLaunch(const std::shared_ptr<LaunchTicket> &ticket, pid_t pid, std::optional<ProcessIdentity> identity,
                      std::shared_ptr<TunnelLog> log);
    void failLaunch(const std::shared_ptr<LaunchTicket> &ticket, TunnelCause cause);
    void startMonitoring(std::unique_ptr<TunnelMonitor> monitor);
    // Cancels the running monitor (a stop or a new start): it writes nothing more.
    void stopMonitoring();
    // unstopped: what a stop that failed left, with the lease that stays held for it.
    void finishDisconnect(quint64 generation, std::optional<Teardown> unstopped,
                          std::shared_ptr<TunnelOwnership::Lease> lease);
    void checkShutdown();
    // A start under way is told to stop (and its administrator prompt closed); it is returned.
    std::shared_ptr<LaunchTicket> cancelLaunch();
    // On the lane: stop (or the helper the cancelled start pending started meanwhile), then finishDisconnect.
    void queueStop(Teardown stop, std::shared_ptr<LaunchTicket> pending, quint64 generation,
                   std::shared_ptr<TunnelOwnership::Lease> lease);
    // Runs fn on the main thread if this controller still exists then.
    void postToMain(std::function<void(TunnelController &)> fn);

    void show(TunnelCause cause) { m_state.setCause(std::move(cause)); }
    // The tunnel is up now (or was since upSince): recorded for others, shown with its node.
    void markUp(std::optional<QDateTime> upSince = std::nullopt);
    // The tunnel of this process has ended: no node, no time.
    void clearTunnel();
    void lookElsewhere();
    // A tunnel of another process was shown: this process acts now, and shows its own.
    void leaveElsewhere();
    // Asks the process that drives the tunnel shown to stop it; false (and the state says why) when
    // it is not ours to ask.
    bool askHolderToStop(const TunnelHolder &holder);
    ControlProgram controlProgram() const;

    const TunnelSettings m_settings;
    TunnelState m_state;
    std::optional<ProcessIdentity> m_helperIdentity; // of the helper at m_state.pid(), once read
    TunnelOwnership m_ownership;
    // Held from a start until its tunnel has ended or been cleaned up.
    std::shared_ptr<TunnelOwnership::Lease> m_lease;
    QThreadPool m_lane;
    std::shared_ptr<LaunchTicket> m_launch;
    quint64 m_generation = 0;
    // Stops whose last step (the status they end with, on this thread) is still to come.
    int m_stopsUnfinished = 0;

    std::optional<StartRequest>
        m_lastStart; // of the tunnel started last (and of its attempts); none for an adopted one
    ReconnectSeries m_reconnect;

    std::unique_ptr<TunnelMonitor> m_monitor;
    QTimer m_cancelDelay;

    QTimer m_lookElsewhere;

    QDeadlineTimer m_shutdownDeadline;
    std::function<void()> m_shutdownDone;
};
