#include "CliCommands.h"

#include "CliSession.h"
#include "app/AppSwitches.h"
#include "app/AppViewModel.h"
#include "app/SupportReport.h"
#include "app/TunnelStatusText.h"
#include "i18n/LanguageManager.h"
#include "i18n/TextFormat.h"
#include "nodes/NodeSelection.h"
#include "platform/InstanceChannel.h"
#include "platform/LoginItem.h"
#include "platform/PreferenceStore.h"
#include "platform/TerminalInput.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace {

using namespace std::chrono_literals;

const QString kLatencyKey = QStringLiteral("lastLatencies");
const QString kListedIdsKey = QStringLiteral("lastListedNodeIds"); // for the shell's completion
constexpr auto kQuitCleanupLimit = 12s;
constexpr auto kHolderDisconnectLimit = 15s; // for the app or another client to clean up
constexpr auto kFollowPoll = 1s;

QString localized(const QString &key)
{
    return LanguageManager::shared().localized(key);
}

QString formatted(const QString &key, const QString &argument)
{
    return LanguageManager::shared().formatted(key, argument);
}

QString formatted(const QString &key, const QStringList &arguments)
{
    return LanguageManager::shared().formatted(key, arguments);
}

QJsonValue optionalJson(const std::optional<QString> &value)
{
    return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
}

std::optional<qint64> nodeId(const QString &text)
{
    bool ok = false;
    const qint64 id = text.toLongLong(&ok);
    return ok ? std::optional(id) : std::nullopt;
}

// A node as the client prints it: the service's record in the client's key style (camelCase).
QJsonObject nodeJson(const NodeInfo &node)
{
    QJsonObject object{{QStringLiteral("id"), node.id},
                       {QStringLiteral("name"), node.name},
                       {QStringLiteral("countryCode"), node.countryCode},
                       {QStringLiteral("countryName"), node.countryName},
                       {QStringLiteral("flagEmoji"), node.flagEmoji},
                       {QStringLiteral("host"), node.host},
                       {QStringLiteral("port"), node.port},
                       {QStringLiteral("status"), node.status},
                       {QStringLiteral("loadPercent"), node.loadPercent},
                       {QStringLiteral("sni"), node.sni ? QJsonValue(*node.sni) : QJsonValue(QJsonValue::Null)}};
    return object;
}

// A probe's result: milliseconds, or null with "timeout" set when the probe timed out (or, for a
// node never probed, null without it).
void insertLatency(QJsonObject &object, std::optional<qint64> milliseconds)
{
    const bool timedOut = milliseconds && *milliseconds < 0;
    object.insert(QStringLiteral("latencyMs"),
                  milliseconds && !timedOut ? QJsonValue(*milliseconds) : QJsonValue(QJsonValue::Null));
    object.insert(QStringLiteral("timeout"), timedOut);
}

QString nodeLabel(const NodeInfo &node)
{
    return QStringLiteral("%1 %2 (id %3)").arg(node.flagEmoji, node.name).arg(node.id);
}

QString latencyText(qint64 milliseconds)
{
    return milliseconds < 0 ? localized(QStringLiteral("timeout")) : QStringLiteral("%1 ms").arg(milliseconds);
}

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

} // namespace

CliCommands::CliCommands(AppViewModel &vm, CliSession &session, const CliOutput &out, const CliRequest &request,
                         QString instanceSocket)
    : m_vm(vm)
    , m_session(session)
    , m_out(out)
    , m_request(request)
    , m_instanceSocket(std::move(instanceSocket))
    , m_tunnelOwnership(vm.tunnel().ownership())
{}

int CliCommands::run()
{
    using Handler = int (CliCommands::*)();
    static const QHash<QString, Handler> handlers{
        {QStringLiteral("status"), &CliCommands::status},
        {QStringLiteral("login"), &CliCommands::login},
        {QStringLiteral("register"), &CliCommands::registerAccount},
        {QStringLiteral("logout"), &CliCommands::logout},
        {QStringLiteral("nodes"), &CliCommands::nodes},
        {QStringLiteral("ping"), &CliCommands::ping},
        {QStringLiteral("select"), &CliCommands::select},
        {QStringLiteral("mode"), &CliCommands::mode},
        {QStringLiteral("language"), &CliCommands::language},
        {QStringLiteral("connect"), &CliCommands::connect},
        {QStringLiteral("disconnect"), &CliCommands::disconnect},
        {QStringLiteral("config"), &CliCommands::config},
        {QStringLiteral("report"), &CliCommands::report},
        {QStringLiteral("__node-ids"), &CliCommands::listedNodeIds},
    };
    const Handler handler = handlers.value(m_request.command);
    return handler ? (this->*handler)() : usageError(QStringLiteral("unknown command \"%1\"").arg(m_request.command));
}

int CliCommands::usageError(const QString &text) const
{
    m_out.error(text);
    return ExitUsage;
}

int CliCommands::failure(const QString &text) const
{
    m_out.error(text);
    return ExitFailure;
}

std::optional<int> CliCommands::openSession(Nodes nodes)
{
    m_vm.tryAutoLogin();
    if (!m_vm.accessToken())
        return failure(localized(QStringLiteral("cli_login_first")));
    // The account load ends on the home screen, or signed out when the session could not be renewed.
    if (!m_session.waitUntil([this] { return m_vm.screen() == AppViewModel::Screen::Home || !m_vm.accessToken(); }))
        return failure(localized(QStringLiteral("cli_interrupted")));
    if (!m_vm.accessToken())
        return failure(localized(QStringLiteral("cli_session_ended")));
    if (m_session.userDataError())
        return failure(formatted(QStringLiteral("cli_account_failed"), *m_session.userDataError()));
    if (!m_vm.subscriptionActive()) {
        if (nodes == Nodes::Required)
            return failure(localized(QStringLiteral("subscribe_to_use")));
        return std::nullopt;
    }
    if (!m_session.waitUntil([this] { return !m_vm.nodesLoading(); }))
        return failure(localized(QStringLiteral("cli_interrupted")));
    if (nodes == Nodes::Required && m_vm.nodesError())
        return failure(formatted(QStringLiteral("nodes_load_failed"), *m_vm.nodesError()));
    return std::nullopt;
}

const NodeInfo *CliCommands::requireListed(qint64 id)
{
    const NodeInfo *node = m_vm.listedNode(id);
    if (!node)
        m_out.error(formatted(QStringLiteral("cli_no_such_node"), QString::number(id)));
    return node;
}

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

void CliCommands::printStatus(const QJsonObject &tunnel)
{
    const bool signedIn = m_vm.accessToken().has_value();
    const bool subscribed = m_vm.subscriptionActive();
    const QString language = LanguageManager::shared().languageCode();
    if (m_out.json()) {
        QJsonObject status{{QStringLiteral("signedIn"), signedIn},
                           {QStringLiteral("routingMode"), m_vm.routingModeName()},
                           {QStringLiteral("language"), language},
                           {QStringLiteral("tunnel"), tunnel}};
        if (signedIn) {
            status.insert(QStringLiteral("email"), optionalJson(m_vm.userEmail()));
            status.insert(QStringLiteral("nickname"), optionalJson(m_vm.userNickname()));
            status.insert(
                QStringLiteral("subscription"),
                m_vm.subscriptionStatus()
                    ? QJsonValue(QJsonObject{{QStringLiteral("status"), *m_vm.subscriptionStatus()},
                                             {QStringLiteral("active"), subscribed},
                                             {QStringLiteral("plan"), optionalJson(m_vm.subscriptionPlan())},
                                             {QStringLiteral("expiresAt"), optionalJson(m_vm.subscriptionExpiry())}})
                    : QJsonValue(QJsonValue::Null));
            status.insert(QStringLiteral("selectedNode"), m_vm.selectedNode()
                                                              ? QJsonValue(nodeJson(*m_vm.selectedNode()))
                                                              : QJsonValue(QJsonValue::Null));
        }
        m_out.document(status);
        return;
    }
    const auto row = [this](const QString &label, const QString &value) {
        m_out.line(QStringLiteral("%1 %2").arg(label + QLatin1Char(':'), -14).arg(value));
    };
    if (!signedIn) {
        row(localized(QStringLiteral("cli_account")), localized(QStringLiteral("cli_not_signed_in")));
    } else {
        const QString email = m_vm.userEmail().value_or(QString());
        row(localized(QStringLiteral("cli_account")),
            m_vm.userNickname() ? QStringLiteral("%1 (%2)").arg(email, *m_vm.userNickname()) : email);
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
    if (const QJsonObject node = tunnel.value(QStringLiteral("node")).toObject(); !node.isEmpty()) {
        const QDateTime since =
            QDateTime::fromString(tunnel.value(QStringLiteral("connectedSince")).toString(), Qt::ISODate);
        const QString name = QStringLiteral("%1 (id %2)")
                                 .arg(node.value(QStringLiteral("name")).toString())
                                 .arg(node.value(QStringLiteral("id")).toInteger());
        const QString mode = tunnel.value(QStringLiteral("mode")).toString();
        row(localized(QStringLiteral("cli_running")),
            since.isValid() ? formatted(QStringLiteral("cli_running_since"),
                                        {name, mode, QLocale().toString(since.toLocalTime(), QLocale::ShortFormat)})
                            : QStringLiteral("%1 · %2").arg(name, mode));
    }
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

int CliCommands::finishSignIn()
{
    if (!m_session.waitUntil([this] { return !m_vm.authLoading(); }))
        return failure(localized(QStringLiteral("cli_interrupted")));
    if (m_vm.authError())
        return failure(*m_vm.authError());
    if (!m_session.waitUntil([this] { return !m_vm.nodesLoading(); }))
        return failure(localized(QStringLiteral("cli_interrupted")));
    printStatus(tunnelJson());
    return ExitSuccess;
}

std::optional<CliCommands::Credentials> CliCommands::readCredentials(const QString &usage, int *exitCode) const
{
    const QString email = m_request.operands.value(0).trimmed();
    if (email.isEmpty()) {
        *exitCode = usageError(usage);
        return std::nullopt;
    }
    const std::optional<QString> password =
        TerminalInput::readSecret(localized(QStringLiteral("password_label")) + QStringLiteral(": "));
    if (!password || password->isEmpty()) {
        *exitCode = usageError(QStringLiteral("no password on standard input"));
        return std::nullopt;
    }
    return Credentials{email, *password};
}

int CliCommands::login()
{
    int exitCode = ExitSuccess;
    const std::optional<Credentials> credentials =
        readCredentials(QStringLiteral("usage: nimbrel-cli login EMAIL"), &exitCode);
    if (!credentials)
        return exitCode;
    m_vm.login(credentials->email, credentials->password);
    return finishSignIn();
}

int CliCommands::registerAccount()
{
    int exitCode = ExitSuccess;
    const std::optional<Credentials> credentials =
        readCredentials(QStringLiteral("usage: nimbrel-cli register EMAIL [--nickname N]"), &exitCode);
    if (!credentials)
        return exitCode;
    const QString &password = credentials->password;
    if (TerminalInput::isInteractive()) {
        const std::optional<QString> again =
            TerminalInput::readSecret(localized(QStringLiteral("confirm_password")) + QStringLiteral(": "));
        if (again != password)
            return usageError(localized(QStringLiteral("password_mismatch")));
    }
    if (!AppViewModel::passwordLongEnough(password))
        return usageError(
            formatted(QStringLiteral("cli_password_too_short"), QString::number(AppViewModel::kMinimumPasswordLength)));
    m_vm.registerAccount(credentials->email, password, m_request.nickname.value_or(QString()));
    return finishSignIn();
}

int CliCommands::logout()
{
    if (m_vm.restoreStoredSession()) {
        m_vm.logout();
        if (!m_session.waitUntil([this] { return !m_vm.accessToken(); }))
            return failure(localized(QStringLiteral("cli_interrupted")));
    }
    m_out.line(localized(QStringLiteral("cli_signed_out")));
    m_out.document({{QStringLiteral("signedIn"), false}});
    return ExitSuccess;
}

QHash<qint64, qint64> CliCommands::lastLatencies() const
{
    const QJsonObject stored =
        QJsonDocument::fromJson(m_vm.environment().preferences->string(kLatencyKey).value_or(QString()).toUtf8())
            .object();
    QHash<qint64, qint64> latencies;
    for (auto it = stored.begin(); it != stored.end(); ++it) {
        if (const std::optional<qint64> id = nodeId(it.key()); id && it.value().isDouble())
            latencies.insert(*id, it.value().toInteger(-1));
    }
    return latencies;
}

void CliCommands::rememberLatencies(const QHash<qint64, qint64> &results)
{
    QJsonObject stored;
    QHash<qint64, qint64> merged = lastLatencies();
    merged.insert(results);
    for (auto it = merged.cbegin(); it != merged.cend(); ++it) {
        if (m_vm.listedNode(it.key())) // forget nodes the service no longer lists
            stored.insert(QString::number(it.key()), it.value());
    }
    m_vm.environment().preferences->setString(kLatencyKey,
                                              QString::fromUtf8(QJsonDocument(stored).toJson(QJsonDocument::Compact)));
}

QHash<qint64, qint64> CliCommands::probe(const QList<qint64> &ids, bool print)
{
    QSet<qint64> waiting(ids.cbegin(), ids.cend());
    QHash<qint64, qint64> results;
    const QMetaObject::Connection arrival =
        QObject::connect(&m_vm, &AppViewModel::pingStateChanged, &m_session, [&](qint64 id) {
            if (!waiting.contains(id) || m_vm.pingingNodes().value(id) || !m_vm.pingResults().contains(id))
                return;
            waiting.remove(id);
            const qint64 milliseconds = m_vm.pingResults().value(id);
            results.insert(id, milliseconds);
            m_session.wake(); // the wait may have looked before this handler ran
            if (!print)
                return;
            const NodeInfo *node = m_vm.listedNode(id);
            m_out.line(QStringLiteral("%1  %2  %3 %4")
                           .arg(id, 4)
                           .arg(latencyText(milliseconds), 8)
                           .arg(node ? node->flagEmoji : QString(), node ? node->name : QString()));
            QJsonObject result{{QStringLiteral("id"), id}, {QStringLiteral("name"), node ? node->name : QString()}};
            insertLatency(result, milliseconds);
            m_out.document(result);
        });
    for (const qint64 id : waiting)
        m_vm.pingNodeById(id);
    m_session.waitUntil([&waiting] { return waiting.isEmpty(); });
    QObject::disconnect(arrival);
    rememberLatencies(results);
    return results;
}

int CliCommands::nodes()
{
    if (const std::optional<int> failed = openSession(Nodes::Required))
        return *failed;
    if (m_request.refresh) {
        QList<qint64> ids;
        for (const NodeInfo &node : m_vm.nodes())
            ids.append(node.id);
        probe(ids, false);
        if (m_session.interrupted())
            return failure(localized(QStringLiteral("cli_interrupted")));
    }
    QStringList ids;
    for (const NodeInfo &node : m_vm.nodes())
        ids.append(QString::number(node.id));
    m_vm.environment().preferences->setString(kListedIdsKey, ids.join(QLatin1Char(' ')));
    const QHash<qint64, qint64> latencies = lastLatencies();
    const std::optional<qint64> selected = m_vm.selectedNode() ? std::optional(m_vm.selectedNode()->id) : std::nullopt;
    if (m_out.json()) {
        QJsonArray list;
        for (const NodeInfo &node : m_vm.nodes()) {
            QJsonObject entry = nodeJson(node);
            entry.insert(QStringLiteral("selected"), selected == node.id);
            // The last probe's result, as the last ping or refresh left it.
            insertLatency(entry, latencies.contains(node.id) ? std::optional(latencies.value(node.id)) : std::nullopt);
            list.append(entry);
        }
        m_out.document(
            {{QStringLiteral("nodes"), list},
             {QStringLiteral("selectedId"), selected ? QJsonValue(*selected) : QJsonValue(QJsonValue::Null)}});
        return ExitSuccess;
    }
    if (m_vm.nodes().isEmpty()) {
        m_out.line(localized(QStringLiteral("no_nodes_available")));
        return ExitSuccess;
    }
    // The name goes last: flags and scripts are of uneven width in a terminal.
    m_out.line(QStringLiteral("    ID  STATUS    LOAD  LATENCY  NODE"));
    for (const NodeInfo &node : m_vm.nodes()) {
        m_out.line(
            QStringLiteral("%1 %2  %3  %4  %5  %6 %7")
                .arg(selected == node.id ? QStringLiteral("*") : QStringLiteral(" "))
                .arg(node.id, 4)
                .arg(node.status.left(8), -8)
                .arg(QStringLiteral("%1%").arg(node.loadPercent), 4)
                .arg(latencies.contains(node.id) ? latencyText(latencies.value(node.id)) : QStringLiteral("-"), 7)
                .arg(node.flagEmoji, node.name));
    }
    return ExitSuccess;
}

int CliCommands::config()
{
    const AppSwitches switches(m_vm.environment().preferences,
                               QCoreApplication::applicationDirPath() + QStringLiteral("/nimbrel"));
    QList<AppSwitches::Switch> shown = AppSwitches::all();
    if (!m_request.operands.isEmpty()) {
        const std::optional<AppSwitches::Switch> which = AppSwitches::fromKey(m_request.operands.first());
        const QString value = m_request.operands.value(1);
        if (!which || (m_request.operands.size() > 1 && value != QLatin1String("on") && value != QLatin1String("off")))
            return usageError(
                QStringLiteral("usage: nimbrel-cli config [%1 [on|off]]").arg(AppSwitches::keys().join(u'|')));
        if (m_request.operands.size() > 1 && !switches.set(*which, value == QLatin1String("on")))
            return failure(QStringLiteral("cannot write %1").arg(LoginItem::autostartEntryPath()));
        shown = {*which};
    }
    QJsonObject document;
    for (AppSwitches::Switch which : shown) {
        const bool on = switches.isOn(which);
        m_out.line(
            QStringLiteral("%1 %2  %3")
                .arg(AppSwitches::key(which), -16)
                .arg(on ? QStringLiteral("on ") : QStringLiteral("off"), localized(AppSwitches::labelKey(which))));
        document.insert(AppSwitches::key(which), on);
    }
    m_out.document(document);
    return ExitSuccess;
}

int CliCommands::report()
{
    // Signed in, the key of a node-list load is known too, so it is redacted as well.
    if (m_vm.restoreStoredSession()) {
        if (const std::optional<int> failed = openSession(Nodes::IfSubscribed))
            return *failed;
    }
    std::fputs(
        SupportReport::compose(SupportReport::session(m_vm, tunnelJson().value(QStringLiteral("status")).toString()),
                               m_vm.tunnel().diagnostician())
            .toUtf8()
            .constData(),
        stdout);
    return ExitSuccess;
}

int CliCommands::listedNodeIds()
{
    const QString ids = m_vm.environment().preferences->string(kListedIdsKey).value_or(QString());
    if (!ids.isEmpty())
        m_out.line(ids);
    return ExitSuccess;
}

int CliCommands::ping()
{
    QList<qint64> ids;
    for (const QString &operand : m_request.operands) {
        const std::optional<qint64> id = nodeId(operand);
        if (!id)
            return usageError(QStringLiteral("not a node id: \"%1\"").arg(operand));
        ids.append(*id);
    }
    if (const std::optional<int> failed = openSession(Nodes::Required))
        return *failed;
    if (m_request.all) {
        for (const NodeInfo &node : m_vm.nodes())
            ids.append(node.id);
    } else if (ids.isEmpty()) {
        if (!m_vm.selectedNode())
            return failure(localized(QStringLiteral("select_node_first")));
        ids.append(m_vm.selectedNode()->id);
    }
    for (const qint64 id : ids) {
        if (!requireListed(id))
            return ExitFailure;
    }
    const QHash<qint64, qint64> results = probe(ids, true);
    if (m_session.interrupted())
        return failure(localized(QStringLiteral("cli_interrupted")));
    if (!m_request.pick)
        return ExitSuccess;
    QList<NodeInfo> probed;
    for (const qint64 id : ids)
        probed.append(*m_vm.listedNode(id));
    const std::optional<NodeInfo> fastest = NodeSelection::fastest(probed, results);
    if (!fastest)
        return failure(localized(QStringLiteral("no_reachable_node")));
    m_vm.selectNodeById(fastest->id);
    m_out.line(formatted(QStringLiteral("cli_selected"), nodeLabel(*fastest)));
    m_out.document({{QStringLiteral("selectedNode"), nodeJson(*fastest)}});
    return ExitSuccess;
}

int CliCommands::select()
{
    const std::optional<qint64> id = nodeId(m_request.operands.value(0));
    if (!id)
        return usageError(QStringLiteral("not a node id: \"%1\"").arg(m_request.operands.value(0)));
    if (const std::optional<int> failed = openSession(Nodes::Required))
        return *failed;
    const NodeInfo *node = requireListed(*id);
    if (!node)
        return ExitFailure;
    m_vm.selectNodeById(*id);
    m_out.line(formatted(QStringLiteral("cli_selected"), nodeLabel(*node)));
    m_out.document({{QStringLiteral("selectedNode"), nodeJson(*node)}});
    return ExitSuccess;
}

int CliCommands::mode()
{
    if (!m_request.operands.isEmpty()) {
        const std::optional<AppViewModel::RoutingMode> mode = RoutingModes::fromRawValue(m_request.operands.first());
        if (!mode)
            return usageError(QStringLiteral("usage: nimbrel-cli mode [safe|smart]"));
        m_vm.chooseRoutingMode(*mode);
    }
    m_out.line(formatted(QStringLiteral("cli_routing_mode_is"), m_vm.routingModeName()));
    m_out.document({{QStringLiteral("routingMode"), m_vm.routingModeName()}});
    return ExitSuccess;
}

int CliCommands::language()
{
    LanguageManager &languages = LanguageManager::shared();
    if (!m_request.operands.isEmpty() && !languages.setLanguageCode(m_request.operands.first()))
        return usageError(QStringLiteral("usage: nimbrel-cli language [en|zh-CN|zh-TW|ru]"));
    m_out.line(formatted(QStringLiteral("cli_language_is"), AppLanguages::displayName(languages.language())));
    m_out.document({{QStringLiteral("language"), languages.languageCode()}});
    return ExitSuccess;
}

int CliCommands::connect()
{
    std::optional<qint64> id;
    if (!m_request.operands.isEmpty()) {
        id = nodeId(m_request.operands.first());
        if (!id)
            return usageError(QStringLiteral("not a node id: \"%1\"").arg(m_request.operands.first()));
    }
    // Before asking the service anything: is the tunnel someone else's?
    if (const std::optional<TunnelOwnership::Holder> holder = m_tunnelOwnership.otherHolder())
        return failure(TunnelStatusText::heldBy(*holder));
    if (const std::optional<int> failed = openSession(Nodes::Required))
        return *failed;
    if (id) {
        if (!requireListed(*id))
            return ExitFailure;
        m_vm.selectNodeById(*id);
    }
    if (m_request.fastest) {
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
    }

    QString shown = m_vm.vpnStatus();
    bool helperStarted = false;
    const auto report = [&] {
        helperStarted = helperStarted || m_vm.tunnelPid().has_value();
        if (m_vm.vpnStatus() == shown)
            return;
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
            m_out.document(tunnelPhaseJson());
            if (m_vm.tunnel().state().cause().reason == TunnelReason::helperNotFound) {
                m_out.error(m_vm.vpnStatus());
                return failure(formatted(QStringLiteral("cli_helper_searched"),
                                         m_vm.tunnel().helperCandidates().join(QStringLiteral(", "))));
            }
            return failure(m_vm.vpnStatus());
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
        if (holder->pid <= 0 || ::kill(pid_t(holder->pid), SIGTERM) != 0)
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
