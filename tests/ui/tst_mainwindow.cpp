#include "QuickFind.h"
#include "RecordingPrivilegedRunner.h"
#include "TestEnvironment.h"
#include "TestableViewModel.h"
#include "app/AppViewModel.h"
#include "app/TokenStore.h"
#include "i18n/LanguageManager.h"
#include "i18n/LanguageTranslator.h"
#include "platform/InstanceChannel.h"
#include "platform/PreferenceStore.h"
#include "ui/AppShell.h"
#include "ui/AppUi.h"
#include "ui/QmlSingletons.h"
#include "ui/TrayController.h"

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QQmlApplicationEngine>
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

Q_IMPORT_QML_PLUGIN(Nimbrel_UiPlugin)

class TestMainWindow : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TestEnvironment> m_env;
    std::unique_ptr<TestableViewModel> m_vm;
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

private slots:
    void initTestCase()
    {
        TestEnvironment::useTemporaryLanguageStore();
        m_env = std::make_unique<TestEnvironment>();
        m_vm = std::make_unique<TestableViewModel>(m_env->environment());
        m_ui = std::make_unique<AppUi>(*m_vm);
        m_window = m_ui->mainWindow();
        QVERIFY2(m_window, qPrintable(m_ui->errorString()));
        QVERIFY(m_window);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
    }

    void cleanupTestCase()
    {
        m_ui.reset();
        AppViewModelForeign::instance = nullptr;
    }

    void windowIsTheNamedDarkMainWindow()
    {
        QCOMPARE(m_window->objectName(), QStringLiteral("main"));
        QCOMPARE(m_window->title(), QStringLiteral("Nimbrel"));
        QCOMPARE(m_window->width(), 440);
        QCOMPARE(m_window->height(), 680);
        QCOMPARE(m_window->color(), QColor(8, 11, 24));
        // The sign-in screen draws its gradient over the window's colour, from #0A0D1F at the top.
        const QImage frame = m_window->grabWindow();
        QCOMPARE(frame.pixelColor(2, 0), QColor(10, 13, 31));
    }

    // Each time the main window is shown again (from the tray), it restores a stored session.
    void reopeningTheWindowRestoresTheStoredSession()
    {
        TokenStore(m_env->preferences)
            .save(QStringLiteral("a"), QStringLiteral("r"), QStringLiteral("back@nimbrel.test"), std::nullopt);
        m_window->hide();
        QCOMPARE(m_vm->userEmail(), std::nullopt);
        m_window->show();
        QTRY_COMPARE(m_vm->userEmail(), std::optional(QStringLiteral("back@nimbrel.test")));
        QTRY_VERIFY(!m_vm->authLoading());
        TokenStore(m_env->preferences).clear();
        m_vm->resetState();
        m_vm->setScreen(AppViewModel::Screen::Login);
    }

    void rootViewFollowsTheScreen()
    {
        QTRY_VERIFY(slotShown("loginSlot"));
        QCOMPARE(textOf("loginSlot", "loginTitle"), QStringLiteral("Login"));
        m_vm->setScreen(AppViewModel::Screen::Register);
        QTRY_VERIFY(slotShown("registerSlot"));
        QTRY_VERIFY(!slotShown("loginSlot"));
        QCOMPARE(textOf("registerSlot", "createAccountTitle"), QStringLiteral("Create Account"));
        m_vm->setScreen(AppViewModel::Screen::Home);
        QTRY_VERIFY(slotShown("homeSlot"));
        QCOMPARE(textOf("homeSlot", "subscriptionBadge"), QStringLiteral("● Not Subscribed"));
        m_vm->setScreen(AppViewModel::Screen::Login);
        QTRY_VERIFY(slotShown("loginSlot"));
    }

    void textsRedrawOnLanguageSwitchButTheStatusKeepsItsText()
    {
        m_vm->setScreen(AppViewModel::Screen::Home);
        QTRY_VERIFY(slotShown("homeSlot"));
        QCOMPARE(textOf("homeSlot", "subscriptionBadge"), QStringLiteral("● Not Subscribed"));
        QCOMPARE(textOf("homeSlot", "vpnStatusText"), QStringLiteral("Disconnected"));

        LanguageManager::shared().setLanguage(AppLanguage::ru);
        QTRY_COMPARE(textOf("homeSlot", "subscriptionBadge"), QStringLiteral("● Нет подписки"));
        QCOMPARE(textOf("homeSlot", "vpnStatusText"), QStringLiteral("Disconnected"));

        // The next status change is made in the new language.
        m_vm->tunnel().stateForTests().setCause(TunnelReason::connecting);
        QTRY_COMPARE(textOf("homeSlot", "vpnStatusText"), QStringLiteral("Подключение…"));

        // A screen built after the switch starts in the new language, and follows the next switch.
        m_vm->setScreen(AppViewModel::Screen::Register);
        QTRY_VERIFY(slotShown("registerSlot"));
        QCOMPARE(textOf("registerSlot", "createAccountTitle"), QStringLiteral("Создать аккаунт"));
        LanguageManager::shared().setLanguage(AppLanguage::zhTW);
        QTRY_COMPARE(textOf("registerSlot", "createAccountTitle"), QStringLiteral("建立帳號"));
        LanguageManager::shared().setLanguage(AppLanguage::en);
        m_vm->setScreen(AppViewModel::Screen::Login);
    }

    void errorBoxClearsOnTypingAndOnNavigation()
    {
        m_vm->setScreen(AppViewModel::Screen::Login);
        QTRY_VERIFY(slotShown("loginSlot"));
        QQuickItem *slot = findItem(m_window, QStringLiteral("loginSlot"));
        QQuickItem *box = findItem(slot, QStringLiteral("errorBox"));
        QVERIFY(box);
        QVERIFY(!box->isVisible());
        m_vm->setAuthError(QStringLiteral("Invalid e-mail or password"));
        QTRY_VERIFY(box->isVisible());
        QCOMPARE(textOf("loginSlot", "errorText"), QStringLiteral("Invalid e-mail or password"));

        QQuickItem *email = findItem(slot, QStringLiteral("emailField"));
        email->forceActiveFocus();
        QTest::keyClick(m_window, Qt::Key_A);
        QCOMPARE(m_vm->authError(), std::nullopt);
        QTRY_VERIFY(!box->isVisible());

        // Navigating to the registration screen clears it too.
        m_vm->setAuthError(QStringLiteral("again"));
        QQuickItem *registerNow = findItem(slot, QStringLiteral("registerNowButton"));
        QMetaObject::invokeMethod(registerNow, "clicked");
        QCOMPARE(m_vm->authError(), std::nullopt);
        QCOMPARE(m_vm->screen(), AppViewModel::Screen::Register);
        // And back.
        m_vm->setAuthError(QStringLiteral("again"));
        QTRY_VERIFY(slotShown("registerSlot"));
        QMetaObject::invokeMethod(findItem(m_window, QStringLiteral("loginNowButton")), "clicked");
        QCOMPARE(m_vm->authError(), std::nullopt);
        QCOMPARE(m_vm->screen(), AppViewModel::Screen::Login);
        // Only signing out leaves the home screen.
        m_vm->setScreen(AppViewModel::Screen::Home);
        m_vm->showRegistration();
        m_vm->showSignIn();
        QCOMPARE(m_vm->screen(), AppViewModel::Screen::Home);
        m_vm->setScreen(AppViewModel::Screen::Login);
    }

    void signInButtonWaitsWhileARequestRuns()
    {
        m_vm->setScreen(AppViewModel::Screen::Login);
        QTRY_VERIFY(slotShown("loginSlot"));
        QQuickItem *slot = findItem(m_window, QStringLiteral("loginSlot"));
        QQuickItem *button = findItem(slot, QStringLiteral("loginButton"));
        QQuickItem *spinner = findItem(slot, QStringLiteral("loginButtonSpinner"));
        QVERIFY(!button->isEnabled()); // empty fields
        findItem(slot, QStringLiteral("emailField"))->forceActiveFocus();
        QTest::keyClick(m_window, Qt::Key_A);
        findItem(slot, QStringLiteral("passwordFieldInput"))->forceActiveFocus();
        QTest::keyClick(m_window, Qt::Key_B);
        QQuickItem *face = findItem(slot, QStringLiteral("loginButtonFace"));
        QVERIFY(button->isEnabled());
        QCOMPARE(face->opacity(), 1.0);
        QVERIFY(!spinner->isVisible());
        m_vm->setAuthLoading(true);
        QVERIFY(!button->isEnabled());
        QCOMPARE(face->opacity(), 0.5); // it cannot be pressed while the request runs
        QVERIFY(spinner->isVisible());
        m_vm->setAuthLoading(false);
        QVERIFY(button->isEnabled());
    }

    // The connect button spins while a start runs; once the start may be cancelled it is pressable again
    // and says so. Between the attempts to start a lost tunnel again it says Disconnect. The tray panel
    // offers a running tunnel's stop on every screen, Connect only at home.
    void connectButtonsOfferCancelAndThePanelAlwaysOffersTheStop()
    {
        std::unique_ptr<QQuickWindow> panel = m_ui->createWindow(QStringLiteral("MenuBarPanel.qml"));
        QVERIFY2(panel, qPrintable(m_ui->errorString()));
        QQuickItem *panelButton = findItem(panel.get(), QStringLiteral("panelConnectButton"));
        QVERIFY(panelButton);
        TunnelState &tunnel = m_vm->tunnel().stateForTests();

        m_vm->setScreen(AppViewModel::Screen::Home);
        QTRY_VERIFY(slotShown("homeSlot"));
        QQuickItem *hero = findItem(findItem(m_window, QStringLiteral("homeSlot")), QStringLiteral("connectButton"));
        QVERIFY(hero);
        tunnel.setLoading(true);
        for (QQuickItem *button : {hero, panelButton}) {
            QVERIFY(!button->isEnabled());
            QVERIFY(!findItem(button, button->objectName() + QStringLiteral("Label"))->isVisible());
        }
        tunnel.setCanCancel(true);
        for (QQuickItem *button : {hero, panelButton}) {
            QVERIFY(button->isEnabled());
            QQuickItem *label = findItem(button, button->objectName() + QStringLiteral("Label"));
            QVERIFY(label->isVisible());
            QCOMPARE(label->property("text").toString(), QStringLiteral("Cancel"));
            QVERIFY(findItem(button, button->objectName() + QStringLiteral("Spinner"))->isVisible());
        }
        tunnel.setLoading(false);
        tunnel.setCanCancel(false);

        // Waiting to start a lost tunnel again: Disconnect, pressable, on every screen.
        tunnel.setReconnecting(true);
        m_vm->setScreen(AppViewModel::Screen::Login);
        for (QQuickItem *button : {hero, panelButton}) {
            QVERIFY(button->isEnabled());
            QCOMPARE(button->property("text").toString(), QStringLiteral("Disconnect"));
        }
        QVERIFY(panelButton->isVisible());
        tunnel.setReconnecting(false);

        QVERIFY(!panelButton->isVisible());
        // Signed out, the panel keeps both dividers around its (empty) middle.
        for (const char *divider : {"panelDivider1", "panelDivider2"})
            QVERIFY(findItem(panel.get(), QLatin1String(divider))->isVisible());
        tunnel.setConnected(true);
        QVERIFY(panelButton->isVisible());
        QCOMPARE(panelButton->property("text").toString(), QStringLiteral("Disconnect"));
        tunnel.setConnected(false);
        QVERIFY(!panelButton->isVisible());
    }

    // Every status the tunnel can show, in every language, stays inside the connection card of the
    // 440-wide window (wrapped, with the lock, the mode switch and the button in place) and is shown
    // whole in the 240-wide panel.
    // Connected to Tokyo, a click on Singapore: the card names Tokyo (the tunnel's node) with its time,
    // Tokyo's row carries the mark (in its accessible name too), and Singapore is selected for the next
    // connect. The mode switch shows a mode another process stored.
    void theCardNamesTheRunningNodeAndTheListMarksIt()
    {
        NodeInfo tokyo;
        tokyo.id = 1;
        tokyo.name = QStringLiteral("Tokyo 01");
        tokyo.status = QStringLiteral("ONLINE");
        NodeInfo singapore = tokyo;
        singapore.id = 2;
        singapore.name = QStringLiteral("Singapore 01");
        m_vm->setSubscriptionStatus(QStringLiteral("ACTIVE"));
        m_vm->nodeCatalog().take(
            NodesResponse{QStringLiteral("v"), QStringLiteral("k"), QList<NodeInfo>{tokyo, singapore}, false});
        m_vm->selectNodeById(1);
        m_vm->setScreen(AppViewModel::Screen::Home);
        QTRY_VERIFY(slotShown("homeSlot"));
        TunnelState &tunnel = m_vm->tunnel().stateForTests();
        tunnel.setNode(tokyo);
        tunnel.setUpSince(QDateTime::currentDateTimeUtc().addSecs(-65));
        tunnel.setConnected(true);
        tunnel.setCause(TunnelReason::connected);

        QQuickItem *home = findItem(m_window, QStringLiteral("homeSlot"));
        m_vm->selectNodeById(2); // what the row's click calls
        QCOMPARE(m_vm->selectedNode()->id, 2);
        QTRY_COMPARE(textOf("homeSlot", "selectedNodeText"), QStringLiteral(" Tokyo 01"));
        QTRY_VERIFY(textOf("homeSlot", "upTimeText").startsWith(QLatin1String("Connected for 1:0")));
        const auto marked = [home](const char *row) {
            return findItem(findItem(home, QLatin1String(row)), QStringLiteral("connectedBadge"))->isVisible();
        };
        QVERIFY(marked("node_1"));
        QVERIFY(!marked("node_2"));
        QQuickItem *tokyoRow = findItem(home, QStringLiteral("node_1_select"));
        QCOMPARE(QQmlProperty(tokyoRow, QStringLiteral("Accessible.name"), qmlContext(tokyoRow)).read().toString(),
                 QStringLiteral("Tokyo 01, connected"));

        tunnel.setConnected(false);
        tunnel.setUpSince(std::nullopt);
        tunnel.setNode(std::nullopt);
        tunnel.setCause(TunnelReason::disconnected);
        QTRY_COMPARE(textOf("homeSlot", "selectedNodeText"), QStringLiteral(" Singapore 01"));
        QVERIFY(!marked("node_1"));

        // Another process (the command-line client) stores the mode: the switch follows.
        m_vm->watchOtherProcesses();
        QQuickItem *smart = findItem(home, QStringLiteral("mode_smart"));
        QVERIFY(!smart->property("checked").toBool());
        PreferenceStore::openFile(m_env->settingsFile())->setString(QStringLiteral("routingMode"), QStringLiteral("smart"));
        QTRY_VERIFY(smart->property("checked").toBool());
        m_vm->chooseRoutingMode(RoutingMode::safe);
        QTRY_VERIFY(!smart->property("checked").toBool());
    }

    void everyStatusFitsTheCardAndThePanel()
    {
        std::unique_ptr<QQuickWindow> panel = m_ui->createWindow(QStringLiteral("MenuBarPanel.qml"));
        QVERIFY2(panel, qPrintable(m_ui->errorString()));
        // With node rows below the cards, as a subscriber sees it.
        m_vm->setSubscriptionStatus(QStringLiteral("ACTIVE"));
        NodeInfo node;
        node.id = 1;
        node.name = QStringLiteral("Tokyo 01");
        node.status = QStringLiteral("ONLINE");
        m_vm->nodeCatalog().take(NodesResponse{QStringLiteral("v"), QStringLiteral("k"), QList<NodeInfo>{node}, false});
        m_vm->setScreen(AppViewModel::Screen::Home);
        QTRY_VERIFY(slotShown("homeSlot"));
        QQuickItem *card = findItem(m_window, QStringLiteral("vpnHeroCard"));
        panel->show();
        QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
        QQuickItem *panelText = findItem(panel.get(), QStringLiteral("panelStatusText"));
        QVERIFY(card && panelText);
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
            return inside(card, m_window->contentItem(), m_window->width()) &&
                   inside(panelText, panel->contentItem(), panel->width()) &&
                   !panelText->property("truncated").toBool();
        };
        LanguageManager &languages = LanguageManager::shared();
        TunnelState &tunnel = m_vm->tunnel().stateForTests();
        for (const AppLanguage language : AppLanguages::all()) {
            languages.setLanguage(language);
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
            tunnel.setAttempt(TunnelState::Attempt{3, 3});
            for (const TunnelCause &cause : causes) {
                tunnel.setCause(cause);
                QVERIFY(QQuickTest::qWaitForPolish(m_window));
                QVERIFY(QQuickTest::qWaitForPolish(panel.get()));
                QVERIFY2(fits(), qPrintable(m_vm->vpnStatus()));
            }
            tunnel.setAttempt(std::nullopt);
        }
        languages.setLanguage(AppLanguage::en);
        tunnel.setCause(TunnelReason::notConnected);
        m_vm->nodeCatalog().clear();
        m_vm->setSubscriptionStatus(std::nullopt);
    }

    // Later launches and the command-line client reach the running app through the shell's channel:
    // "raise" brings the window to the front, "disconnect" stops a running or starting tunnel, and
    // only then. Quitting happens once, after the tunnel's clean-up.
    void theShellAnswersLaterLaunchesAndQuitsOnce()
    {
        QList<int> exits;
        AppShell shell(*m_vm, *m_ui, *m_window, [&exits](int code) { exits.append(code); });
        // The windows carry the app's icon (our own where the icon theme lacks it).
        QVERIFY(!QGuiApplication::windowIcon().isNull());
        QVERIFY(!m_window->icon().pixmap(16, 16).isNull());
        QTemporaryDir folder;
        InstanceChannel channel(folder.filePath(QStringLiteral("s.sock")));
        QCOMPARE(channel.claim(), InstanceChannel::Role::Primary);
        shell.start(channel);
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
        m_vm->tunnel().stateForTests().setConnected(true);
        QCOMPARE(ask("disconnect"), QByteArray("disconnecting"));
        QVERIFY(!m_vm->isConnected());
        QTRY_VERIFY(!m_vm->tunnelBusy());

        shell.quitCleanly(3);
        shell.quitCleanly(0);
        QTRY_COMPARE(exits, QList<int>{3});
        QTest::qWait(50);
        QCOMPARE(exits, QList<int>{3});
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

    void trayIconFollowsTheConnection()
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
        QCOMPARE(tray.iconName(), QStringLiteral("shield"));
        QCOMPARE(tray.iconColor(), TrayController::kDisconnectedColor);
        m_vm->tunnel().stateForTests().setLoading(true);
        QCOMPARE(tray.iconName(), QStringLiteral("shield"));
        m_vm->tunnel().stateForTests().setConnected(true);
        QCOMPARE(tray.iconName(), QStringLiteral("shield.fill"));
        QCOMPARE(tray.iconColor(), TrayController::kConnectedColor);
        m_vm->tunnel().stateForTests().setConnected(false);
        m_vm->tunnel().stateForTests().setLoading(false);
        QCOMPARE(tray.iconName(), QStringLiteral("shield"));
        // The right-click menu: the tunnel's action (as the language says, Connect only at home),
        // then the two fixed entries.
        QMenu *menu = tray.contextMenu();
        const auto texts = [menu] {
            emit menu->aboutToShow();
            QStringList shown;
            for (const QAction *action : menu->actions())
                shown << action->text();
            return shown;
        };
        m_vm->setScreen(AppViewModel::Screen::Login);
        QCOMPARE(texts(), (QStringList{QStringLiteral("Connect"), QStringLiteral("Copy support report"), QString(),
                                       QStringLiteral("Start at login"), QStringLiteral("Connect on start"),
                                       QStringLiteral("Reconnect when lost"), QString(), QStringLiteral("Open Nimbrel"),
                                       QStringLiteral("Quit Nimbrel")}));
        // The switches are checkable, off until turned on, and kept in the preference file.
        QAction *connectOnStart = menu->actions().at(4);
        QVERIFY(connectOnStart->isCheckable() && !connectOnStart->isChecked());
        connectOnStart->trigger();
        QCOMPARE(m_env->preferences->string(QStringLiteral("connectOnLaunch")), std::optional(QStringLiteral("true")));
        connectOnStart->trigger();
        QCOMPARE(m_env->preferences->string(QStringLiteral("connectOnLaunch")), std::optional(QStringLiteral("false")));
        // The report goes to the clipboard, made off the main thread, with no secret in it.
        m_vm->setAccessToken(QStringLiteral("secret-access-token-4711"));
        QSignalSpy copied(&tray, &TrayController::supportReportCopied);
        menu->actions().at(1)->trigger();
        QTRY_COMPARE(copied.count(), 1);
        const QString report = QGuiApplication::clipboard()->text();
        QVERIFY2(report.startsWith(QLatin1String("Nimbrel support report")), qPrintable(report));
        QVERIFY(!report.contains(QLatin1String("secret-access-token-4711")));
        m_vm->setAccessToken(std::nullopt);
        QVERIFY(!menu->actions().first()->isEnabled());
        LanguageManager::shared().setLanguage(AppLanguage::ru);
        m_vm->tunnel().stateForTests().setConnected(true);
        QCOMPARE(texts().first(), LanguageManager::shared().localized(QStringLiteral("disconnect_button")));
        QVERIFY(menu->actions().first()->isEnabled());
        LanguageManager::shared().setLanguage(AppLanguage::en);
        m_vm->tunnel().stateForTests().setConnected(false);
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
