#include "DevService.h"
#include "QuickFind.h"
#include "RecordingAdminPrompt.h"
#include "RecordingPrivilegedRunner.h"
#include "TestEnvironment.h"
#include "app/AppViewModel.h"
#include "app/AppViewModel.h"
#include "i18n/LanguageManager.h"
#include "i18n/LanguageTranslator.h"
#include "platform/PreferenceStore.h"
#include "ui/AppUi.h"
#include "ui/QmlSingletons.h"
#include "ui/TrayController.h"

#include <QApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(Nimbrel_UiPlugin)

// The real QML against the local service and the simulated helper, offscreen, driven only through
// object names with real mouse clicks and key presses.
class TestEndToEnd : public QObject {
    Q_OBJECT

private:
    TestEnvironment m_env;
    QNetworkAccessManager m_network;
    std::unique_ptr<DevService> m_service;
    std::shared_ptr<RecordingAdminPrompt> m_prompt = std::make_shared<RecordingAdminPrompt>();
    std::unique_ptr<AppViewModel> m_vm;
    std::unique_ptr<AppUi> m_ui;
    std::unique_ptr<TrayController> m_tray;
    QQuickWindow *m_window = nullptr;

    QQuickItem *item(const QString &name)
    {
        QQuickItem *found = findItem(m_window, name);
        if (!found)
            qWarning("no item named %s", qPrintable(name));
        return found;
    }

    QString text(const QString &name)
    {
        QQuickItem *found = item(name);
        return found ? found->property("text").toString() : QString();
    }

    bool shown(const QString &name)
    {
        QQuickItem *found = findItem(m_window, name);
        return found && found->isVisible();
    }

    // A screen counts as shown once its cross-fade has finished.
    bool screenShown(const QString &slotName)
    {
        QQuickItem *slot = findItem(m_window, slotName);
        return slot && slot->isVisible() && qFuzzyCompare(slot->opacity(), 1.0);
    }

    // Scrolls the home screen until the item is inside the window, then clicks its centre.
    void click(const QString &name)
    {
        QQuickItem *target = item(name);
        QVERIFY(target);
        if (QQuickItem *scroll = findItem(m_window, QStringLiteral("homeScroll")); scroll && scroll->isVisible()) {
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

    void type(const QString &name, const QString &text)
    {
        QQuickItem *field = item(name);
        QVERIFY(field);
        field->forceActiveFocus();
        for (const QChar character : text)
            QTest::keyClick(m_window, character.toLatin1());
    }

private slots:
    void initTestCase()
    {
        TestEnvironment::useTemporaryLanguageStore();
        m_service = std::make_unique<DevService>(DevService::Options{});
        QVERIFY(m_service->listen());

        const QString helper = m_env.path(QStringLiteral("nimbrel-macos"));
        QVERIFY(QFile::copy(QStringLiteral(NIMBREL_SIMHELPER_BINARY), helper));
        m_env.preferences->setString(QStringLiteral("nimbrelBinaryPath"), helper);
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
        m_tray = std::make_unique<TrayController>(*m_vm);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
    }

    void cleanupTestCase()
    {
        if (m_vm->isConnected())
            m_vm->vpnDisconnect();
        QTRY_VERIFY_WITH_TIMEOUT(!m_vm->tunnelBusy(), 10000);
        for (QNetworkReply *reply : m_network.findChildren<QNetworkReply *>())
            reply->abort();
        m_ui.reset();
        AppViewModelForeign::instance = nullptr;
    }

    void registerThenSignOut()
    {
        QTRY_VERIFY(screenShown(QStringLiteral("loginSlot")));
        click(QStringLiteral("registerNowButton"));
        QTRY_VERIFY(screenShown(QStringLiteral("registerSlot")));
        type(QStringLiteral("registerEmailField"), QStringLiteral("newcomer@example.org"));
        type(QStringLiteral("nicknameField"), QStringLiteral("newbie"));
        type(QStringLiteral("registerPasswordFieldInput"), QStringLiteral("correct-horse"));
        QVERIFY(!item(QStringLiteral("registerButton"))->isEnabled());
        type(QStringLiteral("confirmPasswordFieldInput"), QStringLiteral("correct-horse"));
        QVERIFY(item(QStringLiteral("registerButton"))->isEnabled());
        click(QStringLiteral("registerButton"));
        QTRY_VERIFY_WITH_TIMEOUT(screenShown(QStringLiteral("homeSlot")), 10000);
        QCOMPARE(text(QStringLiteral("avatarLetter")), QStringLiteral("N"));

        click(QStringLiteral("logoutButton"));
        QTRY_VERIFY_WITH_TIMEOUT(screenShown(QStringLiteral("loginSlot")), 10000);
        QCOMPARE(m_service->requestCount(QStringLiteral("/api/auth/logout")), 1);
    }

    void signInSeeNodesProbeAndSelect()
    {
        type(QStringLiteral("emailField"), QStringLiteral("  demo@nimbrel.test "));
        type(QStringLiteral("passwordFieldInput"), QStringLiteral("nimbrel-demo"));
        click(QStringLiteral("loginButton"));
        QTRY_VERIFY_WITH_TIMEOUT(screenShown(QStringLiteral("homeSlot")), 10000);
        QTRY_VERIFY(shown(QStringLiteral("nodeRows")));
        // Rows are made as they come into view: the last one exists once the page is scrolled down.
        QVERIFY(findItem(m_window, QStringLiteral("node_1")));
        QVERIFY(!findItem(m_window, QStringLiteral("node_12")));
        QQuickItem *page = item(QStringLiteral("homeScroll"));
        QVERIFY(QMetaObject::invokeMethod(page, "positionViewAtEnd"));
        QTRY_VERIFY(findItem(m_window, QStringLiteral("node_12")));
        QVERIFY(QMetaObject::invokeMethod(page, "positionViewAtBeginning"));
        QCOMPARE(text(QStringLiteral("subscriptionBadge")), QStringLiteral("● Subscribed"));

        // Probing a node that is not the selected one leaves the selection alone.
        QCOMPARE(m_vm->selectedNode()->id, 1);
        click(QStringLiteral("ping_2"));
        QQuickItem *row = item(QStringLiteral("node_2"));
        QTRY_VERIFY_WITH_TIMEOUT(!findItem(row, QStringLiteral("latencyText"))->property("text").toString().isEmpty(),
                                 5000);
        const QString latency = findItem(row, QStringLiteral("latencyText"))->property("text").toString();
        QVERIFY2(latency.endsWith(QLatin1String(" ms")) || latency == QLatin1String("Timeout"), qPrintable(latency));
        QCOMPARE(m_vm->selectedNode()->id, 1);

        click(QStringLiteral("node_2_select"));
        QCOMPARE(m_vm->selectedNode()->id, 2);
        QCOMPARE(text(QStringLiteral("selectedNodeText")), QStringLiteral("🇸🇬 Singapore 01"));

        // "Test all" probes every node; "Fastest" then selects a reachable online one (the service's
        // refusing and silent nodes time out), and the card shows it.
        click(QStringLiteral("testAllButton"));
        QTRY_VERIFY_WITH_TIMEOUT(
            m_vm->pingResults().size() == m_vm->nodes().size() && !m_vm->pingingNodes().values().contains(true), 10000);
        click(QStringLiteral("fastestButton"));
        QTRY_VERIFY(!m_vm->pickingFastest());
        const NodeInfo picked = *m_vm->selectedNode();
        QCOMPARE(picked.status, QStringLiteral("ONLINE"));
        QVERIFY(m_vm->pingResults().value(picked.id) >= 0);
        for (const NodeInfo &node : m_vm->nodes()) {
            if (node.status == QLatin1String("ONLINE") && m_vm->pingResults().value(node.id) >= 0)
                QVERIFY(m_vm->pingResults().value(node.id) >= m_vm->pingResults().value(picked.id));
        }
        QTRY_COMPARE(text(QStringLiteral("selectedNodeText")), picked.flagEmoji + QLatin1Char(' ') + picked.name);
        QVERIFY(!shown(QStringLiteral("nodesNoticeText")));
        click(QStringLiteral("node_2_select")); // as the next test expects
    }

    void connectAndDisconnect()
    {
        QCOMPARE(m_tray->iconName(), QStringLiteral("shield"));
        click(QStringLiteral("connectButton"));
        QVERIFY(m_vm->isVpnLoading());
        QTRY_VERIFY(shown(QStringLiteral("connectButtonSpinner")));
        QCOMPARE(m_tray->iconName(), QStringLiteral("shield"));
        QTRY_COMPARE_WITH_TIMEOUT(text(QStringLiteral("vpnStatusText")), QStringLiteral("Connected"), 10000);
        QCOMPARE(item(QStringLiteral("lockIcon"))->property("symbol").toString(), QStringLiteral("lock.fill"));
        QCOMPARE(m_tray->iconName(), QStringLiteral("shield.fill"));
        QCOMPARE(text(QStringLiteral("connectButton")), QStringLiteral("Disconnect"));

        click(QStringLiteral("connectButton"));
        QCOMPARE(text(QStringLiteral("vpnStatusText")), QStringLiteral("Disconnecting…"));
        QTRY_COMPARE_WITH_TIMEOUT(text(QStringLiteral("vpnStatusText")), QStringLiteral("Disconnected"), 10000);
        QCOMPARE(item(QStringLiteral("lockIcon"))->property("symbol").toString(), QStringLiteral("lock"));
        QCOMPARE(m_tray->iconName(), QStringLiteral("shield"));
    }

    void switchLanguage()
    {
        click(QStringLiteral("languageButton"));
        QTRY_VERIFY(shown(QStringLiteral("language_ru")));
        click(QStringLiteral("language_ru"));
        QTRY_COMPARE(text(QStringLiteral("connectButton")), QStringLiteral("Подключить"));
        QCOMPARE(text(QStringLiteral("subscriptionBadge")), QStringLiteral("● Подписка активна"));
        QCOMPARE(text(QStringLiteral("vpnStatusText")), QStringLiteral("Disconnected")); // until the next change
        click(QStringLiteral("connectButton"));
        QTRY_COMPARE_WITH_TIMEOUT(text(QStringLiteral("vpnStatusText")), QStringLiteral("Подключён"), 10000);
        LanguageManager::shared().setLanguage(AppLanguage::en);
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
