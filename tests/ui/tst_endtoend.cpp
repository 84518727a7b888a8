#include "DevService.h"
#include "QuickFind.h"
#include "RecordingAdminPrompt.h"
#include "TestEnvironment.h"
#include "app/AppViewModel.h"
#include "i18n/LanguageManager.h"
#include "platform/PreferenceStore.h"
#include "ui/AppUi.h"
#include "ui/QmlSingletons.h"

#include <QApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QQuickWindow>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

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
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
