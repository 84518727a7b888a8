#include "DevService.h"
#include "QuickFind.h"
#include "RecordingAdminPrompt.h"
#include "RecordingPrivilegedRunner.h"
#include "TestEnvironment.h"
#include "TunnelFixture.h"
#include "app/AppSwitches.h"
#include "app/AppViewModel.h"
#include "app/TokenStore.h"
#include "app/TunnelStatusText.h"
#include "i18n/LanguageManager.h"
#include "platform/InstanceChannel.h"
#include "platform/PreferenceStore.h"
#include "ui/AppShell.h"
#include "ui/AppUi.h"
#include "ui/FontWarmUp.h"
#include "ui/QmlSingletons.h"
#include "ui/TrayController.h"

#include <QApplication>
#include <QClipboard>
#include <QCoroTask>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QQmlContext>
#include <QQmlProperty>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent/QtConcurrentRun>
#include <QtQml/qqmlextensionplugin.h>

#include <QtQuickTest/quicktest.h>
#include <cmath>
#include <set>

Q_IMPORT_QML_PLUGIN(Nimbrel_UiPlugin)

using Screen = AppViewModel::Screen;

// The main window over a view model that signs in against the local service and drives the simulated
// helper: every state shown is reached as a user reaches it.
class TestMainWindow : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<DevService> m_service;
    QNetworkAccessManager m_network;
    std::unique_ptr<TunnelFixture> m_fixture;
    AppViewModel *m_vm = nullptr;
    std::unique_ptr<AppUi> m_ui;
    QQuickWindow *m_window = nullptr;

    QString textOf(const char *slotName, const char *objectName)
    {
        QQuickItem *slot = findItem(m_window, QLatin1String(slotName));
        if (!slot)
            return QStringLiteral("<no %1>").arg(QLatin1String(slotName));
        QQuickItem *item = findItem(slot, QLatin1String(objectName));
        return item ? item->property("text").toString() : QStringLiteral("<no %1>").arg(QLatin1String(objectName));
    }

    bool slotShown(const char *slotName)
    {
        QQuickItem *slot = findItem(m_window, QLatin1String(slotName));
        return slot && slot->isVisible() && qFuzzyCompare(slot->opacity(), 1.0);
    }

    // Signs in with the subscribed demo account or the free one, and waits for the home screen.
    bool signIn(bool subscribed)
    {
        const DevService::Account account = subscribed ? m_service->activeDemoAccount() : m_service->freeDemoAccount();
        m_vm->login(account.email, account.password);
        return QTest::qWaitFor([this] { return m_vm->screen() == Screen::Home && !m_vm->authLoading(); });
    }

    bool signOut()
    {
        m_vm->logout();
        return QTest::qWaitFor([this] { return m_vm->screen() == Screen::Login && !m_vm->tunnelBusy(); });
    }

    void failSignIn()
    {
        m_vm->login(m_service->activeDemoAccount().email, QStringLiteral("wrong password"));
        QTRY_VERIFY(!m_vm->authLoading() && m_vm->authError());
    }

    bool disconnect()
    {
        m_vm->vpnDisconnect();
        return QTest::qWaitFor([this] { return !m_vm->tunnelInUse() && !m_vm->tunnelBusy(); });
    }

    // Each reason with a holder, and the longest arguments the other kinds of cause carry.
    static QList<TunnelCause> everyCause()
    {
        TunnelHolder holder;
        holder.pid = 4194304;
        holder.program = QStringLiteral("nimbrel-cli");
        holder.state = QStringLiteral("connected");
        TunnelHolder left = holder;
        left.leftBehind = true;
        QList<TunnelCause> causes;
        for (int reason = 0; reason <= int(TunnelReason::runsElsewhere); ++reason)
            causes << TunnelCause(TunnelReason(reason), holder);
        causes << TunnelCause(TunnelReason::runsElsewhere, left)
               << TunnelCause(TunnelReason::launchFailed,
                              QStringLiteral("/usr/local/lib/nimbrel/nimbrel-macos: Permission denied"))
               << TunnelCause(TunnelReason::fileProblem,
                              FileProblem{FileProblem::Kind::ownedByOtherUser,
                                          QStringLiteral("/run/user/4194304/nimbrel/tunnel.lock"),
                                          QStringLiteral("nobody")})
               << TunnelCause(TunnelReason::launchFailed,
                              FileProblem{FileProblem::Kind::changedWhileCreated, QStringLiteral("/tmp/fw.log"), {}});
        return causes;
    }

    // The card's and the panel's button (hidden, on or off, its label, a spinner) and the tray's icon and
    // tunnel entry, as one line each.
    static QStringList buttonsAndTray(QQuickItem *hero, QQuickItem *panelButton, TrayController &tray)
    {
        QStringList seen;
        for (QQuickItem *button : {hero, panelButton}) {
            const QString name = button->objectName();
            QQuickItem *label = findItem(button, name + QStringLiteral("Label"));
            seen << QStringLiteral("%1 %2 %3%4")
                        .arg(name,
                             QLatin1String(!button->isVisible()  ? "hidden"
                                           : button->isEnabled() ? "on"
                                                                 : "off"),
                             label->isVisible() ? label->property("text").toString() : QString(),
                             QLatin1String(findItem(button, name + QStringLiteral("Spinner"))->isVisible() ? "+spin"
                                                                                                           : ""));
        }
        emit tray.contextMenu()->aboutToShow();
        const QAction *action = tray.contextMenu()->actions().first();
        seen << QStringLiteral("tray %1 %2 %3")
                    .arg(tray.iconName(), action->text(), QLatin1String(action->isEnabled() ? "on" : "off"));
        return seen;
    }

private slots:
    void initTestCase()
    {
        TestEnvironment::useTemporaryLanguageStore();
        m_service = std::make_unique<DevService>(DevService::Options{});
        QVERIFY(m_service->listen());
        m_fixture = std::make_unique<TunnelFixture>(
            QStringLiteral("normal"), std::chrono::milliseconds(10), [this](AppEnvironment &environment) {
                environment.apiBaseUrl = m_service->baseUrl();
                environment.network = &m_network;
                environment.intervals.cancelDelay = std::chrono::milliseconds(150);
                environment.intervals.reconnectWaits = {std::chrono::seconds(20)};
            });
        m_vm = &m_fixture->vm();
        m_ui = std::make_unique<AppUi>(*m_vm);
        m_window = m_ui->mainWindow();
        QVERIFY2(m_window, qPrintable(m_ui->errorString()));
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
    }

    void cleanupTestCase()
    {
        m_ui.reset();
        AppViewModelForeign::instance = nullptr;
        m_fixture.reset();
    }

    void init() { LanguageManager::shared().setLanguage(AppLanguage::en); }

    // A failed test leaves the next one signed out, disconnected, on the sign-in screen.
    void cleanup()
    {
        if (m_vm->tunnelInUse())
            QVERIFY(disconnect());
        if (m_vm->screen() != Screen::Login)
            QVERIFY(signOut());
    }

    // Each time the main window is shown again (from the tray), it restores a stored session.
    void reopeningTheWindowRestoresTheStoredSession()
    {
        const DevService::Account account = m_service->freeDemoAccount();
        const ApiService api({&m_network, m_service->baseUrl(), std::chrono::seconds(5), 1 << 24});
        const AuthResponse auth = QCoro::waitFor(api.login(account.email, account.password)).value();
        TokenStore(m_fixture->env.preferences).save(auth.accessToken, auth.refreshToken, account.email, std::nullopt);
        m_window->hide();
        QCOMPARE(m_vm->userEmail(), std::nullopt);
        m_window->show();
        QTRY_COMPARE(m_vm->userEmail(), std::optional(account.email));
        QTRY_COMPARE(m_vm->screen(), Screen::Home);
        QVERIFY(signOut());
    }

    // The window shows the screen of the moment; its texts follow a language switch, while the status
    // keeps the language it was made in.
    void screensFollowTheSessionAndTheLanguage()
    {
        QTRY_VERIFY(slotShown("loginSlot"));
        QCOMPARE(textOf("loginSlot", "loginTitle"), QStringLiteral("Login"));
        // The sign-in screen draws its gradient over the window's colour, from #0A0D1F at the top.
        QCOMPARE(m_window->grabWindow().pixelColor(2, 0), QColor(10, 13, 31));
        m_vm->showRegistration();
        QTRY_VERIFY(slotShown("registerSlot") && !slotShown("loginSlot"));
        QCOMPARE(textOf("registerSlot", "createAccountTitle"), QStringLiteral("Create Account"));
        QVERIFY(signIn(false));
        QTRY_VERIFY(slotShown("homeSlot"));
        QCOMPARE(textOf("homeSlot", "subscriptionBadge"), QStringLiteral("● Not Subscribed"));
        QCOMPARE(textOf("homeSlot", "vpnStatusText"), QStringLiteral("Disconnected"));

        LanguageManager::shared().setLanguage(AppLanguage::ru);
        QTRY_COMPARE(textOf("homeSlot", "subscriptionBadge"), QStringLiteral("● Нет подписки"));
        QCOMPARE(textOf("homeSlot", "vpnStatusText"), QStringLiteral("Disconnected"));

        // The next status change is made in the new language.
        m_fixture->offer(m_fixture->node);
        m_fixture->prompt->holdOpen();
        m_vm->vpnConnect();
        QTRY_COMPARE(textOf("homeSlot", "vpnStatusText"), QStringLiteral("Подключение…"));
        QVERIFY(m_fixture->prompt->waitUntilShown());
        m_vm->vpnDisconnect(); // closes the dialog
        QVERIFY(m_fixture->waitIdle());

        // A screen built after the switch starts in the new language, and follows the next switch.
        QVERIFY(signOut());
        m_vm->showRegistration();
        QTRY_VERIFY(slotShown("registerSlot"));
        QCOMPARE(textOf("registerSlot", "createAccountTitle"), QStringLiteral("Создать аккаунт"));
        LanguageManager::shared().setLanguage(AppLanguage::zhTW);
        QTRY_COMPARE(textOf("registerSlot", "createAccountTitle"), QStringLiteral("建立帳號"));
        LanguageManager::shared().setLanguage(AppLanguage::en);
        m_vm->showSignIn();
    }

    // The button waits for both fields and, while a request runs, cannot be pressed (the bindings follow
    // the flag at once: no wait between the call and the checks). The error box clears on typing and on
    // moving between the two screens; only signing out leaves the home screen.
    void theSignInScreenAnswersTheUser()
    {
        QTRY_VERIFY(slotShown("loginSlot"));
        QQuickItem *slot = findItem(m_window, QStringLiteral("loginSlot"));
        QQuickItem *button = findItem(slot, QStringLiteral("loginButton"));
        QQuickItem *spinner = findItem(slot, QStringLiteral("loginButtonSpinner"));
        QQuickItem *face = findItem(slot, QStringLiteral("loginButtonFace"));
        QQuickItem *box = findItem(slot, QStringLiteral("errorBox"));
        QVERIFY(button && spinner && face && box);
        QVERIFY(!button->isEnabled() && !box->isVisible()); // empty fields
        findItem(slot, QStringLiteral("emailField"))->forceActiveFocus();
        QTest::keyClick(m_window, Qt::Key_A);
        findItem(slot, QStringLiteral("passwordFieldInput"))->forceActiveFocus();
        QTest::keyClick(m_window, Qt::Key_B);
        QVERIFY(button->isEnabled() && !spinner->isVisible());
        QCOMPARE(face->opacity(), 1.0);
        m_vm->login(QStringLiteral("a@b.c"), QStringLiteral("b"));
        QVERIFY(m_vm->authLoading() && !button->isEnabled() && spinner->isVisible());
        QCOMPARE(face->opacity(), 0.5);
        QTRY_VERIFY(!m_vm->authLoading() && m_vm->authError());
        QVERIFY(button->isEnabled() && box->isVisible());
        QCOMPARE(textOf("loginSlot", "errorText"), *m_vm->authError());

        findItem(slot, QStringLiteral("emailField"))->forceActiveFocus();
        QTest::keyClick(m_window, Qt::Key_A);
        QCOMPARE(m_vm->authError(), std::nullopt);
        QTRY_VERIFY(!box->isVisible());
        failSignIn();
        QMetaObject::invokeMethod(findItem(slot, QStringLiteral("registerNowButton")), "clicked");
        QCOMPARE(m_vm->authError(), std::nullopt);
        QCOMPARE(m_vm->screen(), Screen::Register);
        failSignIn();
        QTRY_VERIFY(slotShown("registerSlot"));
        QMetaObject::invokeMethod(findItem(m_window, QStringLiteral("loginNowButton")), "clicked");
        QCOMPARE(m_vm->authError(), std::nullopt);
        QCOMPARE(m_vm->screen(), Screen::Login);
        QVERIFY(signIn(false));
        m_vm->showRegistration();
        m_vm->showSignIn();
        QCOMPARE(m_vm->screen(), Screen::Home);
    }

    // The fonts set up ahead of the sign-in screen are the ones its texts and fields are drawn in: a size
    // or weight missing from the list costs the first frame a font engine, one too many costs a worker.
    void theSignInScreensFontsAreTheOnesSetUpAhead()
    {
        QTRY_VERIFY(slotShown("loginSlot"));
        const auto named = [](const QFont &font) {
            return QStringLiteral("%1 %2px weight %3%4")
                .arg(font.family())
                .arg(font.pixelSize())
                .arg(font.weight())
                .arg(QLatin1String(font.italic() ? " italic" : ""));
        };
        QStringList drawn;
        const std::function<void(QQuickItem *)> collect = [&](QQuickItem *item) {
            if (const QVariant font = item->property("font"); font.metaType() == QMetaType::fromType<QFont>())
                drawn << named(font.value<QFont>());
            for (QQuickItem *child : item->childItems())
                collect(child);
        };
        collect(findItem(m_window, QStringLiteral("loginSlot")));
        QStringList ahead;
        for (const QFont &font : FontWarmUp::signInScreen())
            ahead << named(font);
        drawn.removeDuplicates();
        drawn.sort();
        ahead.sort();
        QVERIFY(drawn.size() > 5);
        QCOMPARE(drawn, ahead);
    }

    // Each phase of the tunnel, reached as a user reaches it: what the card's button, the panel's
    // button, the tray icon and the tray menu's tunnel entry show. The connect button spins while a
    // start runs; once the start may be cancelled it is pressable again and says so; between the
    // attempts to start a lost tunnel again it says Disconnect. The panel offers Connect only at home.
    void everyPhaseShowsOnTheButtonsTheTrayAndThePanel()
    {
        std::unique_ptr<QQuickWindow> panel = m_ui->createWindow(QStringLiteral("MenuBarPanel.qml"));
        QVERIFY2(panel, qPrintable(m_ui->errorString()));
        QQuickItem *panelButton = findItem(panel.get(), QStringLiteral("panelConnectButton"));
        QVERIFY(signIn(true));
        QTRY_VERIFY(slotShown("homeSlot"));
        QQuickItem *hero = findItem(findItem(m_window, QStringLiteral("homeSlot")), QStringLiteral("connectButton"));
        QVERIFY(hero && panelButton);
        TrayController tray(*m_vm);
        const auto shown = [&] { return buttonsAndTray(hero, panelButton, tray); };
        const auto expect = [](const char *hero, const char *panelButton, const char *tray) {
            return QStringList{QLatin1String(hero), QLatin1String(panelButton), QLatin1String(tray)};
        };
        QCOMPARE(shown(),
                 expect("connectButton on Connect", "panelConnectButton on Connect", "tray shield Connect on"));

        m_fixture->prompt->holdOpen(); // starting: the administrator's dialog is open
        m_vm->vpnConnect();
        QCOMPARE(shown(),
                 expect("connectButton off +spin", "panelConnectButton off +spin", "tray shield Disconnect off"));
        QVERIFY(m_fixture->prompt->waitUntilShown());
        QTRY_VERIFY(m_vm->canCancelConnect());
        QCOMPARE(shown(), expect("connectButton on Cancel+spin", "panelConnectButton on Cancel+spin",
                                 "tray shield Disconnect on"));
        m_vm->vpnDisconnect(); // closes the dialog
        QVERIFY(m_fixture->waitIdle());

        m_fixture->installRights();
        m_vm->vpnConnect();
        QTRY_VERIFY(m_vm->isConnected());
        QCOMPARE(shown(), expect("connectButton on Disconnect", "panelConnectButton on Disconnect",
                                 "tray shield.fill Disconnect on"));
        QVERIFY(disconnect());

        // Lost, and waiting to start again.
        m_fixture->setScenario(QStringLiteral("die-later"));
        QVERIFY(AppSwitches(m_fixture->env.preferences, QString()).set(AppSwitches::Switch::autoReconnect, true));
        m_vm->vpnConnect();
        QTRY_VERIFY_WITH_TIMEOUT(m_vm->isReconnecting() && !m_vm->isVpnLoading(), 10000);
        QCOMPARE(shown(), expect("connectButton on Disconnect", "panelConnectButton on Disconnect",
                                 "tray shield Disconnect on"));
        QVERIFY(disconnect());
        QVERIFY(AppSwitches(m_fixture->env.preferences, QString()).set(AppSwitches::Switch::autoReconnect, false));
        m_fixture->setScenario(QStringLiteral("normal"));

        // Signed out, the panel keeps both dividers around its (empty) middle.
        QVERIFY(signOut());
        QCOMPARE(shown().mid(1), (QStringList{QStringLiteral("panelConnectButton hidden "),
                                              QStringLiteral("tray shield Connect off")}));
        for (const char *divider : {"panelDivider1", "panelDivider2"})
            QVERIFY(findItem(panel.get(), QLatin1String(divider))->isVisible());
    }

    // Connected to Tokyo, a click on Singapore: the card names Tokyo (the tunnel's node) with its time,
    // Tokyo's row carries the mark (in its accessible name too), and Singapore is selected for the next
    // connect. The mode switch shows a mode another process stored.
    void theCardNamesTheRunningNodeAndTheListMarksIt()
    {
        QVERIFY(signIn(true));
        QTRY_VERIFY(slotShown("homeSlot") && !m_vm->nodesLoading());
        NodeInfo tokyo = m_fixture->node;
        tokyo.id = 1;
        tokyo.name = QStringLiteral("Tokyo 01");
        NodeInfo singapore = tokyo;
        singapore.id = 2;
        singapore.name = QStringLiteral("Singapore 01");
        m_vm->nodeCatalog().take(
            NodesResponse{QStringLiteral("v2"), QStringLiteral("k"), QList<NodeInfo>{tokyo, singapore}, false});
        m_vm->selectNodeById(1);
        m_vm->vpnConnect();
        QTRY_VERIFY(m_vm->isConnected());

        QQuickItem *home = findItem(m_window, QStringLiteral("homeSlot"));
        // The halos breathe while connected, between 1.0 and 1.12; they rest at 1.0 once disconnected.
        QQuickItem *card = findItem(home, QStringLiteral("vpnHeroCard"));
        std::set<qreal> scales;
        QTRY_VERIFY((scales.insert(card->property("pulseScale").toReal()), scales.size() >= 4));
        QVERIFY(*scales.begin() >= 1.0 && *scales.rbegin() <= 1.12);
        m_vm->selectNodeById(2); // what the row's click calls
        QCOMPARE(m_vm->selectedNode()->id, 2);
        QTRY_COMPARE(textOf("homeSlot", "selectedNodeText"), QStringLiteral(" \u2068Tokyo 01\u2069"));
        QTRY_VERIFY(textOf("homeSlot", "upTimeText").startsWith(QLatin1String("Connected for 0:0")));
        const auto marked = [home](const char *row) {
            return findItem(findItem(home, QLatin1String(row)), QStringLiteral("connectedBadge"))->isVisible();
        };
        QTRY_VERIFY(marked("node_1"));
        QVERIFY(!marked("node_2"));
        QQuickItem *tokyoRow = findItem(home, QStringLiteral("node_1_select"));
        QCOMPARE(QQmlProperty(tokyoRow, QStringLiteral("Accessible.name"), qmlContext(tokyoRow)).read().toString(),
                 QStringLiteral("Tokyo 01, load 0%, latency not measured, connected"));

        QVERIFY(disconnect());
        QCOMPARE(card->property("pulseScale").toReal(), 1.0);
        QTRY_COMPARE(textOf("homeSlot", "selectedNodeText"), QStringLiteral(" \u2068Singapore 01\u2069"));
        QVERIFY(!marked("node_1"));

        // Another process (the command-line client) stores the mode: the switch follows.
        m_vm->watchOtherProcesses();
        QQuickItem *smart = findItem(home, QStringLiteral("mode_smart"));
        QVERIFY(!smart->property("checked").toBool());
        PreferenceStore::openFile(m_fixture->env.settingsFile())
            ->setString(QStringLiteral("routingMode"), QStringLiteral("smart"));
        QTRY_VERIFY(smart->property("checked").toBool());
        m_vm->chooseRoutingMode(RoutingMode::safe);
        QTRY_VERIFY(!smart->property("checked").toBool());
        QVERIFY(signOut());
    }

    // Every status the tunnel can show, in every language, stays inside the connection card of the
    // 440-wide window (wrapped, with the lock, the mode switch and the button in place) and is shown
    // whole in the 240-wide panel. The texts are put in place of the bound ones.
    void everyStatusFitsTheCardAndThePanel()
    {
        std::unique_ptr<QQuickWindow> panel = m_ui->createWindow(QStringLiteral("MenuBarPanel.qml"));
        QVERIFY2(panel, qPrintable(m_ui->errorString()));
        // With node rows below the cards, as a subscriber sees it, the selected one named with 10,000 letters.
        QVERIFY(signIn(true));
        QTRY_VERIFY(slotShown("homeSlot") && !m_vm->nodes().isEmpty());
        NodeInfo longName = m_fixture->node;
        longName.id = 99; // a new id: selected as the list's first online node
        longName.name = QString(10000, u'W');
        m_vm->nodeCatalog().take(
            NodesResponse{QStringLiteral("v2"), QStringLiteral("k"), QList<NodeInfo>{longName}, false});
        QQuickItem *card = findItem(m_window, QStringLiteral("vpnHeroCard"));
        panel->show();
        QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
        QQuickItem *cardText = findItem(card, QStringLiteral("vpnStatusText"));
        QQuickItem *panelText = findItem(panel.get(), QStringLiteral("panelStatusText"));
        QVERIFY(cardText && panelText);
        // Within the frame's width, and a text no wider than its item.
        const auto inside = [](QQuickItem *item, QQuickItem *frame, qreal frameWidth) {
            const QRectF box = item->mapRectToItem(frame, QRectF(0, 0, item->width(), item->height()));
            const qreal drawn = item->property("contentWidth").isValid() ? item->property("contentWidth").toReal() : 0;
            return box.left() >= 0 && box.right() <= frameWidth + 0.5 && drawn <= item->width() + 0.5;
        };
        const auto fits = [&] {
            for (const char *name :
                 {"vpnStatusText", "selectedNodeText", "lockEmblem", "routingModeSwitch", "connectButton"}) {
                if (!inside(findItem(card, QLatin1String(name)), card, card->width()))
                    return false;
            }
            // and the page has not scrolled the card's top edge away while the status grew
            QQuickItem *page = findItem(m_window, QStringLiteral("homeScroll"));
            if (card->mapToItem(page, QPointF(0, 0)).y() < 0)
                return false;
            return inside(card, m_window->contentItem(), m_window->width()) && card->height() < m_window->height() &&
                   inside(panelText, panel->contentItem(), panel->width()) &&
                   !panelText->property("truncated").toBool();
        };
        LanguageManager &languages = LanguageManager::shared();
        const QList<TunnelCause> causes = everyCause();
        TunnelState tunnel;
        tunnel.setAttempt(TunnelState::Attempt{3, 3});
        for (const AppLanguage language : AppLanguages::all()) {
            languages.setLanguage(language);
            for (const TunnelCause &cause : causes) {
                tunnel.setCause(cause);
                const QString status = TunnelStatusText::of(tunnel);
                cardText->setProperty("text", status);
                panelText->setProperty("text", status);
                QVERIFY(QQuickTest::qWaitForPolish(m_window));
                QVERIFY(QQuickTest::qWaitForPolish(panel.get()));
                QVERIFY2(fits(), qPrintable(status));
            }
        }
        languages.setLanguage(AppLanguage::en);
        QVERIFY(signOut());
    }

    // Later launches and the command-line client reach the running app through the shell's channel:
    // "raise" brings the window to the front, "disconnect" stops a running or starting tunnel, and
    // only then. Quitting happens once, after the tunnel's clean-up.
    void theShellAnswersLaterLaunchesAndQuitsOnce()
    {
        QList<int> exits;
        AppShell shell(*m_vm, *m_ui, *m_window, [&exits](int code) { exits.append(code); });
        QTemporaryDir folder;
        InstanceChannel channel(folder.filePath(QStringLiteral("s.sock")));
        QCOMPARE(channel.claim(), InstanceChannel::Role::Primary);
        shell.start(channel);
        // The windows carry the app's icon (our own where the icon theme lacks it) once the window is up.
        QTRY_VERIFY(!QGuiApplication::windowIcon().isNull());
        QVERIFY(!m_window->icon().pixmap(16, 16).isNull());
        const auto ask = [&channel](const QByteArray &request) {
            // From another thread: the answer is given on this one.
            QFuture<std::optional<QByteArray>> answer =
                QtConcurrent::run([path = channel.path(), request] { return InstanceChannel::send(path, request); });
            if (!QTest::qWaitFor([&answer] { return answer.isFinished(); }, 5000))
                return QByteArray("<no answer>");
            return answer.result().value_or("<none>");
        };
        QCOMPARE(ask("raise"), QByteArray("raised"));
        QVERIFY(m_window->isVisible());
        QCOMPARE(ask("disconnect"), QByteArray("not-connected"));
        QCOMPARE(ask("bogus"), QByteArray("unknown-request"));
        m_fixture->installRights();
        m_fixture->offer(m_fixture->node);
        m_vm->vpnConnect();
        QTRY_VERIFY(m_vm->isConnected());
        QCOMPARE(ask("disconnect"), QByteArray("disconnecting"));
        QVERIFY(!m_vm->isConnected());
        QTRY_VERIFY(!m_vm->tunnelBusy());

        QMetaObject::invokeMethod(m_window, "quitRequested"); // Ctrl+Q in the window
        shell.quitCleanly(3);
        QTRY_COMPARE(exits, QList<int>{0});
        QTest::qWait(50); // no second exit follows
        QCOMPARE(exits, QList<int>{0});
    }

    // The panel opens beside a tray on any edge of a 1280×800 screen (less a 28-pixel taskbar there)
    // and lies wholly inside what the taskbar leaves, never over the icon.
    void thePanelOpensInsideTheScreenWhereverTheTrayIs_data()
    {
        QTest::addColumn<QRect>("icon");
        QTest::addColumn<QRect>("available");
        QTest::newRow("top, right corner") << QRect(1250, 2, 24, 24) << QRect(0, 28, 1280, 772);
        QTest::newRow("top, left corner") << QRect(4, 2, 24, 24) << QRect(0, 28, 1280, 772);
        QTest::newRow("bottom, right corner") << QRect(1250, 774, 24, 24) << QRect(0, 0, 1280, 772);
        QTest::newRow("left, bottom") << QRect(2, 770, 24, 24) << QRect(28, 0, 1252, 800);
        QTest::newRow("right, top") << QRect(1254, 4, 24, 24) << QRect(0, 0, 1252, 800);
    }
    void thePanelOpensInsideTheScreenWhereverTheTrayIs()
    {
        QFETCH(QRect, icon);
        QFETCH(QRect, available);
        const QSize panel(240, 330);
        const QRect placed(TrayController::panelPosition(icon, panel, available), panel);
        QVERIFY2(available.contains(placed), qPrintable(QStringLiteral("%1,%2").arg(placed.x()).arg(placed.y())));
        QVERIFY(!placed.intersects(icon));
    }

    void trayMenuAndNotifications()
    {
        // Both colours stand out at least 3:1 on a white panel and on a black one.
        const auto luminance = [](const QColor &colour) {
            const auto channel = [](qreal c) { return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
            return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) +
                   0.0722 * channel(colour.blueF());
        };
        for (const QColor &colour : {TrayController::kConnectedColor, TrayController::kDisconnectedColor}) {
            QVERIFY(1.05 / (luminance(colour) + 0.05) >= 3.0);
            QVERIFY((luminance(colour) + 0.05) / 0.05 >= 3.0);
        }
        TrayController tray(*m_vm);
        QCOMPARE(tray.iconColor(), TrayController::kDisconnectedColor);
        // The right-click menu: the tunnel's action, then the two fixed entries.
        QMenu *menu = tray.contextMenu();
        const auto texts = [menu] {
            emit menu->aboutToShow();
            QStringList shown;
            for (const QAction *action : menu->actions())
                shown << action->text();
            return shown;
        };
        QCOMPARE(texts(), (QStringList{QStringLiteral("Connect"), QStringLiteral("Copy support report"), QString(),
                                       QStringLiteral("Start at login"), QStringLiteral("Connect on start"),
                                       QStringLiteral("Reconnect when lost"), QString(), QStringLiteral("Open Nimbrel"),
                                       QStringLiteral("Quit Nimbrel")}));
        LanguageManager::shared().setLanguage(AppLanguage::ru);
        QCOMPARE(texts().first(), LanguageManager::shared().localized(QStringLiteral("connect_button")));
        LanguageManager::shared().setLanguage(AppLanguage::en);
        // The switches are checkable, off until turned on, and kept in the preference file.
        QAction *connectOnStart = menu->actions().at(4);
        QVERIFY(connectOnStart->isCheckable() && !connectOnStart->isChecked());
        connectOnStart->trigger();
        QCOMPARE(m_fixture->env.preferences->string(QStringLiteral("connectOnLaunch")),
                 std::optional(QStringLiteral("true")));
        connectOnStart->trigger();
        QCOMPARE(m_fixture->env.preferences->string(QStringLiteral("connectOnLaunch")),
                 std::optional(QStringLiteral("false")));
        // The report goes to the clipboard, made off the main thread, with no secret in it.
        QVERIFY(signIn(true));
        const QString token = *m_vm->accessToken();
        QSignalSpy copied(&tray, &TrayController::supportReportCopied);
        menu->actions().at(1)->trigger();
        QTRY_COMPARE(copied.count(), 1);
        const QString report = QGuiApplication::clipboard()->text();
        QVERIFY2(report.startsWith(QLatin1String("Nimbrel support report")), qPrintable(report));
        QVERIFY(!report.contains(token));
        QVERIFY(signOut());
        // Offscreen there is no tray: the app then lives in its main window alone.
        QVERIFY(!tray.trayAvailable());

        // A lost tunnel is worth a notification only while the main window is not in front.
        tray.setMainWindow(m_window);
        m_window->requestActivate();
        QTRY_VERIFY(m_window->isActive());
        emit m_vm->tunnelProblem(QStringLiteral("Connection lost"));
        QCOMPARE(tray.lastNotification(), QString());
        m_window->hide();
        emit m_vm->tunnelProblem(QStringLiteral("Connection lost"));
        QCOMPARE(tray.lastNotification(), QStringLiteral("Connection lost"));
        m_window->show();
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
