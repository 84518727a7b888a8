#include "DevService.h"
#include "QuickFind.h"
#include "RecordingAdminPrompt.h"
#include "TestEnvironment.h"
#include "app/AppSwitches.h"
#include "app/AppViewModel.h"
#include "i18n/LanguageManager.h"
#include "nodes/NodeFilterModel.h"
#include "platform/PreferenceStore.h"
#include "ui/AppUi.h"
#include "ui/QmlSingletons.h"

#include <QApplication>
#include <QClipboard>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>
#include <QtQuickTest/quicktest.h>

Q_IMPORT_QML_PLUGIN(Nimbrel_UiPlugin)

using namespace Qt::Literals::StringLiterals;

// The real QML against the local service and the simulated helper, offscreen, driven only through
// object names with real mouse clicks and key presses. What each tunnel phase shows on the buttons and
// the tray, and how the status follows a language switch, tst_mainwindow proves on the same window.
class TestEndToEnd : public QObject {
    Q_OBJECT

private:
    TestEnvironment m_env;
    QNetworkAccessManager m_network;
    std::unique_ptr<DevService> m_service;
    std::shared_ptr<RecordingAdminPrompt> m_prompt = std::make_shared<RecordingAdminPrompt>();
    std::unique_ptr<AppViewModel> m_vm;
    std::unique_ptr<AppUi> m_ui;
    QQuickWindow *m_window = nullptr;

    static constexpr int kEmailHints = Qt::ImhEmailCharactersOnly | Qt::ImhNoAutoUppercase;
    QQuickItem *item(const char *name) { return findItem(m_window, QLatin1String(name)); }

    QString text(const char *name)
    {
        QQuickItem *found = item(name);
        return found ? found->property("text").toString() : u"<no %1>"_s.arg(QLatin1String(name));
    }

    bool shown(const char *name)
    {
        QQuickItem *found = item(name);
        return found && found->isVisible();
    }

    // A screen counts as shown once its cross-fade has finished.
    bool screenShown(const char *slotName) { return shown(slotName) && qFuzzyCompare(item(slotName)->opacity(), 1.0); }

    // Scrolls the home screen until the item is inside the window, then clicks its centre.
    void click(const char *name)
    {
        QQuickItem *target = item(name);
        QVERIFY2(target, name);
        if (QQuickItem *scroll = item("homeScroll"); scroll && scroll->isVisible()) {
            const QPointF top = target->mapToScene(QPointF(0, 0));
            if (top.y() < 60 || top.y() + target->height() > m_window->height()) {
                const qreal y = scroll->property("contentY").toReal() + top.y() - m_window->height() / 2;
                const qreal first = scroll->property("originY").toReal() - scroll->property("topMargin").toReal();
                scroll->setProperty("contentY", std::max<qreal>(first, y));
            }
        }
        const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(m_window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    }

    QString focused() const
    {
        const QQuickItem *focus = m_window->activeFocusItem();
        return focus ? focus->objectName() : u"<none>"_s;
    }

    // Presses Tab count times and names each item the keyboard lands on.
    QStringList tabStops(int count)
    {
        QStringList stops;
        for (int step = 0; step < count; ++step) {
            QTest::keyClick(m_window, Qt::Key_Tab);
            stops << focused();
        }
        return stops;
    }

    // What in box (itself included) leaves it sideways, and texts drawn wider than their item or cut short.
    static QStringList spills(QQuickItem *box)
    {
        QStringList found;
        const std::function<void(QQuickItem *)> walk = [&](QQuickItem *item) {
            if (!item->isVisible())
                return;
            const QRectF place = item->mapRectToItem(box, QRectF(0, 0, item->width(), item->height()));
            const bool text = item->inherits("QQuickText");
            if (place.left() < -0.5 || place.right() > box->width() + 0.5 ||
                (text && (item->property("contentWidth").toReal() > item->width() + 0.5 ||
                          item->property("truncated").toBool())))
                found << u"%1 %2 \"%3\" at %4..%5"_s
                             .arg(item->objectName(), QLatin1String(item->metaObject()->className()),
                                  item->property("text").toString())
                             .arg(place.left())
                             .arg(place.right());
            for (QQuickItem *child : item->childItems())
                walk(child);
        };
        walk(box);
        return found;
    }

    void keys(const char *text)
    {
        for (const char *character = text; *character; ++character)
            QTest::keyClick(m_window, *character);
    }

    void type(const char *name, const char *text)
    {
        QQuickItem *field = item(name);
        QVERIFY2(field, name);
        field->forceActiveFocus();
        for (const char *character = text; *character; ++character)
            QTest::keyClick(m_window, *character);
    }

private slots:
    void initTestCase()
    {
        TestEnvironment::useTemporaryLanguageStore();
        m_service = std::make_unique<DevService>(DevService::Options{});
        QVERIFY(m_service->listen());

        const QString helper = m_env.path(u"nimbrel-macos"_s);
        QVERIFY(QFile::copy(QStringLiteral(NIMBREL_SIMHELPER_BINARY), helper));
        m_env.preferences->setString(u"nimbrelBinaryPath"_s, helper);
        m_prompt->setHelperPath(helper);
        m_prompt->setRunner(m_env.runner);
        qputenv("NIMBREL_SIMHELPER_DELAY_MS", "50");
        qputenv("NIMBREL_SIMHELPER_MAX_LIFE_MS", "60000");

        AppEnvironment environment = m_env.environment();
        environment.apiBaseUrl = m_service->baseUrl();
        environment.network = &m_network;
        environment.platform.adminPrompt = m_prompt;
        m_vm = std::make_unique<AppViewModel>(environment);
        m_ui = std::make_unique<AppUi>(*m_vm);
        m_window = m_ui->mainWindow();
        QVERIFY2(m_window, qPrintable(m_ui->errorString()));
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
    }

    void cleanupTestCase()
    {
        if (m_vm->tunnelInUse())
            m_vm->vpnDisconnect();
        QTRY_VERIFY_WITH_TIMEOUT(!m_vm->tunnelBusy(), 10000);
        for (QNetworkReply *reply : m_network.findChildren<QNetworkReply *>())
            reply->abort();
        m_ui.reset();
        AppViewModelForeign::instance = nullptr;
    }

    void aUserRegistersSignsInPicksANodeConnectsAndSwitchesLanguage()
    {
        QTRY_VERIFY(screenShown("loginSlot"));
        click("registerNowButton");
        QTRY_VERIFY(screenShown("registerSlot"));
        type("registerEmailField", "newcomer@example.org");
        type("nicknameField", "newbie");
        type("registerPasswordFieldInput", "correct-horse");
        type("confirmPasswordFieldInput", "correct-horse");
        click("registerButton");
        QTRY_VERIFY_WITH_TIMEOUT(screenShown("homeSlot"), 10000);
        QCOMPARE(text("avatarLetter"), u"N"_s);
        click("logoutButton");
        QTRY_VERIFY_WITH_TIMEOUT(screenShown("loginSlot"), 10000);
        QCOMPARE(m_service->requestCount(u"/api/auth/logout"_s), 1);

        type("emailField", "  demo@nimbrel.test ");
        type("passwordFieldInput", "nimbrel-demo");
        click("loginButton");
        QTRY_VERIFY_WITH_TIMEOUT(screenShown("homeSlot") && shown("nodeRows"), 10000);
        QCOMPARE(text("subscriptionBadge"), u"● Subscribed"_s);

        // Rows are made as they come into view: the last one exists once the page is scrolled down. It is
        // the service's silent node, which no probe reaches.
        QVERIFY(item("node_1") && !item("node_12"));
        QVERIFY(QMetaObject::invokeMethod(item("homeScroll"), "positionViewAtEnd"));
        QTRY_VERIFY(item("node_12"));
        QCOMPARE(m_vm->selectedNode()->id, 1);
        click("node_12_select");
        QCOMPARE(m_vm->selectedNode()->id, 12);
        QCOMPARE(text("selectedNodeText"), u"🇧🇷 \u2068São Paulo 01\u2069"_s);
        QVERIFY(QMetaObject::invokeMethod(item("homeScroll"), "positionViewAtBeginning"));

        // Probing a node that is not the selected one leaves the selection alone.
        QTRY_VERIFY(item("ping_2"));
        click("ping_2");
        const auto latency = [this] { return findItem(item("node_2"), u"latencyText"_s)->property("text").toString(); };
        QTRY_VERIFY2_WITH_TIMEOUT(latency().endsWith(" ms"_L1) || latency() == "Timeout"_L1, qPrintable(latency()),
                                  5000);
        QCOMPARE(m_vm->selectedNode()->id, 12);

        // "Test all" probes every node; "Fastest" then moves the selection to a reachable online one.
        click("testAllButton");
        QTRY_VERIFY_WITH_TIMEOUT(
            m_vm->pingResults().size() == m_vm->nodes().size() && !m_vm->pingingNodes().values().contains(true), 10000);
        click("fastestButton");
        QTRY_VERIFY(!m_vm->pickingFastest());
        const NodeInfo picked = *m_vm->selectedNode();
        QCOMPARE(picked.status, u"ONLINE"_s);
        QVERIFY(m_vm->pingResults().value(picked.id) >= 0);
        QTRY_COMPARE(text("selectedNodeText"), picked.flagEmoji + u" \u2068"_s + picked.name + u'\u2069');

        click("connectButton");
        QTRY_COMPARE_WITH_TIMEOUT(text("vpnStatusText"), u"Connected"_s, 10000);
        QCOMPARE(item("lockIcon")->property("symbol").toString(), u"lock.fill"_s);
        click("connectButton");
        QCOMPARE(text("vpnStatusText"), u"Disconnecting…"_s);
        QTRY_COMPARE_WITH_TIMEOUT(text("vpnStatusText"), u"Disconnected"_s, 10000);
        QCOMPARE(item("lockIcon")->property("symbol").toString(), u"lock"_s);

        click("languageButton");
        QTRY_VERIFY(shown("language_ru"));
        click("language_ru");
        QTRY_COMPARE(text("connectButton"), u"Подключить"_s);
        LanguageManager::shared().setLanguage(AppLanguage::en);
    }

    // Without a mouse: typing starts in the e-mail field, Tab visits each control once and in order (the
    // node list is one stop), Return submits, Esc steps back, Ctrl+W and Ctrl+Q close and quit.
    void theKeyboardAloneReachesEverything()
    {
        m_window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(m_window));
        m_vm->logout();
        QTRY_VERIFY_WITH_TIMEOUT(screenShown("loginSlot"), 10000);
        QTRY_COMPARE(focused(), u"emailField"_s);
        // The language's flag, which the window draws from its second frame on.
        QCOMPARE(item("languageFlag")->property("text").toString(), LanguageManager::shared().flag());
        // Both e-mail fields ask an on-screen keyboard for an address, not a sentence.
        QCOMPARE(item("emailField")->property("inputMethodHints").toInt(), kEmailHints);
        keys("x@example.org");
        QCOMPARE(tabStops(1), QStringList{u"passwordFieldInput"_s});
        keys("password");
        QCOMPARE(tabStops(5), (QStringList{u"loginButton"_s, u"registerNowButton"_s, u"languageButton"_s,
                                           u"emailField"_s, u"passwordFieldInput"_s}));
        QCOMPARE(tabStops(2).last(), u"registerNowButton"_s);
        QTest::keyClick(m_window, Qt::Key_Return);

        QTRY_VERIFY(screenShown("registerSlot"));
        QTRY_COMPARE(focused(), u"registerEmailField"_s);
        keys("keyboard@example.org");
        QCOMPARE(tabStops(2), (QStringList{u"nicknameField"_s, u"registerPasswordFieldInput"_s}));
        keys("correct-horse");
        QCOMPARE(tabStops(1), QStringList{u"confirmPasswordFieldInput"_s});
        keys("correct-horse");
        QCOMPARE(tabStops(5), (QStringList{u"registerButton"_s, u"loginNowButton"_s, u"backButton"_s,
                                           u"languageButton"_s, u"registerEmailField"_s}));
        QCOMPARE(item("registerEmailField")->property("inputMethodHints").toInt(), kEmailHints);
        QTest::keyClick(m_window, Qt::Key_Return); // from a field, once the button is enabled
        QTRY_VERIFY_WITH_TIMEOUT(screenShown("homeSlot"), 10000);
        QCOMPARE(m_vm->userEmail(), QVariant(u"keyboard@example.org"_s));
        m_vm->logout();

        QTRY_VERIFY_WITH_TIMEOUT(screenShown("loginSlot"), 10000);
        QTRY_COMPARE(focused(), u"emailField"_s);
        keys("demo@nimbrel.test");
        QTest::keyClick(m_window, Qt::Key_Tab);
        keys("nimbrel-demo");
        QTest::keyClick(m_window, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(screenShown("homeSlot") && shown("nodeRows"), 10000);
        item("languageButton")->forceActiveFocus(Qt::TabFocusReason);
        QCOMPARE(tabStops(12),
                 (QStringList{u"settingsButton"_s, u"logoutButton"_s, u"mode_safe"_s, u"mode_smart"_s,
                              u"connectButton"_s, u"subscribeButton"_s, u"testAllButton"_s, u"fastestButton"_s,
                              u"refreshNodesButton"_s, u"nodeSearchField"_s, u"nodeListKeys"_s, u"languageButton"_s}));

        // The list: the current row starts at the selected node; Down and Up move it, Space selects, P probes.
        QCOMPARE(tabStops(11).last(), u"nodeListKeys"_s);
        QVERIFY(item("node_1")->property("keyFocused").toBool());
        const qint64 selected = m_vm->selectedNode()->id;
        QTest::keyClick(m_window, Qt::Key_Down);
        QTest::keyClick(m_window, Qt::Key_Down);
        QTest::keyClick(m_window, Qt::Key_Up);
        QTest::keyClick(m_window, Qt::Key_P);
        QVERIFY(m_vm->pingingNodes().value(2) || m_vm->pingResults().contains(2));
        QCOMPARE(m_vm->selectedNode()->id, selected);
        QTest::keyClick(m_window, Qt::Key_Space);
        QCOMPARE(m_vm->selectedNode()->id, 2);
        QVERIFY(item("node_2")->property("keyFocused").toBool() && !item("node_1")->property("keyFocused").toBool());
        QTest::keyClick(m_window, Qt::Key_End);
        QTRY_VERIFY(item("node_12") && item("node_12")->property("keyFocused").toBool()); // scrolled into view

        // The search narrows the rows as one types; Esc empties it; the selection stays.
        item("nodeSearchField")->forceActiveFocus(Qt::TabFocusReason);
        const qreal fieldAt = item("nodeSearchField")->mapToScene(QPointF()).y();
        keys("united");
        const qreal fieldNow = item("nodeSearchField")->mapToScene(QPointF()).y();
        QVERIFY2(fieldNow >= fieldAt && fieldNow < m_window->height() - 40,
                 qPrintable(QString::number(fieldNow))); // in view
        QTRY_COMPARE(m_vm->nodeRows()->count(), 3);
        QVERIFY(!shown("noMatchText"));
        keys("q");
        QTRY_VERIFY(shown("noMatchText"));
        QTest::keyClick(m_window, Qt::Key_Escape);
        QCOMPARE(item("nodeSearchField")->property("text").toString(), QString());
        QCOMPARE(m_vm->nodeRows()->count(), 12);
        QCOMPARE(m_vm->selectedNode()->id, 2);

        // The settings, from the gear: the switches, the language, the report; Esc goes back to the gear.
        item("settingsButton")->forceActiveFocus(Qt::TabFocusReason);
        QTest::keyClick(m_window, Qt::Key_Return);
        QTRY_COMPARE(focused(), u"switch_launchAtLogin"_s);
        QCOMPARE(tabStops(6), (QStringList{u"switch_connectOnLaunch"_s, u"switch_autoReconnect"_s, u"languageButton"_s,
                                           u"copyReportButton"_s, u"settingsDoneButton"_s, u"switch_launchAtLogin"_s}));
        QCOMPARE(tabStops(2).last(), u"switch_autoReconnect"_s);
        QTest::keyClick(m_window, Qt::Key_Space);
        QVERIFY(AppSwitches(m_env.preferences, QString()).isOn(AppSwitches::Switch::autoReconnect));
        QCOMPARE(item("switch_autoReconnect")->property("checked").toBool(), true);
        QTest::keyClick(m_window, Qt::Key_Space);
        QVERIFY(!AppSwitches(m_env.preferences, QString()).isOn(AppSwitches::Switch::autoReconnect));
        QCOMPARE(text("settingsEmailText"), u"demo@nimbrel.test"_s);
        QCOMPARE(tabStops(2).last(), u"copyReportButton"_s);
        QGuiApplication::clipboard()->clear();
        QTest::keyClick(m_window, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(shown("reportCopiedText"), 10000);
        QVERIFY(QGuiApplication::clipboard()->text().contains("[redacted]"_L1)); // the account, as the tray's copy
        QTest::keyClick(m_window, Qt::Key_Escape);
        QTRY_VERIFY(!item("settingsView"));
        QCOMPARE(focused(), u"settingsButton"_s);

        // Ctrl+W closes the window (the app stays in the tray); Ctrl+Q asks to quit, as the panel's button.
        QSignalSpy quit(m_window, SIGNAL(quitRequested()));
        QTest::keyClick(m_window, Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(quit.count(), 1);
        QTest::keyClick(m_window, Qt::Key_W, Qt::ControlModifier);
        QTRY_VERIFY(!m_window->isVisible());
        m_window->show();
        std::unique_ptr<QQuickWindow> panel = m_ui->createWindow(u"MenuBarPanel.qml"_s);
        panel->show();
        panel->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(panel.get()));
        QTest::keyClick(panel.get(), Qt::Key_Escape);
        QTRY_VERIFY(!panel->isVisible());
    }

    // In every language each card, header and button row keeps to its box; on a short screen the
    // connection card's button is still in view at the top of the page.
    void everyRowFitsItsBoxInEveryLanguage()
    {
        QTRY_VERIFY(screenShown("homeSlot") && shown("nodeRows"));
        QVERIFY(QMetaObject::invokeMethod(item("homeScroll"), "positionViewAtBeginning"));
        QTRY_VERIFY(item("node_1"));
        std::unique_ptr<QQuickWindow> panel = m_ui->createWindow(u"MenuBarPanel.qml"_s);
        panel->show();
        QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
        // The first thing that spills in any language, or nothing.
        const auto spilled = [&](const QStringList &boxes) {
            for (const AppLanguage language : AppLanguages::all()) {
                LanguageManager::shared().setLanguage(language);
                if (!QQuickTest::qWaitForPolish(m_window) || !QQuickTest::qWaitForPolish(panel.get()))
                    return u"not laid out"_s;
                for (const QString &name : boxes) {
                    QQuickItem *box = name == "panel"_L1 ? panel->contentItem() : findItem(m_window, name);
                    const QStringList found = box ? spills(box) : QStringList{u"missing"_s};
                    if (!found.isEmpty())
                        return name + u": "_s + found.join(u", ");
                }
            }
            return QString();
        };
        QString problem = spilled(
            {u"topBar"_s, u"vpnHeroCard"_s, u"subscriptionCard"_s, u"nodeListSection"_s, u"node_1"_s, u"panel"_s});
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        item("homeView")->setProperty("settingsShown", true);
        problem = spilled({u"settingsView"_s});
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        item("homeView")->setProperty("settingsShown", false);
        LanguageManager::shared().setLanguage(AppLanguage::en);
        for (const int height : {666, 460}) { // 2560x1440 at scale 2 with a panel; 1280x800 at 1.5
            m_window->resize(m_window->width(), height);
            QVERIFY(QMetaObject::invokeMethod(item("homeScroll"), "positionViewAtBeginning"));
            QVERIFY(QQuickTest::qWaitForPolish(m_window));
            const QRectF button =
                item("connectButton")->mapRectToScene(QRectF(QPointF(), item("connectButton")->size()));
            QVERIFY2(button.bottom() <= height, qPrintable(QString::number(button.bottom())));
        }
        m_window->resize(m_window->width(), 680);

        m_vm->logout();
        QTRY_VERIFY_WITH_TIMEOUT(screenShown("loginSlot"), 10000);
        problem = spilled({u"loginView"_s});
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        m_vm->showRegistration();
        QTRY_VERIFY(screenShown("registerSlot"));
        problem = spilled({u"registerView"_s});
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        LanguageManager::shared().setLanguage(AppLanguage::en);
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
