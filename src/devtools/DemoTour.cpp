#include "DemoTour.h"

#include "app/AppSwitches.h"
#include "app/AppViewModel.h"
#include "i18n/LanguageManager.h"

#include <QQuickItem>

#include <csignal>

QList<ScreenshotTour::Step> DemoTour::screens(AppViewModel &vm, LanguageManager &languages)
{
    return {
        {QStringLiteral("login"), [&vm] { vm.showSignIn(); }, {}, {}},
        {QStringLiteral("register"), [&vm] { vm.showRegistration(); }, {}, {}},
        {QStringLiteral("login-zh-CN"),
         [&vm, &languages] {
             languages.setLanguage(AppLanguage::zhCN);
             vm.showSignIn();
         },
         {},
         {}},
    };
}

namespace {

QQuickItem *findVisual(QQuickItem *item, const QString &name)
{
    if (!item || item->objectName() == name)
        return item;
    for (QQuickItem *child : item->childItems()) {
        if (QQuickItem *found = findVisual(child, name))
            return found;
    }
    return nullptr;
}

// Scrolls the home screen this far down from its top (the node list sits below the cards).
void scrollHome(QQuickWindow *window, qreal offset)
{
    if (QQuickItem *scroll = window ? findVisual(window->contentItem(), QStringLiteral("homeScroll")) : nullptr) {
        const qreal top = scroll->property("originY").toReal() - scroll->property("topMargin").toReal();
        scroll->setProperty("contentY", top + offset);
    }
}

} // namespace

QList<ScreenshotTour::Step> DemoTour::walkthrough(AppViewModel &vm, LanguageManager &languages,
                                                  QQuickWindow *mainWindow, QQuickWindow *panel, const QString &email,
                                                  const QString &password)
{
    QPointer<QQuickWindow> main(mainWindow);
    // The first node that is online and has an open port answers a probe with a number.
    auto probed = [&vm] {
        return !vm.nodes().isEmpty() && vm.pingResults().contains(vm.nodes().first().id) &&
               !vm.pingingNodes().value(vm.nodes().first().id, false);
    };
    return {
        {QStringLiteral("sign-in"), [&vm] { vm.showSignIn(); }, {}, {}},
        {QStringLiteral("home"),
         [&vm, email, password] { vm.login(email, password); },
         [&vm] { return vm.screen() == AppViewModel::Screen::Home && !vm.nodes().isEmpty() && !vm.nodesLoading(); },
         {}},
        {QStringLiteral("probe"),
         [&vm, main] {
             scrollHome(main, 420);
             vm.pingNode(vm.nodes().first());
             if (vm.nodes().size() > 11)
                 vm.pingNode(vm.nodes().at(11));
         },
         probed,
         {}},
        {QStringLiteral("test-all"),
         [&vm] { vm.testAllNodes(); },
         [&vm] { return vm.pingResults().size() == vm.nodes().size() && !vm.pingingNodes().values().contains(true); },
         {}},
        // The list narrowed to one country as one types, and the keyboard on the rows (the current row framed).
        {QStringLiteral("search"),
         [&vm, main] {
             scrollHome(main, 420);
             vm.searchNodes(QStringLiteral("japan"));
         },
         {},
         {}},
        {QStringLiteral("keyboard-focus"),
         [&vm, main] {
             vm.searchNodes(QString());
             if (QQuickItem *keys = main ? findVisual(main->contentItem(), QStringLiteral("nodeListKeys")) : nullptr)
                 keys->forceActiveFocus(Qt::TabFocusReason);
         },
         {},
         {}},
        {QStringLiteral("settings"),
         [main] {
             if (QQuickItem *home = main ? findVisual(main->contentItem(), QStringLiteral("homeView")) : nullptr)
                 home->setProperty("settingsShown", true);
         },
         {},
         {}},
        {QStringLiteral("fastest"),
         [&vm, main] {
             if (QQuickItem *home = main ? findVisual(main->contentItem(), QStringLiteral("homeView")) : nullptr)
                 home->setProperty("settingsShown", false);
             scrollHome(main, 0);
             vm.pickFastestNode();
         },
         [&vm] { return !vm.pickingFastest(); },
         {}},
        {QStringLiteral("connecting"),
         [&vm] { vm.vpnConnect(); },
         [&vm] { return vm.isVpnLoading() || vm.isConnected(); },
         {}},
        {QStringLiteral("connected"), {}, [&vm] { return vm.isConnected(); }, {}},
        // Another row clicked while the tunnel runs: the card keeps naming the tunnel's node, and its
        // row carries the mark.
        {QStringLiteral("connected-other-selected"),
         [&vm, main] {
             const QList<NodeInfo> &nodes = vm.nodes();
             qsizetype running = 0;
             while (running < nodes.size() && nodes.at(running).id != vm.runningNodeId())
                 ++running;
             if (nodes.size() < 2 || running == nodes.size())
                 return;
             // The row below the running one (above, for the last), both in the picture.
             vm.selectNodeById(nodes.at(running + 1 < nodes.size() ? running + 1 : running - 1).id);
             scrollHome(main, 420 + 64 * qreal(std::max<qsizetype>(0, running - 3)));
         },
         [&vm] { return vm.selectedNode() && vm.selectedNode()->id != vm.runningNodeId(); },
         {}},
        // The helper ends by itself while the tunnel is up; with "Reconnect when lost" on, the client
        // waits, then starts it again.
        {QStringLiteral("lost-reconnecting"),
         [&vm, main] {
             scrollHome(main, 0);
             AppSwitches(vm.environment().preferences, QString()).set(AppSwitches::Switch::autoReconnect, true);
             if (const std::optional<qint32> pid = vm.tunnelPid())
                 ::kill(*pid, SIGTERM);
         },
         [&vm] { return vm.isReconnecting() && !vm.isVpnLoading(); },
         {}},
        {QStringLiteral("reconnected"), {}, [&vm] { return vm.isConnected() && !vm.isReconnecting(); }, {}},
        {QStringLiteral("disconnected"),
         [&vm] {
             AppSwitches(vm.environment().preferences, QString()).set(AppSwitches::Switch::autoReconnect, false);
             vm.vpnDisconnect();
         },
         [&vm] { return !vm.isConnected() && !vm.tunnelBusy(); },
         {}},
        // A start that fails, in the language with the longest texts: the reason wraps inside the card.
        // The simulated helper reads its scenario from the environment it is started with.
        {QStringLiteral("failed-ru"),
         [&vm, &languages] {
             languages.setLanguage(AppLanguage::ru);
             qputenv("NIMBREL_SIMHELPER_SCENARIO", "error");
             vm.vpnConnect();
         },
         [&vm] { return !vm.isVpnLoading() && vm.tunnel().state().cause().reason == TunnelReason::connectFailed; },
         {}},
        {QStringLiteral("home-zh-CN"),
         [&vm, &languages] {
             qunsetenv("NIMBREL_SIMHELPER_SCENARIO");
             languages.setLanguage(AppLanguage::zhCN);
             vm.vpnDisconnect();
         },
         [&vm] { return !vm.tunnelBusy() && vm.tunnel().state().cause().reason == TunnelReason::disconnected; },
         {}},
        {QStringLiteral("panel"),
         [panel] {
             if (panel)
                 panel->show();
         },
         [panel] { return panel && panel->isExposed(); }, panel},
    };
}
