#include "TunnelController.h"

#include "ControlProgram.h"
#include "HelperLaunch.h"
#include "HelperLocator.h"
#include "PrivilegeInstaller.h"
#include "RouteCleanup.h"
#include "SmartModeCleanup.h"
#include "TunnelMonitor.h"
#include "i18n/LanguageManager.h"
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

Q_LOGGING_CATEGORY(lcTunnel, "nimbrel.tunnel", QtWarningMsg)

namespace {

// How long a started helper's exec may take before its command line can be read.
constexpr std::chrono::milliseconds kIdentityLimit{500};

} // namespace

// One start of the helper, shared by the main thread and the lane. A stop cancels it; if the helper
// was started all the same, the stop that follows on the lane finds its process id here.
struct LaunchTicket {
    std::atomic_bool cancelled{false};
    std::atomic<pid_t> pid{-1};
    QString serverHost;
    RoutingMode mode = RoutingMode::safe;
};

struct TunnelController::LaunchParameters {
    QString helperPath;
    QString serverAddress;
    QString sni;
    RoutingMode mode = RoutingMode::safe;
    QString psk;
};

TunnelController::TunnelController(TunnelSettings settings, QObject *parent)
    : QObject(parent)
    , m_settings(std::move(settings))
    , m_state(LanguageManager::shared().localized(QStringLiteral("vpn_disconnected")))
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

QString TunnelController::localized(const QString &key) const
{
    return LanguageManager::shared().localized(key);
}

void TunnelController::showStatus(const QString &key)
{
    m_state.setStatus(localized(key), TunnelPhases::ofStatusKey(key));
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
    if (!m_state.isActive())
        showStatus(QStringLiteral("vpn_disconnected"));
}

bool TunnelController::isBusy()
{
    return m_stopsUnfinished > 0 || !m_lane.waitForDone(0);
}

TunnelController::Recovery TunnelController::recoverLeftovers()
{
    if (m_lease || m_launch || m_state.isActive())
        return Recovery::Nothing;
    const SmartModeCleanup cleanup(controlProgram(), m_settings.paths, m_settings.trustedScriptOwner);
    const std::optional<TunnelOwnership::Holder> record = m_ownership.leftBehind();
    const bool scriptLeft = cleanup.leftBehind();
    if (!scriptLeft && !(record && record->helper))
        return Recovery::Nothing;
    QString holder;
    std::shared_ptr<TunnelOwnership::Lease> lease = m_ownership.acquire(&holder);
    if (!lease) {
        qCInfo(lcTunnel) << "left-behind tunnel skipped: it is driven by" << holder;
        return Recovery::HeldElsewhere;
    }
    // Taken under the lock: the record read above may be out of date by now.
    const std::optional<TunnelOwnership::Holder> previous = lease->takeLeftBehind();
    const std::optional<TunnelOwnership::HelperRecord> helper = previous ? previous->helper : std::nullopt;
    if (helper && previous->state == QLatin1String("connected") && helper->isRunning()) {
        adopt(*helper, std::move(lease));
        return Recovery::Adopted;
    }
    if (!helper && !scriptLeft)
        return Recovery::Nothing;
    lease->setState(QStringLiteral("disconnecting"));
    // On the lane: a connect meanwhile starts only after it, so it never deletes the new tunnel's files.
    if (!helper) {
        ThreadHandoff::start(m_lane, [cleanup, lease] { cleanup.run(); });
        return Recovery::CleaningUp;
    }
    Teardown left = teardown(*helper);
    if (scriptLeft)
        left.mode = RoutingMode::smart; // whatever the record says, a script left behind is undone
    ThreadHandoff::start(m_lane, [left, lease] { left.run(); });
    return Recovery::CleaningUp;
}

void TunnelController::adopt(const TunnelOwnership::HelperRecord &helper, std::shared_ptr<TunnelOwnership::Lease> lease)
{
    m_lease = std::move(lease);
    m_lastStart.reset(); // its node and key are not known: it is not started again when lost
    m_lease->setHelper(helper);
    m_lease->setState(QStringLiteral("connected"));
    m_state.setPid(helper.pid);
    m_helperIdentity = helper.identity;
    m_state.setServerHost(helper.host);
    m_state.setMode(helper.mode);
    startMonitoring(std::make_unique<TunnelMonitor>(helper.pid, *helper.identity, m_settings.monitorInterval));
    m_state.setConnected(true);
    showStatus(QStringLiteral("vpn_connected"));
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
    startTunnel(node, psk, mode, localized(QStringLiteral("vpn_connecting")));
}

bool TunnelController::startTunnel(const std::optional<NodeInfo> &node, const QString &psk, RoutingMode mode,
                                   const QString &startingStatus)
{
    if (!node) {
        showStatus(QStringLiteral("select_node_first"));
        return false;
    }
    if (psk.isEmpty()) {
        showStatus(QStringLiteral("psk_not_ready"));
        return false;
    }
    if (!HelperLaunch::isSafe(*node, psk)) {
        showStatus(QStringLiteral("node_invalid"));
        return false;
    }
    const QString helper = binaryPath();
    if (helper.isEmpty()) {
        showStatus(QStringLiteral("binary_not_found"));
        return false;
    }
    QString refusal;
    m_lease = m_ownership.acquire(&refusal);
    if (!m_lease) {
        m_state.setStatus(refusal, TunnelPhase::failed);
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
    if (!previous && left && left->helper)
        previous = teardown(*left->helper);
    m_lease->setState(QStringLiteral("connecting"));
    m_state.setLoading(true);
    m_state.setStatus(startingStatus, TunnelPhase::connecting);

    LaunchParameters launch;
    launch.helperPath = helper;
    launch.serverAddress = node->host + QLatin1Char(':') + QString::number(node->port);
    launch.sni = node->sni.value_or(node->host);
    launch.mode = mode;
    launch.psk = psk;

    auto ticket = std::make_shared<LaunchTicket>();
    const qsizetype colon = launch.serverAddress.indexOf(QLatin1Char(':'));
    ticket->serverHost = colon >= 0 ? launch.serverAddress.left(colon) : launch.serverAddress;
    ticket->mode = launch.mode;
    m_launch = ticket;
    ++m_generation;

    PrivilegeInstaller::Settings installSettings;
    installSettings.sudoersFile = m_settings.sudoersFile;
    installSettings.control = m_settings.controlProgram;
    installSettings.packagedHelper = m_settings.helperPlaces.extraCandidates.value(0);
    auto installer = std::make_shared<PrivilegeInstaller>(m_settings.preferences, m_settings.adminPrompt,
                                                          m_settings.privilegedRunner, installSettings);
    const TunnelPaths paths = m_settings.paths;
    const uid_t user = m_settings.userId;
    const ControlProgram control = controlProgram();
    clearHelper();
    m_state.setServerHost(std::nullopt);

    ThreadHandoff::start(m_lane, [this, launch, ticket, installer, paths, user, control, previous,
                                  lease = m_lease] {
        if (previous)
            previous->run();
        if (ticket->cancelled)
            return;
        if (!installer->checkPrivilegesInstalled(launch.helperPath)) {
            const PrivilegeInstaller::Outcome outcome = installer->doInstallPrivileges(launch.helperPath, user);
            if (outcome != PrivilegeInstaller::Outcome::Installed) {
                const QString key = outcome == PrivilegeInstaller::Outcome::Refused
                                        ? QStringLiteral("privileges_refused")
                                        : QStringLiteral("user_cancelled");
                postToMain([ticket, key](TunnelController &self) { self.failLaunch(ticket, key, {}); });
                return;
            }
        }
        if (ticket->cancelled)
            return;
        QFile::remove(paths.pid);
        QString problem;
        auto log = std::make_shared<TunnelLog>(TunnelLog::create(paths.log, &problem));
        if (!log->isValid()) {
            postToMain([ticket, problem](TunnelController &self) {
                self.failLaunch(ticket, QStringLiteral("launch_failed"), problem);
            });
            return;
        }
        // The control program starts root's copy of the helper; what runs here is the sudo above it.
        const HelperProcess::Started started =
            control.start(launch.mode, launch.serverAddress, launch.sni, launch.psk, log->writeDescriptor());
        log->closeWriteDescriptor();
        if (started.pid <= 0) {
            postToMain([ticket, error = started.error](TunnelController &self) {
                self.failLaunch(ticket, QStringLiteral("launch_failed"), error);
            });
            return;
        }
        ticket->pid = started.pid;
        // Recorded at once, so that a client killed from here on leaves a helper the next one finds.
        const std::optional<ProcessIdentity> identity = ProcessIdentity::ofStarted(started.pid, kIdentityLimit);
        lease->setHelper(TunnelOwnership::HelperRecord{started.pid, identity, ticket->serverHost, ticket->mode});
        postToMain([ticket, pid = started.pid, identity, log](TunnelController &self) {
            self.finishLaunch(ticket, pid, identity, log);
        });
    });
    return true;
}

void TunnelController::failLaunch(const std::shared_ptr<LaunchTicket> &ticket, const QString &statusKey,
                                  const QString &detail)
{
    if (ticket->cancelled)
        return; // a stop came first and owns the status now
    if (m_launch == ticket)
        m_launch.reset();
    m_lease.reset();
    m_state.setLoading(false);
    m_state.setStatus(detail.isEmpty() ? localized(statusKey) : LanguageManager::shared().formatted(statusKey, detail),
                      TunnelPhases::ofStatusKey(statusKey));
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
    m_state.setMonitor(TaskHandle());
    m_monitor = std::move(monitor);
    connect(m_monitor.get(), &TunnelMonitor::up, this, [this] {
        m_state.setConnected(true);
        m_state.setLoading(false);
        if (m_reconnect.isUnderWay()) {
            m_state.setReconnecting(false);
            m_reconnect.restored();
        }
        showStatus(QStringLiteral("vpn_connected"));
        m_lease->setState(QStringLiteral("connected"));
    });
    connect(m_monitor.get(), &TunnelMonitor::failed, this, [this] {
        m_state.setLoading(false);
        showStatus(QStringLiteral("connect_failed"));
        m_lease->setState(QStringLiteral("failed")); // the helper may still run: ours until stopped
        if (m_reconnect.isUnderWay())
            reconnectAttemptFailed();
        else
            emit problem(m_state.status());
    });
    connect(m_monitor.get(), &TunnelMonitor::helperGone, this, [this](bool wasUp) {
        const Teardown lost = currentTeardown();
        // A restored tunnel lost again before it settled counts as a failed attempt.
        const bool lostAgain = m_reconnect.isUnderWay() && wasUp;
        const bool firstLoss = !m_reconnect.isUnderWay() && wasUp && shouldReconnect();
        // Reconnecting before it is down, so that an observer never sees the tunnel idle in between.
        if (lostAgain || firstLoss)
            m_state.setReconnecting(true);
        m_state.setConnected(false);
        m_state.setLoading(false);
        clearHelper();
        showStatus(wasUp ? QStringLiteral("process_exited") : QStringLiteral("process_crashed"));
        if (lostAgain || firstLoss)
            deleteLostRoutes(lost);
        if (m_reconnect.isUnderWay()) {
            reconnectAttemptFailed();
            return;
        }
        if (!firstLoss)
            m_lease.reset();
        emit problem(m_state.status());
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
    m_lease->setState(QStringLiteral("disconnecting"));
    ThreadHandoff::start(m_lane, [lost, lease = m_lease] { lost.run(); });
}

bool TunnelController::awaitNextAttempt()
{
    if (!m_reconnect.awaitNext())
        return false;
    if (m_lease) // what other processes read: the tunnel is on its way up again
        m_lease->setState(QStringLiteral("connecting"));
    const QString key = QStringLiteral("reconnecting");
    m_state.setStatus(LanguageManager::shared().formatted(
                          key, {QString::number(m_reconnect.attempt()), QString::number(m_reconnect.attempts())}),
                      TunnelPhases::ofStatusKey(key));
    return true;
}

void TunnelController::attemptReconnect()
{
    if (!m_lastStart || !m_reconnect.isUnderWay())
        return;
    const StartRequest request = *m_lastStart;
    // "Reconnecting… (k/n)" stays while the attempt runs.
    if (!startTunnel(request.node, request.psk, request.mode, m_state.status()))
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
    // Given up: said so, not only the last attempt's failure.
    const QString key = QStringLiteral("reconnect_failed");
    m_state.setStatus(LanguageManager::shared().formatted(key, QString::number(attempts)),
                      TunnelPhases::ofStatusKey(key));
    emit problem(m_state.status());
}

void TunnelController::stopReconnecting()
{
    m_reconnect.end();
    if (m_state.isReconnecting())
        m_state.setReconnecting(false);
}

void TunnelController::stopMonitoring()
{
    if (m_state.monitor())
        m_state.monitor()->cancel();
    m_monitor.reset();
}

void TunnelController::vpnDisconnect()
{
    stopReconnecting();
    stopMonitoring();
    m_state.setMonitor(std::nullopt);
    Teardown stop = currentTeardown();
    clearHelper();
    m_state.setServerHost(std::nullopt);
    m_state.setConnected(false);
    m_state.setLoading(false);
    showStatus(QStringLiteral("disconnecting"));

    std::shared_ptr<LaunchTicket> pending = std::exchange(m_launch, nullptr);
    if (pending) {
        pending->cancelled = true;
        // A start waiting on the administrator dialog waits no more.
        if (m_settings.adminPrompt)
            m_settings.adminPrompt->cancel();
    }
    const quint64 generation = ++m_generation;

    // Only the owner of the tunnel stops a helper or deletes routes; another process's are left alone.
    std::shared_ptr<TunnelOwnership::Lease> lease = std::exchange(m_lease, nullptr);
    QString holder;
    if (!lease) {
        lease = m_ownership.acquire(&holder);
        // Taken just now: what a killed holder left is ours to finish.
        if (const std::optional<TunnelOwnership::Holder> left = lease ? lease->takeLeftBehind() : std::nullopt;
            left && left->helper && !stop.pid && stop.host.isEmpty())
            stop = teardown(*left->helper);
    }
    if (!lease) {
        // Another process drives the tunnel (or its lock cannot be used): nothing was stopped here.
        m_state.setStatus(holder, TunnelPhase::failed);
        return;
    }
    lease->setState(QStringLiteral("disconnecting"));

    ++m_stopsUnfinished;
    ThreadHandoff::start(m_lane, [this, stop, pending, generation, lease]() mutable {
        // A start that was cancelled may still have started the helper before it saw the stop.
        if (!stop.pid && pending && pending->pid > 0) {
            stop.pid = pending->pid;
            stop.host = pending->serverHost;
            stop.mode = pending->mode;
        }
        const bool stopped = stop.run();
        if (stopped)
            lease.reset();
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

bool TunnelController::Teardown::run() const
{
    // The control program knows which process is our helper, if one runs, and waits for it to end
    // (killing it when it will not). Asked also when no helper is known here: a client killed just
    // after its start had no time to record one. Only a known helper's stop must succeed (without
    // installed rights nothing of ours can run).
    const bool stopped = control.stop() || !pid;
    if (pid) {
        // What is left here is the process we watch (sudo above the helper) going too.
        const auto watchedRuns = [this] {
            return identity ? ProcessIdentity::of(*pid) == identity : SystemInfo::isProcessAlive(*pid);
        };
        for (int poll = 0; stopped && poll < stopPolls && watchedRuns(); ++poll)
            QThread::msleep(static_cast<unsigned long>(stopPoll.count()));
    }
    RouteCleanup::deleteTunnelRoutes(control, host);
    if (mode == RoutingMode::smart)
        smartCleanup.run();
    return stopped;
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
        showStatus(QStringLiteral("disconnected"));
        return;
    }
    // The helper may still run: it stays ours and on record, and the next disconnect (or the next
    // client) tries again.
    m_lease = std::move(lease);
    m_lease->setState(QStringLiteral("failed"));
    m_state.setPid(unstopped->pid);
    m_helperIdentity = unstopped->identity;
    m_state.setServerHost(unstopped->host);
    m_state.setMode(unstopped->mode);
    showStatus(QStringLiteral("stop_failed"));
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
