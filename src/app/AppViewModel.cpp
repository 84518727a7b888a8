#include "AppViewModel.h"

#include "AppSwitches.h"
#include "NodeListLoader.h"
#include "SessionFlows.h"
#include "TunnelStatusText.h"
#include "i18n/LanguageManager.h"
#include "i18n/TextFormat.h"
#include "nodes/LatencyProbe.h"
#include "nodes/NodeListModel.h"
#include "nodes/NodeSelection.h"
#include "platform/BrowserOpener.h"
#include "platform/NetworkAccess.h"
#include "platform/PreferenceStore.h"
#include "tunnel/TunnelController.h"

#include <QFileInfo>
#include <QNetworkAccessManager>

namespace {

const QString kRoutingModeKey = QStringLiteral("routingMode");
const QString kSelectedNodeKey = QStringLiteral("selectedNodeId");

QVariant optionalValue(const std::optional<QString> &value)
{
    return value ? QVariant(*value) : QVariant();
}

// Observed fields notify on every assignment, also when the value did not change.
template <typename T, typename Signal>
void assign(AppViewModel *self, T &field, T value, Signal changed)
{
    field = std::move(value);
    emit(self->*changed)();
}

} // namespace

namespace {

TunnelSettings tunnelSettings(const AppEnvironment &environment)
{
    TunnelSettings settings;
    settings.preferences = environment.preferences;
    settings.paths = environment.tunnelPaths;
    settings.adminPrompt = environment.platform.adminPrompt;
    settings.privilegedRunner = environment.platform.privilegedRunner;
    settings.monitorInterval = environment.intervals.monitor;
    settings.cancelDelay = environment.intervals.cancelDelay;
    settings.stopPoll = environment.intervals.stopPoll;
    settings.stopPolls = environment.intervals.stopPolls;
    settings.trustedScriptOwner = environment.trustedScriptOwner;
    settings.helperPlaces = environment.helperPlaces;
    settings.userId = environment.userId;
    settings.sudoersFile = environment.sudoersFile;
    settings.controlProgram = environment.controlProgram;
    settings.reconnectWhenLost = [preferences = environment.preferences] {
        return AppSwitches(preferences, QString()).isOn(AppSwitches::Switch::autoReconnect);
    };
    settings.reconnectWaits = environment.intervals.reconnectWaits;
    settings.reconnectSettle = environment.intervals.reconnectSettle;
    return settings;
}

ApiService::Config apiConfig(const AppEnvironment &environment)
{
    ApiService::Config config;
    config.network = environment.network ? environment.network : &NetworkAccess::shared();
    config.baseUrl = environment.apiBaseUrl;
    config.timeout = environment.intervals.requestTimeout;
    config.deadline = environment.intervals.requestDeadline;
    return config;
}

} // namespace

AppViewModel::AppViewModel(AppEnvironment environment, QObject *parent)
    : QObject(parent)
    , m_environment(std::move(environment))
    , m_api(apiConfig(m_environment))
    , m_tokens(m_environment.preferences)
{
    m_nodeModel = std::make_unique<NodeListModel>();
    m_tunnel = std::make_unique<TunnelController>(tunnelSettings(m_environment));
    const TunnelState &tunnel = m_tunnel->state();
    m_vpnStatus = TunnelStatusText::of(tunnel);
    connect(&tunnel, &TunnelState::statusChanged, this, [this] {
        m_vpnStatus = TunnelStatusText::of(m_tunnel->state());
        emit vpnStatusChanged();
    });
    connect(&tunnel, &TunnelState::nodeChanged, this, &AppViewModel::shownNodeChanged);
    connect(&tunnel, &TunnelState::connectedChanged, this, &AppViewModel::shownNodeChanged);
    connect(&tunnel, &TunnelState::upSinceChanged, this, &AppViewModel::upSinceChanged);
    connect(this, &AppViewModel::selectedNodeChanged, this, [this] {
        if (!m_tunnel->state().node())
            emit shownNodeChanged();
    });
    connect(&tunnel, &TunnelState::connectedChanged, this, &AppViewModel::isConnectedChanged);
    connect(&tunnel, &TunnelState::loadingChanged, this, &AppViewModel::isVpnLoadingChanged);
    connect(&tunnel, &TunnelState::canCancelChanged, this, &AppViewModel::canCancelConnectChanged);
    connect(&tunnel, &TunnelState::reconnectingChanged, this, &AppViewModel::isReconnectingChanged);
    connect(m_tunnel.get(), &TunnelController::problem, this, [this] { emit tunnelProblem(m_vpnStatus); });
    connect(this, &AppViewModel::pingStateChanged, this, &AppViewModel::continuePick);
    m_lastMode = routingMode();
}

AppViewModel::~AppViewModel() = default;

void AppViewModel::setScreen(Screen screen)
{
    assign(this, m_screen, screen, &AppViewModel::screenChanged);
}

void AppViewModel::setAuthLoading(bool loading)
{
    assign(this, m_authLoading, loading, &AppViewModel::authLoadingChanged);
}

void AppViewModel::setAuthError(std::optional<QString> error)
{
    assign(this, m_authError, std::move(error), &AppViewModel::authErrorChanged);
}

void AppViewModel::setUserEmail(std::optional<QString> email)
{
    assign(this, m_userEmail, std::move(email), &AppViewModel::userEmailChanged);
}

void AppViewModel::setUserNickname(std::optional<QString> nickname)
{
    assign(this, m_userNickname, std::move(nickname), &AppViewModel::userNicknameChanged);
}

void AppViewModel::setSubscriptionStatus(std::optional<QString> status)
{
    assign(this, m_subscriptionStatus, std::move(status), &AppViewModel::subscriptionStatusChanged);
}

void AppViewModel::setSubscriptionPlan(std::optional<QString> plan)
{
    assign(this, m_subscriptionPlan, std::move(plan), &AppViewModel::subscriptionPlanChanged);
}

void AppViewModel::setSubscriptionExpiry(std::optional<QString> expiry)
{
    assign(this, m_subscriptionExpiry, std::move(expiry), &AppViewModel::subscriptionExpiryChanged);
}

const QList<NodeInfo> &AppViewModel::nodes() const
{
    return m_nodeModel->nodes();
}

const QHash<qint64, qint64> &AppViewModel::pingResults() const
{
    return m_nodeModel->pingResults();
}

const QHash<qint64, bool> &AppViewModel::pingingNodes() const
{
    return m_nodeModel->pingingNodes();
}

void AppViewModel::setNodes(QList<NodeInfo> nodes)
{
    m_nodeModel->setNodes(std::move(nodes));
    emit nodesChanged();
}

void AppViewModel::setSelectedNode(std::optional<NodeInfo> node)
{
    m_nodeModel->setSelectedId(node ? std::optional(node->id) : std::nullopt);
    assign(this, m_selectedNode, std::move(node), &AppViewModel::selectedNodeChanged);
}

void AppViewModel::setNodesLoading(bool loading)
{
    assign(this, m_nodesLoading, loading, &AppViewModel::nodesLoadingChanged);
}

void AppViewModel::setNodesError(std::optional<QString> error)
{
    assign(this, m_nodesError, std::move(error), &AppViewModel::nodesErrorChanged);
}

void AppViewModel::setPsk(QString psk)
{
    assign(this, m_psk, std::move(psk), &AppViewModel::pskChanged);
}

void AppViewModel::setPingResults(QHash<qint64, qint64> results)
{
    m_nodeModel->setProbes(std::move(results), m_nodeModel->pingingNodes());
    emit pingResultsChanged();
}

void AppViewModel::setPingingNodes(QHash<qint64, bool> pinging)
{
    m_nodeModel->setProbes(m_nodeModel->pingResults(), std::move(pinging));
    emit pingingNodesChanged();
}

void AppViewModel::setPingResult(qint64 id, qint64 milliseconds)
{
    m_nodeModel->setPingResult(id, milliseconds);
    emit pingResultsChanged();
    emit pingStateChanged(id);
}

void AppViewModel::setPinging(qint64 id, bool pinging)
{
    m_nodeModel->setPinging(id, pinging);
    emit pingingNodesChanged();
    emit pingStateChanged(id);
}

AppViewModel::RoutingMode AppViewModel::routingMode() const
{
    const QString stored = m_environment.preferences->string(kRoutingModeKey).value_or(QStringLiteral("safe"));
    return stored == QLatin1String("smart") ? RoutingMode::smart : RoutingMode::safe;
}

void AppViewModel::chooseRoutingMode(RoutingMode mode)
{
    m_environment.preferences->setString(kRoutingModeKey, RoutingModes::rawValue(mode));
    if (std::exchange(m_lastMode, mode) != mode)
        emit routingModeChanged();
}

void AppViewModel::chooseRoutingModeByName(const QString &raw)
{
    if (const std::optional<RoutingMode> mode = RoutingModes::fromRawValue(raw))
        chooseRoutingMode(*mode);
}

void AppViewModel::showSignIn()
{
    if (m_screen == Screen::Home)
        return;
    setAuthError(std::nullopt);
    setScreen(Screen::Login);
}

void AppViewModel::showRegistration()
{
    if (m_screen == Screen::Home)
        return;
    setAuthError(std::nullopt);
    setScreen(Screen::Register);
}

void AppViewModel::resetState()
{
    ++m_sessionGeneration;
    m_accessToken.reset();
    m_refreshToken.reset();
    setUserEmail(std::nullopt);
    setUserNickname(std::nullopt);
    setSubscriptionStatus(std::nullopt);
    setSubscriptionPlan(std::nullopt);
    setSubscriptionExpiry(std::nullopt);
    setNodes({});
    setSelectedNode(std::nullopt);
    m_environment.preferences->remove(kSelectedNodeKey); // the next account starts on a node of its own
    setPsk(QString());
    m_cachedNodeVersion.reset();
    setPingResults({});
    setPingingNodes({});
    // A pick under way ends with the session: its probes' results are dropped.
    m_pickWaiting.clear();
    setPickingFastest(false);
    setNodesNotice(std::nullopt);
    m_tunnel->sessionEnded();
}

void AppViewModel::tryAutoLogin()
{
    if (restoreStoredSession())
        SessionFlows::loadUserData(this);
}

bool AppViewModel::restoreStoredSession()
{
    const TokenStore::TokenData stored = m_tokens.load();
    if (!stored.accessToken || !stored.refreshToken)
        return false;
    m_accessToken = stored.accessToken;
    m_refreshToken = stored.refreshToken;
    setUserEmail(stored.email);
    setUserNickname(stored.nickname);
    return true;
}

void AppViewModel::login(const QString &email, const QString &password)
{
    setAuthLoading(true);
    setAuthError(std::nullopt);
    SessionFlows::login(this, email.trimmed(), password);
}

void AppViewModel::registerAccount(const QString &email, const QString &password, const QString &nickname)
{
    setAuthLoading(true);
    setAuthError(std::nullopt);
    SessionFlows::registerAccount(this, email.trimmed(), password, nickname);
}

bool AppViewModel::passwordLongEnough(const QString &password)
{
    return TextFormat::characterCount(password) >= kMinimumPasswordLength;
}

void AppViewModel::logout()
{
    // Signing out leaves no tunnel behind that the sign-in screen could not stop: also a start under
    // way, or a failed start's helper, is stopped.
    if (m_tunnel->state().isActive())
        vpnDisconnect();
    SessionFlows::logout(this);
}

void AppViewModel::loadNodes()
{
    if (!m_accessToken)
        return;
    setNodesLoading(true);
    setNodesError(std::nullopt);
    setNodesNotice(std::nullopt);
    NodeListLoader::load(this);
}

void AppViewModel::pingNode(const NodeInfo &node)
{
    const qint64 id = node.id;
    if (pingingNodes().value(id, false))
        return;
    setPinging(id, true);
    const quint64 session = m_sessionGeneration;
    LatencyProbe::tcpPing(node.host, node.port, m_environment.intervals.probeTimeout, this,
                          [this, id, session](qint64 milliseconds) {
                              // A result for a session that has ended since stays out of the wiped maps.
                              if (session != m_sessionGeneration)
                                  return;
                              setPingResult(id, milliseconds);
                              setPinging(id, false);
                          });
}

const NodeInfo *AppViewModel::listedNode(qint64 id) const
{
    const auto found =
        std::find_if(nodes().cbegin(), nodes().cend(), [id](const NodeInfo &node) { return node.id == id; });
    return found == nodes().cend() ? nullptr : &*found;
}

void AppViewModel::pingNodeById(qint64 id)
{
    if (const NodeInfo *node = listedNode(id))
        pingNode(*node);
}

void AppViewModel::selectNodeById(qint64 id)
{
    if (const NodeInfo *node = listedNode(id)) {
        setSelectedNode(*node);
        m_environment.preferences->setString(kSelectedNodeKey, QString::number(id));
    }
}

void AppViewModel::testAllNodes()
{
    for (const NodeInfo &node : nodes())
        pingNode(node);
}

void AppViewModel::pickFastestNode()
{
    if (m_pickingFastest)
        return;
    setNodesNotice(std::nullopt);
    setPickingFastest(true);
    m_pickWaiting.clear();
    const QList<NodeInfo> listed = nodes(); // a copy: a probe may not change it, but the pick must not care
    for (const NodeInfo &node : listed) {
        if (pingingNodes().value(node.id, false) || !pingResults().contains(node.id))
            m_pickWaiting.insert(node.id);
    }
    for (const NodeInfo &node : listed) {
        if (m_pickWaiting.contains(node.id))
            pingNode(node);
    }
    continuePick(-1);
}

void AppViewModel::continuePick(qint64 id)
{
    if (!m_pickingFastest)
        return;
    if (id >= 0 && !pingingNodes().value(id, false))
        m_pickWaiting.remove(id);
    if (!m_pickWaiting.isEmpty())
        return;
    const std::optional<NodeInfo> fastest = NodeSelection::fastest(nodes(), pingResults());
    if (fastest)
        selectNodeById(fastest->id);
    else
        setNodesNotice(LanguageManager::shared().localized(QStringLiteral("no_reachable_node")));
    setPickingFastest(false);
    emit fastestPicked(fastest ? std::optional(fastest->id) : std::nullopt);
}

void AppViewModel::setPickingFastest(bool picking)
{
    assign(this, m_pickingFastest, picking, &AppViewModel::pickingFastestChanged);
}

void AppViewModel::setNodesNotice(std::optional<QString> notice)
{
    assign(this, m_nodesNotice, std::move(notice), &AppViewModel::nodesNoticeChanged);
}

QVariant AppViewModel::nodesNoticeValue() const
{
    return optionalValue(m_nodesNotice);
}

std::optional<qint64> AppViewModel::rememberedNodeId() const
{
    bool ok = false;
    const qint64 id = m_environment.preferences->string(kSelectedNodeKey).value_or(QString()).toLongLong(&ok);
    return ok ? std::optional(id) : std::nullopt;
}

QString AppViewModel::subscribeUrl() const
{
    if (!m_accessToken)
        return QString();
    QString site = m_environment.webSiteUrl.toString();
    while (site.endsWith(QLatin1Char('/')))
        site.chop(1);
    const QString text = site + QStringLiteral("/en?autoToken=") + *m_accessToken;
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && !url.scheme().isEmpty() && !site.isEmpty() ? text : QString();
}

void AppViewModel::openSubscribePage()
{
    setSubscribeNotice(std::nullopt);
    if (!m_browser) {
        m_browser = std::make_unique<BrowserOpener>(m_environment.browserOpener, m_environment.pageFolder);
        connect(m_browser.get(), &BrowserOpener::finished, this, [this](bool opened) {
            if (!opened)
                setSubscribeNotice(LanguageManager::shared().localized(QStringLiteral("browser_open_failed")));
        });
    }
    m_browser->open(QUrl(subscribeUrl(), QUrl::StrictMode));
}

void AppViewModel::setSubscribeNotice(std::optional<QString> notice)
{
    assign(this, m_subscribeNotice, std::move(notice), &AppViewModel::subscribeNoticeChanged);
}

QString AppViewModel::binaryPath() const
{
    return m_tunnel->binaryPath();
}

void AppViewModel::vpnConnect()
{
    m_tunnel->vpnConnect(m_selectedNode, m_psk, routingMode());
}

void AppViewModel::vpnDisconnect()
{
    m_tunnel->vpnDisconnect();
}

void AppViewModel::shutdownTunnel(std::chrono::milliseconds limit, std::function<void()> done)
{
    m_tunnel->shutdown(limit, std::move(done));
}

bool AppViewModel::tunnelBusy() const
{
    return m_tunnel->isBusy();
}

bool AppViewModel::vpnFailed() const
{
    const TunnelPhase phase = vpnPhase();
    return phase == TunnelPhase::failed || phase == TunnelPhase::lost || phase == TunnelPhase::blocked;
}

const std::optional<NodeInfo> &AppViewModel::shownNode() const
{
    const std::optional<NodeInfo> &running = m_tunnel->state().node();
    return running ? running : m_selectedNode;
}

qint64 AppViewModel::runningNodeId() const
{
    const std::optional<NodeInfo> &running = m_tunnel->state().node();
    return running && isConnected() ? running->id : 0;
}

QString AppViewModel::upTimeText() const
{
    if (!upSince() || !isConnected())
        return {};
    return LanguageManager::shared().formatted(
        QStringLiteral("connected_for"),
        TunnelStatusText::duration(upSince()->secsTo(QDateTime::currentDateTimeUtc())));
}

QVariant AppViewModel::shownNodeValue() const
{
    const std::optional<NodeInfo> &node = shownNode();
    return node ? QVariant::fromValue(*node) : QVariant();
}

void AppViewModel::watchOtherProcesses()
{
    m_tunnel->watchOtherHolders(m_environment.intervals.otherHolderLook);
    // The stored mode: its file, and its folder for a file replaced whole.
    m_lastMode = routingMode();
    const QString file = m_environment.preferences->location();
    m_preferenceWatch.addPaths({file, QFileInfo(file).absolutePath()});
    connect(&m_preferenceWatch, &QFileSystemWatcher::fileChanged, this, &AppViewModel::preferencesChanged);
    connect(&m_preferenceWatch, &QFileSystemWatcher::directoryChanged, this, &AppViewModel::preferencesChanged);
}

void AppViewModel::preferencesChanged()
{
    const QString file = m_environment.preferences->location();
    if (!m_preferenceWatch.files().contains(file) && QFileInfo::exists(file))
        m_preferenceWatch.addPath(file);
    const RoutingMode mode = routingMode();
    if (std::exchange(m_lastMode, mode) != mode)
        emit routingModeChanged();
}

QVariant AppViewModel::authErrorValue() const
{
    return optionalValue(m_authError);
}

QVariant AppViewModel::userEmailValue() const
{
    return optionalValue(m_userEmail);
}

QVariant AppViewModel::userNicknameValue() const
{
    return optionalValue(m_userNickname);
}

QVariant AppViewModel::subscriptionStatusValue() const
{
    return optionalValue(m_subscriptionStatus);
}

QVariant AppViewModel::subscriptionPlanValue() const
{
    return optionalValue(m_subscriptionPlan);
}

QVariant AppViewModel::subscriptionExpiryValue() const
{
    return optionalValue(m_subscriptionExpiry);
}

QVariantList AppViewModel::nodesValue() const
{
    QVariantList list;
    list.reserve(nodes().size());
    for (const NodeInfo &node : nodes())
        list.append(QVariant::fromValue(node));
    return list;
}

QVariant AppViewModel::selectedNodeValue() const
{
    return m_selectedNode ? QVariant::fromValue(*m_selectedNode) : QVariant();
}

QVariant AppViewModel::nodesErrorValue() const
{
    return optionalValue(m_nodesError);
}

QVariantMap AppViewModel::pingResultsValue() const
{
    QVariantMap map;
    for (auto it = pingResults().cbegin(); it != pingResults().cend(); ++it)
        map.insert(QString::number(it.key()), it.value());
    return map;
}

QVariantMap AppViewModel::pingingNodesValue() const
{
    QVariantMap map;
    for (auto it = pingingNodes().cbegin(); it != pingingNodes().cend(); ++it)
        map.insert(QString::number(it.key()), it.value());
    return map;
}
