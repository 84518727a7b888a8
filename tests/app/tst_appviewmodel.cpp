#include "RecordingPrivilegedRunner.h"
#include "ScriptedServer.h"
#include "TestEnvironment.h"
#include "app/AppViewModel.h"
#include "i18n/LanguageManager.h"
#include "platform/PreferenceStore.h"

#include <QDir>
#include <QFile>
#include <QMetaProperty>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

void writeFile(const QString &path, const QByteArray &content,
               QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner)
{
    QVERIFY(TestEnvironment::writeFile(path, content, permissions));
}

NodeInfo node(qint64 id)
{
    NodeInfo info;
    info.id = id;
    info.name = QStringLiteral("Node %1").arg(id);
    info.host = QStringLiteral("10.0.0.%1").arg(id);
    info.port = 443;
    info.status = QStringLiteral("ONLINE");
    return info;
}

// Signs in against a server that answers every request with these tokens (the account's load then
// fails, and the session goes on).
void signInWithToken(AppViewModel &vm, ScriptedServer &server, const QString &token)
{
    server.answerWith(200, QStringLiteral(R"({"user":{"id":"u1","email":"a@example.org"},"accessToken":"%1",)"
                                          R"("refreshToken":"r"})")
                               .arg(token)
                               .toUtf8());
    vm.login(QStringLiteral("a@example.org"), QStringLiteral("password"));
    QTRY_COMPARE(vm.accessToken(), std::optional(token));
}

AppEnvironment served(TestEnvironment &env, const ScriptedServer &server)
{
    AppEnvironment environment = env.environment();
    environment.apiBaseUrl = server.baseUrl();
    environment.webSiteUrl = QUrl(QStringLiteral("https://nimbrel.example"));
    return environment;
}

} // namespace

class TestAppViewModel : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { TestEnvironment::useTemporaryLanguageStore(); }

    void init() { LanguageManager::shared().setLanguage(AppLanguage::en); }

    void statusStartsInTheStoredLanguage()
    {
        LanguageManager::shared().setLanguage(AppLanguage::ru);
        TestEnvironment env;
        const AppViewModel vm(env.environment());
        QCOMPARE(vm.vpnStatus(), QStringLiteral("Отключён"));
    }

    void assignmentsNotifyEvenWhenUnchanged()
    {
        TestEnvironment env;
        AppViewModel vm(env.environment());
        QSignalSpy error(&vm, &AppViewModel::authErrorChanged);
        vm.clearAuthError();
        vm.clearAuthError();
        QCOMPARE(error.count(), 2);
        TunnelState tunnel;
        QSignalSpy status(&tunnel, &TunnelState::statusChanged);
        QSignalSpy connected(&tunnel, &TunnelState::connectedChanged);
        tunnel.setCause(tunnel.cause());
        tunnel.setConnected(false);
        QCOMPARE(status.count(), 1);
        QCOMPARE(connected.count(), 1);
    }

    void optionalFieldsReachQmlAsNullOrValues()
    {
        TestEnvironment env;
        AppViewModel vm(env.environment());
        QVERIFY(!vm.property("authError").isValid());
        QVERIFY(!vm.property("selectedNode").isValid());
        vm.nodeCatalog().take(NodesResponse{QStringLiteral("v"), QStringLiteral("k"), QList<NodeInfo>{node(7)}, false});
        QCOMPARE(vm.property("selectedNode").value<NodeInfo>().id, 7);
        vm.pingNodeById(7);
        QTRY_VERIFY(vm.pingResults().contains(7));
        QCOMPARE(vm.property("pingResults").toMap().value(QStringLiteral("7")).toLongLong(), vm.pingResults().value(7));
    }

    void routingModeReadsTheStoreEveryTime_data()
    {
        QTest::addColumn<QVariant>("stored"); // invalid: nothing stored
        QTest::addColumn<AppViewModel::RoutingMode>("expected");
        QTest::newRow("absent") << QVariant() << AppViewModel::RoutingMode::safe;
        QTest::newRow("smart") << QVariant(QStringLiteral("smart")) << AppViewModel::RoutingMode::smart;
        QTest::newRow("safe") << QVariant(QStringLiteral("safe")) << AppViewModel::RoutingMode::safe;
        QTest::newRow("Smart") << QVariant(QStringLiteral("Smart")) << AppViewModel::RoutingMode::safe;
        QTest::newRow("SMART") << QVariant(QStringLiteral("SMART")) << AppViewModel::RoutingMode::safe;
        QTest::newRow("padded") << QVariant(QStringLiteral(" smart")) << AppViewModel::RoutingMode::safe;
        QTest::newRow("trailing") << QVariant(QStringLiteral("smart ")) << AppViewModel::RoutingMode::safe;
        QTest::newRow("empty") << QVariant(QString()) << AppViewModel::RoutingMode::safe;
        QTest::newRow("other") << QVariant(QStringLiteral("split")) << AppViewModel::RoutingMode::safe;
    }

    void routingModeReadsTheStoreEveryTime()
    {
        QFETCH(QVariant, stored);
        QFETCH(AppViewModel::RoutingMode, expected);
        TestEnvironment env;
        const AppViewModel vm(env.environment());
        if (stored.isValid())
            env.preferences->setString(QStringLiteral("routingMode"), stored.toString());
        QCOMPARE(vm.routingMode(), expected);
    }

    void routingModeWritesTheRawValueAtOnce()
    {
        TestEnvironment env;
        AppViewModel vm(env.environment());
        const auto otherProcess = PreferenceStore::openFile(env.settingsFile());
        vm.chooseRoutingMode(AppViewModel::RoutingMode::smart);
        QCOMPARE(otherProcess->string(QStringLiteral("routingMode")), std::optional(QStringLiteral("smart")));
        // Changed behind the view model's back (the command-line client): the next read sees it.
        otherProcess->setString(QStringLiteral("routingMode"), QStringLiteral("safe"));
        QCOMPARE(vm.routingMode(), AppViewModel::RoutingMode::safe);
        vm.chooseRoutingModeByName(QStringLiteral("bogus"));
        QCOMPARE(otherProcess->string(QStringLiteral("routingMode")), std::optional(QStringLiteral("safe")));
        vm.chooseRoutingModeByName(QStringLiteral("smart"));
        QCOMPARE(vm.routingModeName(), QStringLiteral("smart"));
    }

    void subscribeUrlCarriesTheTokenAsStored()
    {
        TestEnvironment env;
        ScriptedServer server;
        AppViewModel vm(served(env, server));
        QCOMPARE(vm.subscribeUrl(), QString()); // no token: nothing to open
        signInWithToken(vm, server, QStringLiteral("tok+en/="));
        QCOMPARE(vm.subscribeUrl(), QStringLiteral("https://nimbrel.example/en?autoToken=tok+en/="));
        signInWithToken(vm, server, QStringLiteral("bad token with spaces"));
        QCOMPARE(vm.subscribeUrl(), QString()); // not a valid URL: the button does nothing
    }

    // Counted as a reader counts characters: accents and emoji modifiers are part of their letter.
    void aNewPasswordNeedsEightCharacters_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("longEnough");
        QTest::newRow("7 digits") << "1234567" << false;
        QTest::newRow("8 digits") << "12345678" << true;
        QTest::newRow("7 digits and an accented letter") << "1234567é" << true;
        QTest::newRow("7 combined accents") << QString(QStringLiteral("e\u0301")).repeated(7) << false;
        QTest::newRow("8 combined accents") << QString(QStringLiteral("e\u0301")).repeated(8) << true;
        QTest::newRow("7 emoji with modifiers") << QString(QStringLiteral("👍🏽")).repeated(7) << false;
        QTest::newRow("empty") << QString() << false;
    }
    void aNewPasswordNeedsEightCharacters()
    {
        QFETCH(QString, password);
        QFETCH(bool, longEnough);
        QCOMPARE(AppViewModel::passwordLongEnough(password), longEnough);
    }

    // A clean-up script an earlier smart tunnel left is run (once, its output discarded) and goes with
    // the gateway file; without one nothing runs and the file stays. Recovering never waits for the
    // clean-up: the runner holds it until after recoverLeftovers has returned.
    void leftoversAreCleanedUpWithoutWaiting_data()
    {
        QTest::addColumn<bool>("script");
        QTest::newRow("a script left") << true;
        QTest::newRow("no script") << false;
    }
    void leftoversAreCleanedUpWithoutWaiting()
    {
        QFETCH(bool, script);
        TestEnvironment env;
        if (script)
            writeFile(env.tunnelPaths.cleanupScript, "#!/bin/sh\nexit 0\n");
        writeFile(env.tunnelPaths.gateway, "192.0.2.1\n");
        env.runner->holdCalls();
        TunnelController tunnel(env.environment().tunnelSettings());
        QCOMPARE(tunnel.recoverLeftovers(),
                 script ? TunnelController::Recovery::CleaningUp : TunnelController::Recovery::Nothing);
        QCOMPARE(env.runner->waitForCalls(1, script ? 5000 : 50), script);
        QCOMPARE(QFile::exists(env.tunnelPaths.cleanupScript), script); // not gone before it has run
        env.runner->release();
        QTRY_VERIFY(!tunnel.isBusy());
        QVERIFY(!env.runner->heldCallTimedOut());
        QStringList calls;
        for (const RecordingPrivilegedRunner::Call &call : env.runner->calls())
            calls << call.arguments.mid(1).join(u' ') +
                         (call.output == PrivilegedRunner::Output::Discard ? "" : " (kept)");
        QCOMPARE(calls, script ? QStringList{QStringLiteral("smart-cleanup")} : QStringList());
        QVERIFY(!QFile::exists(env.tunnelPaths.cleanupScript));
        QCOMPARE(QFile::exists(env.tunnelPaths.gateway), !script);
        QCOMPARE(tunnel.state().phase(), TunnelPhase::disconnected);
    }

    // The renewal's address carries the access token: the opener (xdg-open, open) is handed only the
    // path of a private page that forwards to it, so the token reaches no command line and no log; a
    // browser that cannot be opened is said, with or without an opener.
    void theRenewalReachesTheBrowserThroughAPrivatePage()
    {
        static QByteArray messages;
        messages.clear();
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &text) { messages += text.toUtf8() + '\n'; });
        const auto restore = qScopeGuard([previous] { qInstallMessageHandler(previous); });
        TestEnvironment env;
        const QString opener = env.path(QStringLiteral("xdg-open"));
        writeFile(opener,
                  "#!/bin/sh\nprintf '%s\\n' \"$@\" >\"$0.args\"\ncat \"$1\" >\"$0.page\"\n"
                  "stat -c %a \"$1\" >\"$0.mode\"\necho \"no browser for $1\" >&2\nexit 3\n",
                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        ScriptedServer server;
        AppEnvironment environment = served(env, server);
        environment.browserOpener = opener;
        AppViewModel vm(environment);
        const QByteArray token = "NMBSECRET-token-4711";
        signInWithToken(vm, server, QString::fromLatin1(token));

        vm.openSubscribePage();
        QTRY_COMPARE(vm.subscribeNotice(), std::optional(QStringLiteral("Could not open a web browser")));
        const QByteArray arguments = TestEnvironment::contentOf(opener + QStringLiteral(".args"));
        QVERIFY2(arguments.startsWith(QFile::encodeName(environment.pageFolder) + "/renew-"), arguments.constData());
        QVERIFY(!arguments.contains(token));
        QVERIFY(TestEnvironment::contentOf(opener + QStringLiteral(".page"))
                    .contains("location.replace(\"https://nimbrel.example/en?autoToken=" + token + "\")"));
        QCOMPARE(TestEnvironment::contentOf(opener + QStringLiteral(".mode")), QByteArray("600\n"));
        QCOMPARE(QFileInfo(environment.pageFolder).permissions() & (QFile::ReadOther | QFile::ReadGroup),
                 QFile::Permissions());

        QVERIFY(QFile::remove(opener));
        vm.openSubscribePage(); // no opener at all
        QTRY_VERIFY(vm.subscribeNotice());
        QVERIFY(QDir(environment.pageFolder).isEmpty()); // the last page is gone with no browser to read it
        QVERIFY2(!messages.contains(token), messages.constData());
    }
};

QTEST_GUILESS_MAIN(TestAppViewModel)
#include "tst_appviewmodel.moc"
