#include "AppViewModel.h"

#include "TunnelStatusText.h"
#include "i18n/LanguageManager.h"
#include "i18n/TextFormat.h"
#include "nodes/LatencyProbe.h"
#include "nodes/NodeListModel.h"
#include "platform/BrowserOpener.h"
#include "tunnel/TunnelController.h"

AppViewModel::AppViewModel(AppEnvironment environment, QObject *parent)
    : QObject(parent)
    , m_environment(std::move(environment))
    , m_mode(m_environment.preferences)
    , m_session(std::make_unique<Session>(ApiService(m_environment.apiConfig()), TokenStore(m_environment.preferences)))
    , m_catalog(std::make_unique<NodeCatalog>(m_environment.preferences, nodeFetch(), nodeProbe()))
    , m_tunnel(std::make_unique<TunnelController>(m_environment.tunnelSettings()))
{
    composeSession();
    composeCatalog();
    composeTunnel();
    connect(&m_mode, &RoutingModePreference::changed, this, &AppViewModel::routingModeChanged);
}

AppViewModel::~AppViewModel() = default;

void AppViewModel::composeSession()
{
    const Session *session = m_session.get();
    connect(session, &Session::authLoadingChanged, this, &AppViewModel::authLoadingChanged);
    connect(session, &Session::authErrorChanged, this, &AppViewModel::authErrorChanged);
    connect(session, &Session::emailChanged, this, &AppViewModel::userEmailChanged);
    connect(session, &Session::nicknameChanged, this, &AppViewModel::userNicknameChanged);
    connect(session, &Session::subscriptionStatusChanged, this, &AppViewModel::subscriptionStatusChanged);
    connect(session, &Session::subscriptionPlanChanged, this, &AppViewModel::subscriptionPlanChanged);
    connect(session, &Session::subscriptionExpiryChanged, this, &AppViewModel::subscriptionExpiryChanged);
    connect(session, &Session::userDataFailed, this, &AppViewModel::userDataFailed);
    connect(session, &Session::accountLoaded, this, [this] {
        if (subscriptionActive())
            loadNodes();
        setScreen(Screen::Home);
    });
    connect(session, &Session::ended, this, &AppViewModel::sessionEnded);
}

void AppViewModel::composeCatalog()
{
    const NodeCatalog *catalog = m_catalog.get();
    connect(catalog, &NodeCatalog::nodesChanged, this, &AppViewModel::nodesChanged);
    connect(catalog, &NodeCatalog::selectedNodeChanged, this, &AppViewModel::selectedNodeChanged);
    connect(catalog, &NodeCatalog::loadingChanged, this, &AppViewModel::nodesLoadingChanged);
    connect(catalog, &NodeCatalog::errorChanged, this, &AppViewModel::nodesErrorChanged);
    connect(catalog, &NodeCatalog::pingResultsChanged, this, &AppViewModel::pingResultsChanged);
    connect(catalog, &NodeCatalog::pingingNodesChanged, this, &AppViewModel::pingingNodesChanged);
    connect(catalog, &NodeCatalog::pingStateChanged, this, &AppViewModel::pingStateChanged);
    connect(catalog, &NodeCatalog::pickingFastestChanged, this, &AppViewModel::pickingFastestChanged);
    connect(catalog, &NodeCatalog::noticeChanged, this, &AppViewModel::nodesNoticeChanged);
    connect(catalog, &NodeCatalog::fastestPicked, this, &AppViewModel::fastestPicked);
}

void AppViewModel::composeTunnel()
{
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
}

void AppViewModel::sessionEnded(bool forced)
{
    if (forced && (isVpnLoading() || isReconnecting()))
        vpnDisconnect();
    m_catalog->clear();
    m_tunnel->sessionEnded();
    setScreen(Screen::Login);
}

NodeCatalog::Fetch AppViewModel::nodeFetch()
{
    if (m_environment.nodeSource)
        return m_environment.nodeSource;
    // Through the session, which outlives the catalog: a request that meets an expired token renews it once.
    return [session = m_session.get()](std::optional<QString> version) {
        return session->withTokenRefresh<NodesResponse>(
            [api = session->api(), version](QString token) { return api.getNodes(std::move(token), version); });
    };
}

NodeCatalog::Probe AppViewModel::nodeProbe() const
{
    return [timeout = m_environment.intervals.probeTimeout](const NodeInfo &node, QObject *context,
                                                            std::function<void(qint64)> done) {
        LatencyProbe::tcpPing(node.host, node.port, timeout, context, std::move(done));
    };
}

void AppViewModel::setScreen(Screen screen)
{
    m_screen = screen;
    emit screenChanged();
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
    clearAuthError();
    setScreen(Screen::Login);
}

void AppViewModel::showRegistration()
{
    if (m_screen == Screen::Home)
        return;
    clearAuthError();
    setScreen(Screen::Register);
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
    m_session->logout();
}

void AppViewModel::loadNodes()
{
    if (accessToken())
        m_catalog->load();
}

QString AppViewModel::subscribePage() const
{
    QString site = m_environment.webSiteUrl.toString();
    while (site.endsWith(QLatin1Char('/')))
        site.chop(1);
    return site.isEmpty() ? QString() : site + QStringLiteral("/en");
}

QString AppViewModel::subscribeUrl() const
{
    const QString page = subscribePage();
    if (!accessToken() || page.isEmpty())
        return QString();
    const QString text = page + QStringLiteral("?autoToken=") + *accessToken();
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && !url.scheme().isEmpty() ? text : QString();
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
    m_subscribeNotice = std::move(notice);
    emit subscribeNoticeChanged();
}

void AppViewModel::shutdownTunnel(std::chrono::milliseconds limit, std::function<void()> done)
{
    m_tunnel->shutdown(limit, std::move(done));
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

void AppViewModel::watchOtherProcesses()
{
    m_tunnel->watchOtherHolders(m_environment.intervals.otherHolderLook);
    m_mode.watchOtherProcesses();
}

QVariantList AppViewModel::nodesValue() const
{
    QVariantList list;
    list.reserve(nodes().size());
    for (const NodeInfo &node : nodes())
        list.append(QVariant::fromValue(node));
    return list;
}

namespace {

template <typename T>
QVariantMap byId(const QHash<qint64, T> &values)
{
    QVariantMap map;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        map.insert(QString::number(it.key()), it.value());
    return map;
}

} // namespace

QVariantMap AppViewModel::pingResultsValue() const
{
    return byId(pingResults());
}

QVariantMap AppViewModel::pingingNodesValue() const
{
    return byId(pingingNodes());
}
