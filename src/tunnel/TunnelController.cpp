#include "TunnelController.h"

#include "ControlProgram.h"
#include "HelperLaunch.h"
#include "HelperLocator.h"
#include "PrivilegeInstaller.h"
#include "RouteCleanup.h"
#include "SmartModeCleanup.h"
#include "TunnelMonitor.h"
#include "platform/AdminPrompt.h"
#include "platform/FileTrust.h"
#include "platform/PreferenceStore.h"
#include "platform/SystemInfo.h"
#include "platform/ThreadHandoff.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QThread>

#include <atomic>

#include <csignal>

Q_LOGGING_CATEGORY(lcTunnel, "nimbrel.tunnel", QtWarningMsg)

TunnelController::TunnelController(TunnelSettings settings, QObject *parent)
    : QObject(parent)
    , m_settings(std::move(settings))
    , m_ownership(m_settings.paths.ownerLock, TunnelOwnership::currentProgram())
    , m_reconnect(m_settings.reconnectWaits, m_settings.reconnectSettle)
{
    m_lane.setMaxThreadCount(1);
    m_lane.setExpiryTimeout(-1);
    connect(&m_reconnect, &ReconnectSeries::due, this, &TunnelController::attemptReconnect);
    m_cancelDelay.setSingleShot(true);
    connect(&m_cancelDelay, &QTimer::timeout, this, [this] {
        if (m_state.isLoading())
            m_state.setCanCancel(true);
    });
    connect(&m_state, &TunnelState::loadingChanged, this, [this] {
        if (m_state.isLoading()) {
            m_cancelDelay.start(m_settings.cancelDelay);
        } else {
            m_cancelDelay.stop();
            if (m_state.canCancel())
                m_state.setCanCancel(false);
        }
    });
}

TunnelController::~TunnelController()
{
    m_monitor.reset();
    m_lane.waitForDone();
}

void TunnelController::markUp(std::optional<QDateTime> upSince)
{
    const QDateTime since = upSince.value_or(QDateTime::currentDateTimeUtc());
    if (m_lease) {
        const std::optional<NodeInfo> &node = m_state.node();
        m_lease->setTunnel(node ? std::optional(RunningNode{node->id, node->name, node->flagEmoji}) : std::nullopt,
                           since);
        m_lease->setState(TunnelPhase::connected);
    }
    m_state.setUpSince(since);
}

void TunnelController::clearTunnel()
{
    if (m_state.upSince())
        m_state.setUpSince(std::nullopt);
    if (m_state.node())
        m_state.setNode(std::nullopt);
}

ControlProgram TunnelController::controlProgram() const
{
    return ControlProgram(m_settings.privilegedRunner, m_settings.controlProgram);
}

QString TunnelController::binaryPath() const
{
    return HelperLocator(m_settings.preferences, m_settings.helperPlaces).binaryPath();
}

QStringList TunnelController::helperCandidates() const
{
    return HelperLocator(m_settings.preferences, m_settings.helperPlaces).candidates();
}

TunnelController::Diagnostician TunnelController::diagnostician() const
{
    return {m_settings.preferences, m_settings.helperPlaces, controlProgram(), m_settings.paths.log};
}

TunnelController::Diagnosis TunnelController::Diagnostician::diagnose() const
{
    const HelperLocator locator(preferences, places);
    Diagnosis diagnosis;
    diagnosis.helper = locator.binaryPath();
    diagnosis.places = locator.candidates();
    diagnosis.controlProgram = control.path();
    diagnosis.controlProgramPresent = QFile::exists(diagnosis.controlProgram);
    diagnosis.installation = control.check();
    const std::optional<QString> setupHelper = preferences->string(PrivilegeInstaller::setupBinaryPathKey);
    diagnosis.setupHelper = setupHelper.value_or(QString());
    diagnosis.privilegesInstalled =
        PrivilegeInstaller::isInstalledFor(diagnosis.helper, FileTrust::sha256Of(diagnosis.helper), setupHelper,
                                           diagnosis.installation);
    diagnosis.logPath = logPath;
    return diagnosis;
}

void TunnelController::sessionEnded()
{
    m_lastStart.reset();
    stopReconnecting();
    // A tunnel left up (a forced sign-out leaves it) keeps saying so.
    if (!m_state.isActive() && !m_state.holderElsewhere())
        show(TunnelReason::notConnected);
}

bool TunnelController::isBusy()
{
    return m_stopsUnfinished > 0 || !m_lane.waitForDone(0);
}



void TunnelController::clearHelper()
{
    m_state.setPid(std::nullopt);
    m_helperIdentity.reset();
}

void TunnelController::postToMain(std::function<void(TunnelController &)> fn)
{
    // Posted to this controller: Qt drops the event if the controller is gone by then.
    ThreadHandoff::post(this, [this, fn = std::move(fn)] { fn(*this); });
}

void TunnelController::customEvent(QEvent *event)
{
    if (!ThreadHandoff::deliver(event))
        QObject::customEvent(event);
}

void TunnelController::vpnConnect(const std::optional<NodeInfo> &node, const QString &psk, RoutingMode mode)
{
    if (m_launch && !m_launch->cancelled)
        return; // a start is already under way; its outcome is on screen soon
    stopReconnecting();
    leaveElsewhere();
    startTunnel(node, psk, mode, TunnelReason::connecting);
}

bool TunnelController::startTunnel(const std::optional<NodeInfo> &node, const QString &psk, RoutingMode mode,
                                   const TunnelCause &starting)
{
    const QString helper = binaryPath();
    if (const std::optional<TunnelReason> missing = missingPiece(node, psk, helper)) {
        show(*missing);
        return false;
    }
    TunnelOwnership::Refusal refusal;
    m_lease = m_ownership.acquire(&refusal);
    if (!m_lease) {
        show(refusal.holder ? TunnelCause(TunnelReason::heldElsewhere, *refusal.holder)
                            : TunnelCause(TunnelReason::fileProblem, refusal.file));
        return false;
    }
    m_lastStart = StartRequest{*node, psk, mode};
    // A helper still running from an earlier start that failed is ours, and so is one a killed client
    // left: it goes, with its routes, before the next one starts (and while the rights still name its
    // path).
    std::optional<Teardown> previous;
    if (m_state.pid())
        previous = currentTeardown();
    const std::optional<TunnelOwnership::Holder> left = m_lease->takeLeftBehind();
    if (!previous && left && left->helper) {
        previous = teardown(*left->helper);
        m_lease->setHelper(left->helper); // on record until it is stopped
    }
    m_lease->setState(TunnelPhase::connecting);
    m_state.setNode(*node);
    m_state.setLoading(true);
    show(starting);

    TunnelLaunch launch = launchOf(helper, *node, psk, mode, previous);
    auto ticket = std::make_shared<LaunchTicket>();
    // The host on record is the server address's text before its first ":".
    ticket->serverHost = launch.serverAddress.section(QLatin1Char(':'), 0, 0);
    ticket->mode = mode;
    m_launch = ticket;
    ++m_generation;
    launch.ticket = ticket;
    launch.lease = m_lease;
    clearHelper();
    m_state.setServerHost(std::nullopt);
    ThreadHandoff::start(m_lane, [this, launch = std::move(launch)] {
        const TunnelLaunch::Result result = launch.run();
        if (result.cancelled)
            return;
        postToMain([ticket = launch.ticket, result](TunnelController &self) {
            if (result.failure)
                self.failLaunch(ticket, *result.failure);
            else
                self.finishLaunch(ticket, result.pid, result.identity, result.log);
        });
    });
    return true;
}

std::optional<TunnelReason> TunnelController::missingPiece(const std::optional<NodeInfo> &node, const QString &psk,
                                                          const QString &helper)
{
    if (!node)
        return TunnelReason::noNodeSelected;
    if (psk.isEmpty())
        return TunnelReason::keyNotReady;
    if (!HelperLaunch::isSafe(*node, psk))
        return TunnelReason::nodeInvalid;
    if (helper.isEmpty())
        return TunnelReason::helperNotFound;
    return std::nullopt;
}

TunnelLaunch TunnelController::launchOf(const QString &helper, const NodeInfo &node, const QString &psk,
                                        RoutingMode mode, std::optional<Teardown> previous) const
{
    PrivilegeInstaller::Settings installSettings;
    installSettings.sudoersFile = m_settings.sudoersFile;
    installSettings.control = m_settings.controlProgram;
    installSettings.packagedHelper = m_settings.helperPlaces.extraCandidates.value(0);
    return TunnelLaunch{node.host + QLatin1Char(':') + QString::number(node.port),
                        helper,
                        node.sni.value_or(node.host),
                        mode,
                        psk,
                        m_settings.paths.log,
                        m_settings.paths.pid,
                        m_settings.userId,
                        controlProgram(),
                        std::make_shared<PrivilegeInstaller>(m_settings.preferences, m_settings.adminPrompt,
                                                             m_settings.privilegedRunner, installSettings),
                        std::move(previous),
                        nullptr,
                        nullptr};
}

void TunnelController::failLaunch(const std::shared_ptr<LaunchTicket> &ticket, TunnelCause cause)
{
    if (ticket->cancelled)
        return; // a stop came first and owns the status now
    if (m_launch == ticket)
        m_launch.reset();
    m_lease.reset();
    m_state.setLoading(false);
    if (!m_reconnect.isUnderWay())
        clearTunnel();
    show(std::move(cause));
    if (m_reconnect.isUnderWay())
        reconnectAttemptFailed();
}

void TunnelController::finishLaunch(const std::shared_ptr<LaunchTicket> &ticket, pid_t pid,
                                    std::optional<ProcessIdentity> identity, std::shared_ptr<TunnelLog> log)
{
    if (ticket->cancelled)
        return; // the stop queued behind this start stops the helper
    if (m_launch == ticket)
        m_launch.reset();
    m_state.setPid(pid);
    m_helperIdentity = std::move(identity);
    m_state.setServerHost(ticket->serverHost);
    m_state.setMode(ticket->mode);
    startMonitoring(
        std::make_unique<TunnelMonitor>(std::move(log), m_settings.paths.log, pid, m_settings.monitorInterval));
}

void TunnelController::startMonitoring(std::unique_ptr<TunnelMonitor> monitor)
{
    stopMonitoring();
    m_monitor = std::move(monitor);
    connect(m_monitor.get(), &TunnelMonitor::up, this, [this] {
        markUp();
        m_state.setConnected(true);
        m_state.setLoading(false);
        if (m_reconnect.isUnderWay()) {
            m_state.setAttempt(std::nullopt);
            m_state.setReconnecting(false);
            m_reconnect.restored();
        }
        show(TunnelReason::connected);
    });
    connect(m_monitor.get(), &TunnelMonitor::failed, this, [this] {
        m_state.setLoading(false);
        show(TunnelReason::connectFailed);
        m_lease->setState(TunnelPhase::failed); // the helper may still run: ours until stopped
        if (m_reconnect.isUnderWay())
            reconnectAttemptFailed();
        else
            emit problem();
    });
    connect(m_monitor.get(), &TunnelMonitor::helperGone, this, [this](bool wasUp) {
        const Teardown lost = currentTeardown();
        // A restored tunnel lost again before it settled counts as a failed attempt.
        const bool lostAgain = m_reconnect.isUnderWay() && wasUp;
        const bool firstLoss = !m_reconnect.isUnderWay() && wasUp && shouldReconnect();
        // Reconnecting before it is down, so that an observer never sees the tunnel idle in between.
        if (lostAgain || firstLoss)
            m_state.setReconnecting(true);
        m_state.setUpSince(std::nullopt);
        m_state.setConnected(false);
        m_state.setLoading(false);
        clearHelper();
        m_state.setServerHost(std::nullopt);
        if (!lostAgain && !firstLoss && !m_reconnect.isUnderWay())
            m_state.setNode(std::nullopt);
        show(wasUp ? TunnelReason::tunnelLost : TunnelReason::helperCrashed);
        if (lostAgain || firstLoss)
            deleteLostRoutes(lost);
        if (m_reconnect.isUnderWay()) {
            reconnectAttemptFailed();
            return;
        }
        if (!firstLoss)
            m_lease.reset();
        emit problem();
        if (firstLoss)
            awaitNextAttempt();
    });
}

bool TunnelController::shouldReconnect() const
{
    return m_lastStart && m_lease && m_reconnect.attempts() > 0 && m_settings.reconnectWhenLost &&
           m_settings.reconnectWhenLost();
}

void TunnelController::deleteLostRoutes(Teardown lost)
{
    // The helper has ended; what is left of it is its routes (and a smart tunnel's clean-up). On the
    // lane, so that the next start comes after it.
    lost.pid.reset();
    m_lease->setTunnel(std::nullopt, std::nullopt);
    m_lease->setState(TunnelPhase::disconnecting);
    ThreadHandoff::start(m_lane, [lost, lease = m_lease] { lost.run(); });
}

bool TunnelController::awaitNextAttempt()
{
    if (!m_reconnect.awaitNext())
        return false;
    if (m_lease) // what other processes read: the tunnel is on its way up again
        m_lease->setState(TunnelPhase::connecting);
    m_state.setAttempt(TunnelState::Attempt{m_reconnect.attempt(), m_reconnect.attempts()});
    show(TunnelReason::reconnecting);
    return true;
}

void TunnelController::attemptReconnect()
{
    if (!m_lastStart || !m_reconnect.isUnderWay())
        return;
    const StartRequest request = *m_lastStart;
    // "Reconnecting… (k/n)" stays while the attempt runs.
    if (!startTunnel(request.node, request.psk, request.mode, m_state.cause()))
        reconnectAttemptFailed();
}

void TunnelController::reconnectAttemptFailed()
{
    if (awaitNextAttempt())
        return;
    const int attempts = m_reconnect.attempts();
    stopReconnecting();
    if (!m_state.pid() && !m_launch)
        m_lease.reset(); // the last attempt's helper, if one still runs, stays ours until stopped
    if (!m_state.pid())
        clearTunnel();
    // Given up: said so, not only the last attempt's failure.
    TunnelCause givenUp{TunnelReason::reconnectFailed};
    givenUp.count = attempts;
    show(givenUp);
    emit problem();
}

void TunnelController::stopReconnecting()
{
    m_reconnect.end();
    m_state.setAttempt(std::nullopt);
    if (m_state.isReconnecting())
        m_state.setReconnecting(false);
}

void TunnelController::stopMonitoring()
{
    m_monitor.reset();
}

void TunnelController::vpnDisconnect()
{
    if (const std::optional<TunnelHolder> shown = m_state.holderElsewhere(); shown && !shown->leftBehind) {
        if (askHolderToStop(*shown)) {
            leaveElsewhere();
            show(TunnelReason::disconnecting); // until the watch sees it gone
        }
        return;
    }
    leaveElsewhere();
    stopReconnecting();
    stopMonitoring();
    Teardown stop = currentTeardown();
    clearHelper();
    m_state.setServerHost(std::nullopt);
    m_state.setUpSince(std::nullopt);
    m_state.setConnected(false);
    m_state.setLoading(false);
    show(TunnelReason::disconnecting);

    std::shared_ptr<LaunchTicket> pending = cancelLaunch();
    const quint64 generation = ++m_generation;

    // Only the owner of the tunnel stops a helper or deletes routes; another process's are left alone.
    std::shared_ptr<TunnelOwnership::Lease> lease = std::exchange(m_lease, nullptr);
    TunnelOwnership::Refusal refusal;
    if (!lease) {
        lease = m_ownership.acquire(&refusal);
        // Taken just now: what a killed holder left is ours to finish.
        if (const std::optional<TunnelOwnership::Holder> left = lease ? lease->takeLeftBehind() : std::nullopt;
            left && left->helper && !stop.pid) {
            stop = teardown(*left->helper);
            lease->setHelper(left->helper); // on record until it is stopped
        }
    }
    if (!lease) {
        // Another process drives the tunnel (or its lock cannot be used): nothing was stopped here.
        clearTunnel();
        show(refusal.holder ? TunnelCause(TunnelReason::heldElsewhere, *refusal.holder)
                            : TunnelCause(TunnelReason::fileProblem, refusal.file));
        return;
    }
    lease->setTunnel(std::nullopt, std::nullopt);
    lease->setState(TunnelPhase::disconnecting);
    queueStop(std::move(stop), std::move(pending), generation, std::move(lease));
}

std::shared_ptr<LaunchTicket> TunnelController::cancelLaunch()
{
    std::shared_ptr<LaunchTicket> pending = std::exchange(m_launch, nullptr);
    if (pending) {
        pending->cancelled = true;
        // A start waiting on the administrator dialog waits no more.
        if (m_settings.adminPrompt)
            m_settings.adminPrompt->cancel();
    }
    return pending;
}

void TunnelController::queueStop(Teardown stop, std::shared_ptr<LaunchTicket> pending, quint64 generation,
                                 std::shared_ptr<TunnelOwnership::Lease> lease)
{
    ++m_stopsUnfinished;
    ThreadHandoff::start(m_lane, [this, stop, pending, generation, lease]() mutable {
        // A start that was cancelled may still have started the helper before it saw the stop.
        if (!stop.pid && pending && pending->pid > 0) {
            stop.pid = pending->pid;
            stop.host = pending->serverHost;
            stop.mode = pending->mode;
        }
        const bool stopped = stop.run();
        if (stopped) {
            lease->setHelper(std::nullopt);
            lease.reset();
        }
        postToMain([generation, stopped, stop, lease](TunnelController &self) {
            self.finishDisconnect(generation, stopped ? std::nullopt : std::optional(stop), lease);
        });
    });
}

TunnelController::Teardown TunnelController::teardown(std::optional<qint32> pid, QString host, RoutingMode mode) const
{
    const ControlProgram control = controlProgram();
    return Teardown{pid,
                    std::nullopt,
                    std::move(host),
                    mode,
                    control,
                    SmartModeCleanup(control, m_settings.paths, m_settings.trustedScriptOwner),
                    m_settings.stopPoll,
                    m_settings.stopPolls};
}

TunnelController::Teardown TunnelController::currentTeardown() const
{
    Teardown current = teardown(m_state.pid(), m_state.serverHost().value_or(QString()), m_state.mode());
    current.identity = m_helperIdentity;
    return current;
}

TunnelController::Teardown TunnelController::teardown(const TunnelOwnership::HelperRecord &left) const
{
    // The control program stops only the helper its run file names; the pid here is only watched.
    Teardown stop = teardown(left.pid, left.host, left.mode);
    stop.identity = left.identity;
    return stop;
}

void TunnelController::finishDisconnect(quint64 generation, std::optional<Teardown> unstopped,
                                        std::shared_ptr<TunnelOwnership::Lease> lease)
{
    --m_stopsUnfinished;
    // A newer start or stop owns the status by now (a start after a failed stop is refused by the
    // control program while the helper runs, and says so).
    if (generation != m_generation)
        return;
    if (!unstopped) {
        clearTunnel();
        show(TunnelReason::disconnected);
        return;
    }
    // The helper may still run: it stays ours and on record, and the next disconnect
    // (or the next client) tries again.
    m_lease = std::move(lease);
    m_lease->setState(TunnelPhase::failed);
    m_state.setPid(unstopped->pid);
    m_helperIdentity = unstopped->identity;
    m_state.setServerHost(unstopped->host);
    m_state.setMode(unstopped->mode);
    show(TunnelReason::stopFailed);
}





void TunnelController::shutdown(std::chrono::milliseconds limit, std::function<void()> done)
{
    if (m_state.isActive() || m_launch)
        vpnDisconnect();
    m_shutdownDeadline = QDeadlineTimer(limit);
    m_shutdownDone = std::move(done);
    checkShutdown();
}

void TunnelController::checkShutdown()
{
    if (isBusy() && !m_shutdownDeadline.hasExpired()) {
        QTimer::singleShot(20, this, &TunnelController::checkShutdown);
        return;
    }
    if (std::function<void()> done = std::exchange(m_shutdownDone, nullptr))
        done();
}
