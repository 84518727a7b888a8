#include "AppViewModel.h"

#include "AppSwitches.h"
#include "NodeCatalog.h"
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
    m_catalog = std::make_unique<NodeCatalog>(m_environment.preferences, nodeFetch(), nodeProbe());
    forwardCatalogSignals();
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
    m_lastMode = routingMode();
}

AppViewModel::~AppViewModel() = default;

NodeCatalog::Fetch AppViewModel::nodeFetch()
{
    if (m_environment.nodeSource)
        return m_environment.nodeSource;
    // Through the session: a request that meets an expired token renews it once.
    return [self = QPointer<AppViewModel>(this)](std::optional<QString> version) {
        const ApiService api = self->api();
        return SessionFlows::withTokenRefresh<NodesResponse>(
            self, [api, version](QString token) { return api.getNodes(std::move(token), version); });
    };
}

NodeCatalog::Probe AppViewModel::nodeProbe() const
{
    return [timeout = m_environment.intervals.probeTimeout](const NodeInfo &node, QObject *context,
                                                            std::function<void(qint64)> done) {
        LatencyProbe::tcpPing(node.host, node.port, timeout, context, std::move(done));
    };
}

void AppViewModel::forwardCatalogSignals()
{
    const NodeCatalog *catalog = m_catalog.get();
    connect(catalog, &NodeCatalog::nodesChanged, this, &AppViewModel::nodesChanged);
    connect(catalog, &NodeCatalog::selectedNodeChanged, this, &AppViewModel::selectedNodeChanged);
    connect(catalog, &NodeCatalog::loadingChanged, this, &AppViewModel::nodesLoadingChanged);
    connect(catalog, &NodeCatalog::errorChanged, this, &AppViewModel::nodesErrorChanged);
    connect(catalog, &NodeCatalog::pskChanged, this, &AppViewModel::pskChanged);
    connect(catalog, &NodeCatalog::pingResultsChanged, this, &AppViewModel::pingResultsChanged);
    connect(catalog, &NodeCatalog::pingingNodesChanged, this, &AppViewModel::pingingNodesChanged);
    connect(catalog, &NodeCatalog::pingStateChanged, this, &AppViewModel::pingStateChanged);
    connect(catalog, &NodeCatalog::pickingFastestChanged, this, &AppViewModel::pickingFastestChanged);
    connect(catalog, &NodeCatalog::noticeChanged, this, &AppViewModel::nodesNoticeChanged);
    connect(catalog, &NodeCatalog::fastestPicked, this, &AppViewModel::fastestPicked);
}

NodeListModel *AppViewModel::nodeModel() const
{
    return m_catalog->model();
}

QVariant AppViewModel::nodesNoticeValue() const
{
    return optionalValue(nodesNotice());
}

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
    m_catalog->clear();
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
    if (m_accessToken)
        m_catalog->load();
}

void AppViewModel::pingNode(const NodeInfo &node)
{
    m_catalog->ping(node);
}

void AppViewModel::pingNodeById(qint64 id)
{
    m_catalog->pingById(id);
}

void AppViewModel::selectNodeById(qint64 id)
{
    m_catalog->select(id);
}

void AppViewModel::testAllNodes()
{
    m_catalog->testAll();
}

void AppViewModel::pickFastestNode()
{
    m_catalog->pickFastest();
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
    m_tunnel->vpnConnect(selectedNode(), psk(), routingMode());
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
    return running ? running : selectedNode();
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
    return selectedNode() ? QVariant::fromValue(*selectedNode()) : QVariant();
}

QVariant AppViewModel::nodesErrorValue() const
{
    return optionalValue(nodesError());
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
