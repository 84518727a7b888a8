#include "CliCommands.h"

#include "CliCommandTable.h"
#include "CliFormat.h"
#include "CliSession.h"
#include "app/AppViewModel.h"
#include "app/TunnelStatusText.h"
#include "i18n/LanguageManager.h"
#include "i18n/TextFormat.h"
#include "platform/InstanceChannel.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QLocale>
#include <QTimer>

#include <csignal>

using namespace CliFormat;

namespace {

// The phase another process recorded for its tunnel, as the app would show it.
QString stateText(TunnelPhase phase)
{
    TunnelCause cause;
    cause.reason = phase == TunnelPhase::connected       ? TunnelReason::connected
                   : phase == TunnelPhase::disconnecting ? TunnelReason::disconnecting
                   : phase == TunnelPhase::failed        ? TunnelReason::connectFailed
                                                         : TunnelReason::connecting;
    return TunnelStatusText::of(cause);
}

// What a holder recorded of the tunnel it runs: its node, mode and since when it is up.
void addRunningTunnel(QJsonObject &tunnel, const TunnelHolder &holder)
{
    if (holder.node)
        tunnel.insert(QStringLiteral("node"),
                      QJsonObject{{QStringLiteral("id"), holder.node->id}, {QStringLiteral("name"), holder.node->name}});
    if (holder.helper)
        tunnel.insert(QStringLiteral("mode"), RoutingModes::rawValue(holder.helper->mode));
    if (holder.upSince && holder.phase() == TunnelPhase::connected)
        tunnel.insert(QStringLiteral("connectedSince"), holder.upSince->toUTC().toString(Qt::ISODate));
}

// A helper a killed client left running, still the process it started.
std::optional<TunnelOwnership::Holder> runningLeftBehind(const TunnelOwnership &ownership)
{
    std::optional<TunnelOwnership::Holder> left = ownership.leftBehind();
    if (left && left->helper && left->helper->isRunning())
        return left;
    return std::nullopt;
}

// "Tokyo 01 (id 1) · safe · since <local time>", for a tunnel whose node is on record.
std::optional<QString> runningText(const QJsonObject &tunnel)
{
    const QJsonObject node = tunnel.value(QStringLiteral("node")).toObject();
    if (node.isEmpty())
        return std::nullopt;
    const QDateTime since = QDateTime::fromString(tunnel.value(QStringLiteral("connectedSince")).toString(), Qt::ISODate);
    const QString name = QStringLiteral("%1 (id %2)")
                             .arg(node.value(QStringLiteral("name")).toString(),
                                  QString::number(node.value(QStringLiteral("id")).toInteger()));
    const QString mode = tunnel.value(QStringLiteral("mode")).toString();
    return since.isValid() ? formatted(QStringLiteral("cli_running_since"),
                                       {name, mode, QLocale().toString(since.toLocalTime(), QLocale::ShortFormat)})
                           : QStringLiteral("%1 · %2").arg(name, mode);
}

} // namespace

QJsonObject CliCommands::tunnelJson() const
{
    // One look at the lock file serves both the word and the text.
    const std::optional<TunnelOwnership::Holder> holder = m_tunnelOwnership.otherHolder();
    const std::optional<TunnelOwnership::Holder> left = holder ? std::nullopt : runningLeftBehind(m_tunnelOwnership);
    QJsonObject tunnel;
    if (left) {
        tunnel = {{QStringLiteral("state"), TunnelPhases::rawValue(left->phase())},
                  {QStringLiteral("status"),
                   LanguageManager::shared().formatted(
                       QStringLiteral("cli_left_running"),
                       QStringList{stateText(left->phase()), TunnelStatusText::holder(*left)})},
                  {QStringLiteral("leftBehind"), true},
                  {QStringLiteral("helperPid"), left->helper->pid}};
        addRunningTunnel(tunnel, *left);
    } else if (!holder) {
        tunnel = {{QStringLiteral("state"), TunnelPhases::rawValue(TunnelPhase::disconnected)},
                  {QStringLiteral("status"), localized(QStringLiteral("vpn_disconnected"))}};
    } else if (holder->foreignOwner) {
        // Another user's: not ours to know.
        tunnel = {{QStringLiteral("state"), TunnelPhases::rawValue(TunnelPhase::blocked)},
                  {QStringLiteral("status"), TunnelStatusText::heldBy(*holder)}};
    } else {
        tunnel = {
            {QStringLiteral("state"), TunnelPhases::rawValue(holder->phase())},
            {QStringLiteral("status"),
             QStringLiteral("%1 (%2)").arg(stateText(holder->phase()), TunnelStatusText::holder(*holder))},
            {QStringLiteral("program"), holder->program},
            {QStringLiteral("pid"), holder->pid}};
        addRunningTunnel(tunnel, *holder);
    }
    return tunnel;
}

void CliCommands::printStatusJson(const QJsonObject &tunnel)
{
    const bool signedIn = m_vm.accessToken().has_value();
    const bool subscribed = m_vm.subscriptionActive();
    QJsonObject status{{QStringLiteral("signedIn"), signedIn},
                       {QStringLiteral("routingMode"), m_vm.routingModeName()},
                       {QStringLiteral("language"), LanguageManager::shared().languageCode()},
                       {QStringLiteral("tunnel"), tunnel}};
    if (signedIn) {
        status.insert(QStringLiteral("email"), optionalJson(m_vm.userEmail()));
        status.insert(QStringLiteral("nickname"), optionalJson(m_vm.userNickname()));
        status.insert(QStringLiteral("subscription"),
                      m_vm.subscriptionStatus()
                          ? QJsonValue(QJsonObject{{QStringLiteral("status"), *m_vm.subscriptionStatus()},
                                                   {QStringLiteral("active"), subscribed},
                                                   {QStringLiteral("plan"), optionalJson(m_vm.subscriptionPlan())},
                                                   {QStringLiteral("expiresAt"),
                                                    optionalJson(m_vm.subscriptionExpiry())}})
                          : QJsonValue(QJsonValue::Null));
        status.insert(QStringLiteral("selectedNode"), m_vm.selectedNode() ? QJsonValue(nodeJson(*m_vm.selectedNode()))
                                                                          : QJsonValue(QJsonValue::Null));
    }
    m_out.document(status);
}

void CliCommands::printStatus(const QJsonObject &tunnel)
{
    if (m_out.json()) {
        printStatusJson(tunnel);
        return;
    }
    const bool signedIn = m_vm.accessToken().has_value();
    const bool subscribed = m_vm.subscriptionActive();
    const auto row = [this](const QString &label, const QString &value) {
        m_out.line(QStringLiteral("%1 %2").arg(label + QLatin1Char(':'), -14).arg(value));
    };
    if (!signedIn) {
        row(localized(QStringLiteral("cli_account")), localized(QStringLiteral("cli_not_signed_in")));
    } else {
        row(localized(QStringLiteral("cli_account")), accountName());
        QStringList subscription{
            localized(subscribed ? QStringLiteral("subscribed") : QStringLiteral("not_subscribed"))};
        if (m_vm.subscriptionPlan())
            subscription << *m_vm.subscriptionPlan();
        if (m_vm.subscriptionExpiry())
            subscription << formatted(QStringLiteral("expires_format"),
                                      TextFormat::formatExpiry(*m_vm.subscriptionExpiry()));
        row(localized(QStringLiteral("cli_subscription")), subscription.join(QStringLiteral(" · ")));
        row(localized(QStringLiteral("cli_node")),
            m_vm.selectedNode() ? nodeLabel(*m_vm.selectedNode()) : localized(QStringLiteral("cli_none")));
    }
    row(localized(QStringLiteral("cli_routing_mode")), m_vm.routingModeName());
    row(localized(QStringLiteral("cli_language")), AppLanguages::displayName(LanguageManager::shared().language()));
    row(localized(QStringLiteral("cli_tunnel")), tunnel.value(QStringLiteral("status")).toString());
    if (const std::optional<QString> running = runningText(tunnel))
        row(localized(QStringLiteral("cli_running")), *running);
}

int CliCommands::status()
{
    if (m_vm.restoreStoredSession()) {
        if (const std::optional<int> failed = openSession(Nodes::IfSubscribed))
            return *failed;
    }
    printStatus(tunnelJson());
    return m_request.follow ? followTunnel() : ExitSuccess;
}

int CliCommands::followTunnel()
{
    // The lock file is rewritten at every step of the tunnel and removed at its end: its folder's
    // changes and a slow poll (for a file system that does not report them) both ask for a new look.
    QFileSystemWatcher watcher({QFileInfo(m_tunnelOwnership.path()).absolutePath()});
    QTimer poll;
    poll.start(kFollowPoll);
    const auto look = [this] { m_session.wake(); };
    QObject::connect(&watcher, &QFileSystemWatcher::directoryChanged, &m_session, look);
    QObject::connect(&watcher, &QFileSystemWatcher::fileChanged, &m_session, look);
    QObject::connect(&poll, &QTimer::timeout, &m_session, look);
    QJsonObject shown = tunnelJson();
    m_session.waitUntil([&] {
        if (QFile::exists(m_tunnelOwnership.path()) && watcher.files().isEmpty())
            watcher.addPath(m_tunnelOwnership.path());
        const QJsonObject now = tunnelJson();
        if (now != shown) {
            shown = now;
            if (m_out.json())
                printStatus(now);
            else
                m_out.line(now.value(QStringLiteral("status")).toString());
        }
        return false; // until interrupted
    });
    return ExitSuccess;
}

int CliCommands::connect()
{
    const QString named = m_request.operands.value(0);
    if (isNodeIdText(named) && !nodeId(named))
        return usageError(QStringLiteral("not a node id: \"%1\"").arg(named));
    if (!m_request.operands.isEmpty() && named.trimmed().isEmpty())
        return usageError(
            QStringLiteral("usage: nimbrel-cli %1").arg(CliCommandTable::find(QStringLiteral("connect"))->synopsis));
    // Before asking the service anything: is the tunnel someone else's?
    if (const std::optional<TunnelOwnership::Holder> holder = m_tunnelOwnership.otherHolder())
        return failure(TunnelStatusText::heldBy(*holder));
    if (const std::optional<int> failed = openSession(Nodes::Required))
        return *failed;
    if (!m_request.operands.isEmpty() && !selectNamed(named))
        return ExitFailure;
    if (m_request.fastest) {
        if (const std::optional<int> failed = selectFastest())
            return *failed;
    }

    QString shown = m_vm.vpnStatus();
    bool helperStarted = false;
    bool reported = false;
    const auto report = [&] {
        helperStarted = helperStarted || m_vm.tunnelPid().has_value();
        if (m_vm.vpnStatus() == shown)
            return;
        reported = true;
        shown = m_vm.vpnStatus();
        m_out.line(shown);
        m_out.document(tunnelPhaseJson());
    };
    const QMetaObject::Connection reporting = QObject::connect(&m_session, &CliSession::changed, &m_session, report);
    // A tunnel a killed client left up is this client's now, and stays as it is.
    if (m_vm.recoverTunnel() != TunnelController::Recovery::Adopted) {
        m_vm.vpnConnect();
        if (!m_vm.isVpnLoading()) { // refused at once: no node, no key, no helper, or the tunnel is taken
            QObject::disconnect(reporting);
            return refusedAtOnce(reported);
        }
    }
    report();

    // Runs until the tunnel ends by itself (a failure; with autoReconnect on, once the reconnecting has
    // given up) or a signal asks us to stop (a success).
    const bool endedByItself = m_session.waitUntil([this] { return !m_vm.tunnelInUse(); });
    // Whatever ended it, nothing is left behind: a helper still running is stopped, routes a started
    // helper may have set are deleted, and we wait for that clean-up.
    if (endedByItself && helperStarted && !m_vm.tunnelPid())
        m_vm.vpnDisconnect();
    finishTunnel();
    report();
    QObject::disconnect(reporting);
    return endedByItself ? ExitFailure : ExitSuccess;
}

bool CliCommands::selectNamed(const QString &named)
{
    const bool search = !isNodeIdText(named);
    const NodeInfo *node = search ? requireOneFound(named) : requireListed(*nodeId(named));
    if (!node)
        return false;
    if (search) // say which node the search found
        m_out.line(formatted(QStringLiteral("cli_selected"), nodeLabel(*node)));
    m_vm.selectNodeById(node->id);
    return true;
}

std::optional<int> CliCommands::selectFastest()
{
    std::optional<qint64> picked;
    const QMetaObject::Connection outcome = QObject::connect(&m_vm, &AppViewModel::fastestPicked, &m_session,
                                                             [&picked](std::optional<qint64> id) { picked = id; });
    m_vm.pickFastestNode();
    const bool finished = m_session.waitUntil([this] { return !m_vm.pickingFastest(); });
    QObject::disconnect(outcome);
    if (!finished)
        return failure(localized(QStringLiteral("cli_interrupted")));
    if (!picked)
        return failure(localized(QStringLiteral("no_reachable_node")));
    m_out.line(formatted(QStringLiteral("cli_selected"), nodeLabel(*m_vm.listedNode(*picked))));
    return std::nullopt;
}

int CliCommands::refusedAtOnce(bool reported)
{
    if (!reported) // the refusal's status, unless the change was said already
        m_out.document(tunnelPhaseJson());
    if (m_vm.tunnel().state().cause().reason == TunnelReason::helperNotFound) {
        m_out.error(m_vm.vpnStatus());
        return failure(formatted(QStringLiteral("cli_helper_searched"),
                                 m_vm.tunnel().helperCandidates().join(QStringLiteral(", "))));
    }
    return failure(m_vm.vpnStatus());
}

void CliCommands::finishTunnel()
{
    bool cleanedUp = false;
    m_vm.shutdownTunnel(kQuitCleanupLimit, [this, &cleanedUp] {
        cleanedUp = true;
        m_session.wake();
    });
    m_session.waitUntil([&cleanedUp] { return cleanedUp; }, false);
}

int CliCommands::disconnect()
{
    const std::optional<TunnelOwnership::Holder> holder = m_tunnelOwnership.otherHolder();
    if (!holder && m_tunnelOwnership.leftBehind()) {
        // A client was killed while it drove the tunnel: stop its helper if it still runs, and delete
        // its routes.
        m_out.line(localized(QStringLiteral("disconnecting")));
        m_vm.vpnDisconnect();
        finishTunnel();
        if (m_vm.tunnelBusy())
            return failure(localized(QStringLiteral("cli_cleanup_unfinished")));
        // A helper that could not be stopped, or a lock that could not be had, is no success.
        if (m_vm.vpnPhase() != TunnelPhase::disconnected)
            return failure(m_vm.vpnStatus());
        reportDisconnected(QStringLiteral("disconnected"));
        return ExitSuccess;
    }
    if (!holder) {
        reportDisconnected(QStringLiteral("vpn_disconnected"));
        return ExitSuccess;
    }
    const QString inUse = TunnelStatusText::heldBy(*holder);
    if (holder->foreignOwner)
        return failure(inUse);
    if (holder->program == QLatin1String("nimbrel")) {
        // The app runs it: hand the request over.
        if (!InstanceChannel::send(m_instanceSocket, "disconnect"))
            return failure(formatted(QStringLiteral("cli_holder_no_answer"), inUse));
    } else if (holder->program == QLatin1String("nimbrel-cli")) {
        // Another client of ours in another terminal: stop it as Ctrl-C there would. The lock file is
        // ours, and its holder is alive while the lock is held, so the pid is that client's.
        if (holder->pid <= 0 || !m_tunnelOwnership.recordIsOurs() || ::kill(pid_t(holder->pid), SIGTERM) != 0)
            return failure(formatted(QStringLiteral("cli_holder_unstoppable"), inUse));
    } else {
        return failure(formatted(QStringLiteral("cli_holder_elsewhere"), inUse));
    }
    // Either way, wait until its clean-up has freed the tunnel.
    m_out.line(localized(QStringLiteral("disconnecting")));
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &m_session, [this] { m_session.wake(); });
    poll.start(100);
    const QDeadlineTimer limit(kHolderDisconnectLimit);
    m_session.waitUntil([this, &limit] { return !m_tunnelOwnership.otherHolder() || limit.hasExpired(); }, false);
    if (m_tunnelOwnership.otherHolder())
        return failure(formatted(QStringLiteral("cli_holder_still_stopping"), inUse));
    // A holder whose stop failed has left its helper on record, still running: no "Disconnected".
    if (runningLeftBehind(m_tunnelOwnership))
        return failure(TunnelStatusText::of(TunnelReason::stopFailed));
    reportDisconnected(QStringLiteral("disconnected"));
    return ExitSuccess;
}

void CliCommands::reportDisconnected(const QString &key) const
{
    m_out.line(localized(key));
    m_out.document({{QStringLiteral("state"), TunnelPhases::rawValue(TunnelPhase::disconnected)},
                    {QStringLiteral("status"), localized(key)}});
}

QJsonObject CliCommands::tunnelPhaseJson() const
{
    return {{QStringLiteral("state"), TunnelPhases::rawValue(m_vm.vpnPhase())},
            {QStringLiteral("status"), m_vm.vpnStatus()}};
}
