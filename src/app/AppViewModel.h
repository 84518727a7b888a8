#pragma once

#include "AppEnvironment.h"
#include "NodeCatalog.h"
#include "RoutingModePreference.h"
#include "Session.h"
#include "api/NodeInfo.h"
#include "tunnel/TunnelController.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>

class BrowserOpener;
class NodeFilterModel;
class NodeListModel;

// What the screens, the tray panel and the command-line client see and call: the session, the node
// catalog and the tunnel controller composed, each the one writer of its own fields, and the screen
// shown. Lives on the main thread; every observed field notifies on every assignment.
class AppViewModel : public QObject {
    Q_OBJECT
    Q_MOC_INCLUDE("nodes/NodeListModel.h")
    Q_MOC_INCLUDE("nodes/NodeFilterModel.h")
    Q_PROPERTY(Screen screen READ screen NOTIFY screenChanged)
    Q_PROPERTY(bool authLoading READ authLoading NOTIFY authLoadingChanged)
    Q_PROPERTY(QVariant authError READ authErrorValue NOTIFY authErrorChanged)
    Q_PROPERTY(QVariant userEmail READ userEmailValue NOTIFY userEmailChanged)
    Q_PROPERTY(QVariant userNickname READ userNicknameValue NOTIFY userNicknameChanged)
    Q_PROPERTY(QVariant subscriptionStatus READ subscriptionStatusValue NOTIFY subscriptionStatusChanged)
    Q_PROPERTY(QVariant subscriptionPlan READ subscriptionPlanValue NOTIFY subscriptionPlanChanged)
    Q_PROPERTY(QVariant subscriptionExpiry READ subscriptionExpiryValue NOTIFY subscriptionExpiryChanged)
    Q_PROPERTY(bool subscriptionActive READ subscriptionActive NOTIFY subscriptionStatusChanged)
    Q_PROPERTY(QVariantList nodes READ nodesValue NOTIFY nodesChanged)
    Q_PROPERTY(QVariant selectedNode READ selectedNodeValue NOTIFY selectedNodeChanged)
    Q_PROPERTY(bool nodesLoading READ nodesLoading NOTIFY nodesLoadingChanged)
    Q_PROPERTY(QVariant nodesError READ nodesErrorValue NOTIFY nodesErrorChanged)
    Q_PROPERTY(QVariantMap pingResults READ pingResultsValue NOTIFY pingResultsChanged)
    Q_PROPERTY(QVariantMap pingingNodes READ pingingNodesValue NOTIFY pingingNodesChanged)
    Q_PROPERTY(bool pickingFastest READ pickingFastest NOTIFY pickingFastestChanged)
    Q_PROPERTY(QVariant nodesNotice READ nodesNoticeValue NOTIFY nodesNoticeChanged)
    Q_PROPERTY(QVariant subscribeNotice READ subscribeNoticeValue NOTIFY subscribeNoticeChanged)
    Q_PROPERTY(QString vpnStatus READ vpnStatus NOTIFY vpnStatusChanged)
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY isConnectedChanged)
    Q_PROPERTY(bool isVpnLoading READ isVpnLoading NOTIFY isVpnLoadingChanged)
    Q_PROPERTY(bool canCancelConnect READ canCancelConnect NOTIFY canCancelConnectChanged)
    Q_PROPERTY(bool isReconnecting READ isReconnecting NOTIFY isReconnectingChanged)
    Q_PROPERTY(bool vpnFailed READ vpnFailed NOTIFY vpnStatusChanged)
    Q_PROPERTY(QVariant shownNode READ shownNodeValue NOTIFY shownNodeChanged)
    Q_PROPERTY(qint64 runningNodeId READ runningNodeId NOTIFY shownNodeChanged)
    Q_PROPERTY(QDateTime upSince READ upSinceValue NOTIFY upSinceChanged)
    Q_PROPERTY(QString routingModeName READ routingModeName NOTIFY routingModeChanged)
    Q_PROPERTY(NodeListModel *nodeModel READ nodeModel CONSTANT)
    // The rows the list shows: those that match the search.
    Q_PROPERTY(NodeFilterModel *nodeRows READ nodeRows CONSTANT)

public:
    enum class Screen { Login, Register, Home };
    Q_ENUM(Screen)

    using RoutingMode = ::RoutingMode;

    explicit AppViewModel(AppEnvironment environment, QObject *parent = nullptr);
    ~AppViewModel() override;

    const AppEnvironment &environment() const { return m_environment; }
    const TokenStore &tokenStore() const { return m_session->tokenStore(); }
    NodeListModel *nodeModel() const { return m_catalog->model(); }
    NodeFilterModel *nodeRows() const { return m_catalog->rows(); }
    Session &session() { return *m_session; }
    const Session &session() const { return *m_session; }
    NodeCatalog &nodeCatalog() { return *m_catalog; }
    const NodeCatalog &nodeCatalog() const { return *m_catalog; }

    // Observed fields.
    Screen screen() const { return m_screen; }
    // The session's fields: read-only views of the session that owns them.
    bool authLoading() const { return m_session->authLoading(); }
    const std::optional<QString> &authError() const { return m_session->authError(); }
    const std::optional<QString> &userEmail() const { return m_session->email(); }
    const std::optional<QString> &userNickname() const { return m_session->nickname(); }
    const std::optional<QString> &subscriptionStatus() const { return m_session->subscriptionStatus(); }
    bool subscriptionActive() const { return m_session->subscriptionActive(); }
    const std::optional<QString> &subscriptionPlan() const { return m_session->subscriptionPlan(); }
    const std::optional<QString> &subscriptionExpiry() const { return m_session->subscriptionExpiry(); }
    // The node list's fields: read-only views of the catalog that owns them.
    const QList<NodeInfo> &nodes() const { return m_catalog->nodes(); }
    const std::optional<NodeInfo> &selectedNode() const { return m_catalog->selectedNode(); }
    bool nodesLoading() const { return m_catalog->loading(); }
    const std::optional<QString> &nodesError() const { return m_catalog->error(); }
    const QString &psk() const { return m_catalog->psk(); }
    const QHash<qint64, qint64> &pingResults() const { return m_catalog->pingResults(); }
    const QHash<qint64, bool> &pingingNodes() const { return m_catalog->pingingNodes(); }
    // The tunnel's fields: read-only views of the state the tunnel controller owns and writes. The
    // status is put in words as the state changes, in the language of that moment.
    const QString &vpnStatus() const { return m_vpnStatus; }
    // The status as one stable word, for programs (it changes with vpnStatus).
    TunnelPhase vpnPhase() const { return m_tunnel->state().phase(); }
    // A failure, a lost tunnel or a blocked one: shown in the error colour.
    bool vpnFailed() const;
    // The node the card and the panel name: the tunnel's own while one starts, runs or stops (whatever
    // is selected for the next connect), else the selected one.
    const std::optional<NodeInfo> &shownNode() const;
    // The node of the tunnel that is up (0: none), marked in the list.
    qint64 runningNodeId() const;
    const std::optional<QDateTime> &upSince() const { return m_tunnel->state().upSince(); }
    // "Connected for 1:02:03" while up, else empty; the view asks again each second.
    Q_INVOKABLE QString upTimeText() const;
    bool isConnected() const { return m_tunnel->state().isConnected(); }
    bool isVpnLoading() const { return m_tunnel->state().isLoading(); }
    // A start has run long enough to be offered for cancelling (a disconnect cancels it).
    bool canCancelConnect() const { return m_tunnel->state().canCancel(); }
    // A lost tunnel is being started again (the button stops that).
    bool isReconnecting() const { return m_tunnel->state().isReconnecting(); }
    // Up, starting or reconnecting: what the one button stops.
    bool tunnelInUse() const { return isConnected() || isVpnLoading() || isReconnecting(); }
    std::optional<qint32> tunnelPid() const { return m_tunnel->state().pid(); }
    const std::optional<QString> &connectedServerIp() const { return m_tunnel->state().serverHost(); }
    RoutingMode connectedRoutingMode() const { return m_tunnel->state().mode(); }
    TunnelController &tunnel() { return *m_tunnel; }
    const TunnelController &tunnel() const { return *m_tunnel; }

    // Plain fields: nobody is notified.
    const std::optional<QString> &accessToken() const { return m_session->accessToken(); }
    const std::optional<QString> &refreshToken() const { return m_session->refreshToken(); }
    const std::optional<QString> &cachedNodeVersion() const { return m_catalog->version(); }

    // The mode for the next connect, read from and written to the preference store on every access.
    RoutingMode routingMode() const { return m_mode.mode(); }
    QString routingModeName() const { return RoutingModes::rawValue(routingMode()); }
    // The user's choice of mode for the next connect (the switch on the connection card, or the CLI).
    void chooseRoutingMode(RoutingMode mode) { m_mode.choose(mode); }
    // As chooseRoutingMode, by the mode's raw value; an unknown value changes nothing.
    Q_INVOKABLE void chooseRoutingModeByName(const QString &raw);

    // The user moving between the sign-in and registration screens; each clears the error shown.
    // Neither leaves the home screen: only signing out does.
    Q_INVOKABLE void showSignIn();
    Q_INVOKABLE void showRegistration();

    // Session: each starts its work and returns at once (see Session).
    Q_INVOKABLE void tryAutoLogin() { m_session->tryAutoLogin(); }
    bool restoreStoredSession() { return m_session->restoreStored(); }
    Q_INVOKABLE void login(const QString &email, const QString &password) { m_session->login(email, password); }
    Q_INVOKABLE void registerAccount(const QString &email, const QString &password, const QString &nickname)
    {
        m_session->registerAccount(email, password, nickname);
    }
    // A new account's password needs at least this many characters (as a reader counts them).
    static constexpr int kMinimumPasswordLength = 8;
    Q_INVOKABLE static bool passwordLongEnough(const QString &password);
    Q_INVOKABLE void logout();

    // Nodes.
    Q_INVOKABLE void loadNodes();
    void pingNode(const NodeInfo &node) { m_catalog->ping(node); }
    // The QML forms of choosing and probing a listed node, by id. A chosen node is remembered in the
    // preference store, so the next start (of the app or the command-line client) picks it again.
    Q_INVOKABLE void pingNodeById(qint64 id) { m_catalog->pingById(id); }
    Q_INVOKABLE void selectNodeById(qint64 id) { m_catalog->select(id); }
    Q_INVOKABLE void searchNodes(const QString &query) { m_catalog->search(query); }
    // Probes every listed node.
    Q_INVOKABLE void testAllNodes() { m_catalog->testAll(); }
    // Probes the listed nodes not measured yet, then selects the fastest (NodeSelection::fastest), as
    // selectNodeById does; when none qualifies the selection stays and nodesNotice says so. fastestPicked
    // tells the outcome.
    Q_INVOKABLE void pickFastestNode() { m_catalog->pickFastest(); }
    bool pickingFastest() const { return m_catalog->pickingFastest(); }
    // A note under the node list's header ("No reachable node"), until the next pick or list.
    const std::optional<QString> &nodesNotice() const { return m_catalog->notice(); }
    std::optional<qint64> rememberedNodeId() const { return m_catalog->rememberedId(); }
    // The listed node with this id, or null.
    const NodeInfo *listedNode(qint64 id) const { return m_catalog->listed(id); }

    // The web-site page to subscribe at, without the token, for a person to type ("https://…/en"); empty
    // without a web site.
    QString subscribePage() const;
    // subscribePage with "?autoToken=" and the access token as stored (for the browser alone), or an
    // empty string without a token or when the text is no valid URL.
    Q_INVOKABLE QString subscribeUrl() const;
    // Opens subscribeUrl in the browser without the token reaching a command line or a log; when no
    // browser could be opened, subscribeNotice says so (until the next try).
    Q_INVOKABLE void openSubscribePage();
    const std::optional<QString> &subscribeNotice() const { return m_subscribeNotice; }

    // Tunnel.
    QString binaryPath() const { return m_tunnel->binaryPath(); }
    Q_INVOKABLE void vpnConnect() { m_tunnel->vpnConnect(selectedNode(), psk(), routingMode()); }
    Q_INVOKABLE void vpnDisconnect() { m_tunnel->vpnDisconnect(); }
    // Stops a running or starting tunnel before the app quits; done is called on the main thread once
    // the clean-up has finished or limit has passed.
    void shutdownTunnel(std::chrono::milliseconds limit, std::function<void()> done);
    // Whether blocking tunnel work (a start, a stop's clean-up) is still queued or running.
    bool tunnelBusy() const { return m_tunnel->isBusy(); }
    // Called by the screens when the user edits a field or navigates.
    Q_INVOKABLE void clearAuthError() { m_session->clearAuthError(); }

    // Takes over what a killed client left of the tunnel (the app at start, the CLI before it drives
    // the tunnel); see TunnelController::recoverLeftovers.
    TunnelController::Recovery recoverTunnel() { return m_tunnel->recoverLeftovers(); }
    // The app: shows a tunnel another process of the user drives (see TunnelController), and the mode
    // another process stores.
    void watchOtherProcesses();

signals:
    void screenChanged();
    void authLoadingChanged();
    void authErrorChanged();
    void userEmailChanged();
    void userNicknameChanged();
    void subscriptionStatusChanged();
    void subscriptionPlanChanged();
    void subscriptionExpiryChanged();
    void nodesChanged();
    void selectedNodeChanged();
    void nodesLoadingChanged();
    void nodesErrorChanged();
    void pingResultsChanged();
    void pingingNodesChanged();
    void vpnStatusChanged();
    void isConnectedChanged();
    void isVpnLoadingChanged();
    void canCancelConnectChanged();
    void isReconnectingChanged();
    // The tunnel failed, crashed or was lost without the user asking (statusText is what vpnStatus shows).
    void tunnelProblem(const QString &statusText);
    void shownNodeChanged();
    void upSinceChanged();
    // The stored mode for the next connect, written here or by another process.
    void routingModeChanged();
    // Finer than the map signals: one node's probe entry changed.
    void pingStateChanged(qint64 id);
    // Loading the account after a sign-in or a restored session failed (the session may go on).
    void userDataFailed(const QString &message);
    void pickingFastestChanged();
    void nodesNoticeChanged();
    void subscribeNoticeChanged();
    // A fastest pick has ended: picked is the node it selected, or none.
    void fastestPicked(std::optional<qint64> picked);

private:
    void setScreen(Screen screen);
    void composeSession();
    void composeCatalog();
    void composeTunnel();
    // The session has ended: the node list goes, the sign-in screen shows; a forced end also stops a
    // start under way (a running tunnel stays, the tray panel still offers its stop).
    void sessionEnded(bool forced);
    static QVariant optionalValue(const std::optional<QString> &value) { return value ? QVariant(*value) : QVariant(); }
    template <typename T>
    static QVariant optionalValue(const std::optional<T> &value)
    {
        return value ? QVariant::fromValue(*value) : QVariant();
    }
    QVariant authErrorValue() const { return optionalValue(authError()); }
    QVariant userEmailValue() const { return optionalValue(userEmail()); }
    QVariant userNicknameValue() const { return optionalValue(userNickname()); }
    QVariant subscriptionStatusValue() const { return optionalValue(subscriptionStatus()); }
    QVariant subscriptionPlanValue() const { return optionalValue(subscriptionPlan()); }
    QVariant subscriptionExpiryValue() const { return optionalValue(subscriptionExpiry()); }
    QVariant selectedNodeValue() const { return optionalValue(selectedNode()); }
    QVariant nodesErrorValue() const { return optionalValue(nodesError()); }
    QVariant nodesNoticeValue() const { return optionalValue(nodesNotice()); }
    QVariant subscribeNoticeValue() const { return optionalValue(m_subscribeNotice); }
    QVariant shownNodeValue() const { return optionalValue(shownNode()); }
    // The list and the probe maps as QML reads them (ids as keys).
    QVariantList nodesValue() const;
    QVariantMap pingResultsValue() const;
    QVariantMap pingingNodesValue() const;
    void setSubscribeNotice(std::optional<QString> notice);
    // How the node catalog asks for the list (through the session) and probes a node.
    NodeCatalog::Fetch nodeFetch();
    NodeCatalog::Probe nodeProbe() const;
    QDateTime upSinceValue() const { return upSince().value_or(QDateTime()); }

    AppEnvironment m_environment;
    Screen m_screen = Screen::Login;
    QString m_vpnStatus;
    std::optional<QString> m_subscribeNotice;
    std::unique_ptr<BrowserOpener> m_browser;
    RoutingModePreference m_mode;
    std::unique_ptr<Session> m_session;
    std::unique_ptr<NodeCatalog> m_catalog;
    std::unique_ptr<TunnelController> m_tunnel;
};
