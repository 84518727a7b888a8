#include "DevService.h"
#include "TestEnvironment.h"
#include "TunnelFixture.h"
#include "app/AppSwitches.h"
#include "app/LaunchConnector.h"
#include "platform/FileTrust.h"
#include "platform/PreferenceStore.h"
#include "platform/SystemInfo.h"
#include "tunnel/HelperLocator.h"
#include "tunnel/ReconnectSeries.h"

#include <QCoroTask>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;

// Starting and watching the tunnel, with the real simulated helper process, the recording platform fakes
// and short intervals. Stopping it, and what other processes leave or hold: tst_tunneltakeover.
class TestTunnelControl : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { TestEnvironment::useTemporaryLanguageStore(); }

    // A start begins only with every piece sound: a node, a key, a helper, and node values the root
    // helper would not read as options, split into more words or cut short. A start refused so shows
    // why and runs nothing: no prompt, no privileged call, no helper.
    void aStartBeginsOnlyWithEveryPieceSound_data()
    {
        QTest::addColumn<QString>("piece"); // what the row changes in a sound start
        QTest::addColumn<int>("missing");   // a TunnelReason, or -1: none
        QTest::addColumn<QString>("value");
        const int invalid = int(TunnelReason::nodeInvalid);
        QTest::newRow("sound") << "" << -1 << "";
        QTest::newRow("no node") << "node" << int(TunnelReason::noNodeSelected) << "";
        QTest::newRow("no key") << "psk" << int(TunnelReason::keyNotReady) << "";
        QTest::newRow("no helper") << "helper" << int(TunnelReason::helperNotFound) << "";
        QTest::newRow("port too large") << "port" << invalid << "70000";
        QTest::newRow("negative port") << "port" << invalid << "-5";
        QTest::newRow("port zero") << "port" << invalid << "0";
        QTest::newRow("option as host") << "host" << invalid << "-oProxyCommand=touch /tmp/x";
        QTest::newRow("empty host") << "host" << invalid << "";
        QTest::newRow("space in host") << "host" << invalid << "a b";
        QTest::newRow("option as SNI") << "sni" << invalid << "--route-all";
        QTest::newRow("space in SNI") << "sni" << invalid << "a b";
        QTest::newRow("tab in SNI") << "sni" << invalid << "a\tb";
        QTest::newRow("line break in key") << "psk" << invalid << "k\nX=1";
        QTest::newRow("NUL in key") << "psk" << invalid << QStringLiteral("k") + QChar(0) + QStringLiteral("cut");
    }
    void aStartBeginsOnlyWithEveryPieceSound()
    {
        QFETCH(QString, piece);
        QFETCH(int, missing);
        QFETCH(QString, value);
        TunnelFixture fixture;
        std::optional<NodeInfo> node = fixture.node;
        const QString psk = piece == QLatin1String("psk") ? value : QStringLiteral("k");
        const QString helper = piece == QLatin1String("helper") ? value : fixture.helperPath();
        if (piece == QLatin1String("node"))
            node.reset();
        else if (piece == QLatin1String("port"))
            node->port = value.toInt();
        else if (piece == QLatin1String("host"))
            node->host = value;
        else if (piece == QLatin1String("sni"))
            node->sni = value;
        const std::optional<TunnelReason> found = TunnelController::missingPiece(node, psk, helper);
        QCOMPARE(found ? int(*found) : -1, missing);
        if (!found)
            return;

        AppViewModel &vm = fixture.vm();
        if (node)
            fixture.offer(*node, psk);
        else
            vm.nodeCatalog().clear();
        if (helper.isEmpty())
            fixture.env.preferences->setString(HelperLocator::binaryPathKey, fixture.env.path(QStringLiteral("gone")));
        vm.vpnConnect();
        const QHash<TunnelReason, QString> shown{
            {TunnelReason::noNodeSelected, QStringLiteral("Please select a node first")},
            {TunnelReason::keyNotReady, QStringLiteral("PSK not ready, please refresh nodes")},
            {TunnelReason::nodeInvalid, QStringLiteral("Node settings are invalid, please refresh nodes")},
            {TunnelReason::helperNotFound, QStringLiteral("nimbrel-macos binary not found")}};
        QCOMPARE(vm.vpnStatus(), shown.value(*found));
        QVERIFY(!vm.isVpnLoading() && fixture.waitIdle());
        QVERIFY(fixture.prompt->commands().isEmpty() && fixture.env.runner->calls().isEmpty());
        QVERIFY(fixture.helperRecord().isEmpty());
    }

    void helperGetsItsArgumentsAndEnvironment_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QVariant>("sni"); // invalid: none
        QTest::addColumn<QString>("storedMode");
        QTest::addColumn<QString>("expected"); // the control program's start
        QTest::newRow("sni, smart") << "127.0.0.1" << QVariant(QStringLiteral("sni.example")) << "smart"
                                    << "start smart 127.0.0.1:8443 sni.example";
        QTest::newRow("no sni") << "localhost" << QVariant() << "safe"
                                << "start safe localhost:8443 localhost";
        // An empty word last.
        QTest::newRow("empty sni") << "127.0.0.1" << QVariant(QString()) << "safe"
                                   << "start safe 127.0.0.1:8443 ";
        QTest::newRow("capital Smart") << "127.0.0.1" << QVariant(QStringLiteral("s")) << "Smart"
                                       << "start safe 127.0.0.1:8443 s";
        QTest::newRow("host with colon") << "::1" << QVariant(QStringLiteral("s")) << "safe"
                                         << "start safe ::1:8443 s";
    }
    void helperGetsItsArgumentsAndEnvironment()
    {
        QFETCH(QString, host);
        QFETCH(QVariant, sni);
        QFETCH(QString, storedMode);
        QFETCH(QString, expected);
        qputenv("FERNWIRE_PSK", "inherited-value");
        TunnelFixture fixture;
        fixture.installRights();
        NodeInfo node = fixture.node;
        node.host = host;
        node.sni = sni.isValid() ? std::optional(sni.toString()) : std::nullopt;
        fixture.offer(node);
        fixture.env.preferences->setString(QStringLiteral("routingMode"), storedMode);

        fixture.connectAndSettle();
        qunsetenv("FERNWIRE_PSK");
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Connected"));
        // The key goes to the control program on standard input, never among its words.
        QCOMPARE(fixture.controlCalls({QStringLiteral("start")}), QStringList{expected});
        QCOMPARE(fixture.helperRecord().value(QStringLiteral("pskSha256")).toString(),
                 QString::fromLatin1(QCryptographicHash::hash("test-psk-value", QCryptographicHash::Sha256).toHex()));
        QCOMPARE(fixture.vm().tunnelPid(), std::optional<qint32>(qint32(fixture.helperPid())));
        // The recorded server host is the text before the first ":".
        QCOMPARE(fixture.vm().connectedServerIp(), std::optional(host.section(QLatin1Char(':'), 0, 0)));
        QVERIFY(fixture.prompt->commands().isEmpty()); // rights were installed already
        fixture.disconnectAndSettle();
    }

    void rightsAreInstalledWhenMissing()
    {
        TunnelFixture fixture;
        fixture.connectAndSettle(); // first run: nothing stored
        QCOMPARE(fixture.prompt->commands().size(), 1);
        QCOMPARE(fixture.prompt->commands().first().mid(3, 5),
                 (QStringList{QStringLiteral("nimbrel-install"), fixture.helperPath(),
                              FileTrust::sha256Of(fixture.helperPath()), QString::number(::getuid()),
                              QStringLiteral("/etc/sudoers.d/nimbrel")}));
        QCOMPARE(fixture.env.preferences->string(QStringLiteral("nimbrelSetupBinaryPath")),
                 std::optional(fixture.helperPath()));
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Connected"));
        fixture.disconnectAndSettle();

        // Same stored path, but the helper was updated: root's copy is not this file, install again.
        QFile helper(fixture.helperPath());
        QVERIFY(helper.open(QIODevice::Append) && helper.write("update") == 6);
        helper.close();
        fixture.connectAndSettle();
        QCOMPARE(fixture.prompt->commands().size(), 2);
        fixture.disconnectAndSettle();
    }

    // The start's verdict, then what the status says once the helper has done what it does next (grown
    // its log or ended); an empty "later" is a helper that does nothing more. Everything written before
    // a check is read at that check, however much it is. A refused installation or a log path that is
    // not ours starts no helper.
    void monitorVerdicts_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QString>("obstacle"); // before the helper: "refused", "log folder" or none
        QTest::addColumn<QString>("status");   // "%1": the log's path
        QTest::addColumn<QString>("later");
        const QString up = QStringLiteral("Connected");
        const QString failed = QStringLiteral("Connection failed, check server and PSK");
        const QString crashed = QStringLiteral("Process exited unexpectedly");
        const QString none;
        QTest::newRow("marker") << "normal" << none << up << none;
        QTest::newRow("marker split across reads") << "split-marker" << none << up << none;
        QTest::newRow("marker and error in one read") << "marker-and-error" << none << up << none;
        // With a check only every 1.5 s, all of it comes before the first.
        QTest::newRow("an error word, 1.5 MB, then the marker") << "error-then-flood" << none << up << none;
        QTest::newRow("error word") << "error" << none << failed << none;
        QTest::newRow("exits before the marker") << "exit-early" << none << crashed << none;
        QTest::newRow("an error after the marker is not read") << "error-after-marker" << none << up << up;
        QTest::newRow("dies after the marker") << "die-later" << none << up << "Connection lost";
        QTest::newRow("installation refused") << "normal"
                                              << "refused"
                                              << "Authorization cancelled" << none;
        QTest::newRow("the log's path taken by a folder")
            << "normal"
            << "log folder"
            << "Launch failed: %1 is taken by a file that is not ours" << none;
    }
    void monitorVerdicts()
    {
        QFETCH(QString, scenario);
        QFETCH(QString, obstacle);
        QFETCH(QString, status);
        QFETCH(QString, later);
        const bool flood = scenario == QLatin1String("error-then-flood");
        TunnelFixture fixture(scenario, 10ms, [flood](AppEnvironment &environment) {
            if (flood)
                environment.intervals.monitor = 1500ms;
        });
        AppViewModel &vm = fixture.vm();
        const QString log = fixture.env.tunnelPaths.log;
        if (obstacle == QLatin1String("refused"))
            fixture.prompt->setAnswer(false);
        else
            fixture.installRights();
        if (obstacle == QLatin1String("log folder"))
            QVERIFY(QDir().mkdir(log));
        qputenv("NIMBREL_SIMHELPER_FLOOD_BYTES", QByteArray::number(1536 * 1024));
        // What comes later comes long enough after the marker that a busy machine still sees "Connected" first.
        if (!later.isEmpty())
            qputenv("NIMBREL_SIMHELPER_DELAY_MS", "300");
        QStringList problems;
        connect(&vm, &AppViewModel::tunnelProblem, this, [&](const QString &text) { problems.append(text); });
        fixture.connectAndSettle();
        QCOMPARE(vm.vpnStatus(), QString(status).replace(QLatin1String("%1"), log));
        QCOMPARE(vm.isConnected(), status == QLatin1String("Connected"));
        QCOMPARE(fixture.helperRecord().isEmpty(), !obstacle.isEmpty()); // never started
        // A failed start leaves its helper (a disconnect cleans up), and the tunnel stays claimed for it; one
        // that ended has none and frees the tunnel at once.
        const bool helperLeft = obstacle.isEmpty() && scenario != QLatin1String("exit-early");
        QCOMPARE(vm.tunnelPid().has_value(), helperLeft);
        QCOMPARE(fixture.lockState(), !helperLeft ? QString() : vm.isConnected() ? u"connected"_s : u"failed"_s);
        if (obstacle == QLatin1String("refused"))
            QCOMPARE(fixture.env.preferences->string(QStringLiteral("nimbrelSetupBinaryPath")), std::nullopt);
        if (!later.isEmpty()) {
            const qint64 logSize = QFileInfo(log).size();
            const auto pid = pid_t(fixture.helperPid());
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(log).size() > logSize || !SystemInfo::isProcessAlive(pid), 5000);
            QTRY_COMPARE(vm.vpnStatus(), later);
            // And it stays so over the next checks.
            QVERIFY(!QTest::qWaitFor([&] { return vm.vpnStatus() != later; }, 100));
            const bool lost = later != QLatin1String("Connected");
            QCOMPARE(vm.isConnected(), !lost);
            QCOMPARE(problems, lost ? QStringList{later} : QStringList{});
            QCOMPARE(vm.tunnelPid().has_value(), !lost);
        }
        fixture.disconnectAndSettle();
    }

    // With the switch on, a tunnel lost after it was up has its routes deleted and is started again with
    // what it was started with, up to three attempts; a start that never came up is not retried. Every
    // status on the way is on record. Between the attempts the one button stops the reconnecting, and so
    // do a sign-out and a quit: at once, and no attempt follows.
    void aLostTunnelIsStartedAgainOnlyWhenAsked_data()
    {
        QTest::addColumn<bool>("switchOn");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("attempts"); // the helper's scenario from the first attempt on
        QTest::addColumn<QStringList>("statuses");
        QTest::addColumn<QStringList>("problems");
        // "session": the session ends while it is up (as a forced sign-out leaves it); "disconnect",
        // "sign-out" or "quit": the user's, while the first attempt waits.
        QTest::addColumn<QString>("endedBy");
        const QString connecting = QStringLiteral("Connecting…");
        const QString up = QStringLiteral("Connected");
        const QString lost = QStringLiteral("Connection lost");
        const QString crashed = QStringLiteral("Process exited unexpectedly");
        const QString failed = QStringLiteral("Connection failed, check server and PSK");
        const auto attempt = [](int k) { return QStringLiteral("Reconnecting… (%1/3)").arg(k); };
        const QString givenUp = QStringLiteral("Reconnecting failed after 3 attempts");
        const QString none;
        QTest::newRow("off: lost stays lost")
            << false << "die-later"
            << "normal" << QStringList{connecting, up, lost} << QStringList{lost} << none;
        QTest::newRow("the first attempt comes up")
            << true << "die-later"
            << "normal" << QStringList{connecting, up, lost, attempt(1), up} << QStringList{lost} << none;
        QTest::newRow("every attempt fails")
            << true << "die-later"
            << "exit-early"
            << QStringList{connecting, up, lost, attempt(1), crashed, attempt(2), crashed, attempt(3), crashed, givenUp}
            << QStringList{lost, givenUp} << none;
        QTest::newRow("restored, but lost again before it settled")
            << true << "die-later"
            << "die-later" << QStringList{connecting, up,   lost,       attempt(1), up,   lost,   attempt(2),
                                          up,         lost, attempt(3), up,         lost, givenUp}
            << QStringList{lost, givenUp} << none;
        QTest::newRow("the session ended while it was up")
            << true << "die-later"
            << "normal" << QStringList{connecting, up, lost} << QStringList{lost} << "session";
        QTest::newRow("a failed start is not retried")
            << true << "error"
            << "normal" << QStringList{connecting, failed} << QStringList{failed} << none;
        QTest::newRow("a crashed start is not retried")
            << true << "exit-early"
            << "normal" << QStringList{connecting, crashed} << QStringList{crashed} << none;
        for (const char *how : {"disconnect", "sign-out", "quit"}) {
            QTest::addRow("%s while an attempt waits", how)
                << true << "die-later"
                << "normal" << QStringList{connecting, up, lost, attempt(1), u"Disconnecting…"_s, u"Disconnected"_s}
                << QStringList{lost} << QString::fromLatin1(how);
        }
    }

    void aLostTunnelIsStartedAgainOnlyWhenAsked()
    {
        QFETCH(bool, switchOn);
        QFETCH(QString, first);
        QFETCH(QString, attempts);
        QFETCH(QStringList, statuses);
        QFETCH(QStringList, problems);
        QFETCH(QString, endedBy);
        TunnelFixture fixture(first, 10ms, [](AppEnvironment &environment) {
            environment.intervals.reconnectWaits = {30ms, 30ms, 30ms};
        });
        fixture.installRights();
        if (switchOn)
            QVERIFY(AppSwitches(fixture.env.preferences, QString()).set(AppSwitches::Switch::autoReconnect, true));
        qputenv("NIMBREL_SIMHELPER_DELAY_MS", "300"); // a busy machine still sees "Connected" before the loss
        const QString launches = fixture.env.path(QStringLiteral("launches.log"));
        qputenv("NIMBREL_SIMHELPER_LAUNCH_LOG", QFile::encodeName(launches));
        const auto unset = qScopeGuard([] { qunsetenv("NIMBREL_SIMHELPER_LAUNCH_LOG"); });
        AppViewModel &vm = fixture.vm();
        const bool endedWhileWaiting = !endedBy.isEmpty() && endedBy != QLatin1String("session");
        QStringList seen;
        QStringList problemsSeen;
        QJsonValue firstArguments;
        bool quit = false;
        connect(&vm, &AppViewModel::vpnStatusChanged, this, [&] {
            if (seen.isEmpty() || seen.last() != vm.vpnStatus())
                seen.append(vm.vpnStatus());
            if (vm.vpnStatus() == QLatin1String("Connected") && firstArguments.isNull()) {
                firstArguments = fixture.helperRecord().value(QStringLiteral("arguments"));
                fixture.setScenario(attempts);
                vm.chooseRoutingMode(AppViewModel::RoutingMode::smart); // the next connect's, not an attempt's
                if (endedBy == QLatin1String("session"))
                    vm.tunnel().sessionEnded();
            }
            if (!endedWhileWaiting || vm.vpnStatus() != QStringLiteral("Reconnecting… (1/3)"))
                return;
            // What the button shows meanwhile: Disconnect, and it can be pressed. Still ours, and on its way
            // up again, for other processes to read.
            QVERIFY(vm.isReconnecting() && !vm.isConnected() && !vm.isVpnLoading() && vm.tunnelInUse());
            QCOMPARE(vm.vpnPhase(), TunnelPhase::connecting);
            QCOMPARE(fixture.lockState(), QStringLiteral("connecting"));
            if (endedBy == QLatin1String("disconnect"))
                vm.vpnDisconnect();
            else if (endedBy == QLatin1String("sign-out"))
                vm.logout();
            else
                vm.shutdownTunnel(5s, [&] { quit = true; });
            QVERIFY(!vm.isReconnecting());
        });
        connect(&vm, &AppViewModel::tunnelProblem, this, [&](const QString &text) { problemsSeen.append(text); });
        // Whoever waits for the tunnel to end (the command-line client does) never sees it idle before the end.
        int idleSpells = 0;
        bool inUse = false;
        for (const auto changed : {&AppViewModel::isConnectedChanged, &AppViewModel::isVpnLoadingChanged,
                                   &AppViewModel::isReconnectingChanged}) {
            connect(&vm, changed, this, [&] { idleSpells += std::exchange(inUse, vm.tunnelInUse()) && !inUse; });
        }
        vm.vpnConnect();
        QTRY_VERIFY_WITH_TIMEOUT(seen.size() >= statuses.size() && !vm.isVpnLoading() && !vm.isReconnecting(), 15000);
        QVERIFY(fixture.waitIdle());
        QVERIFY(!QTest::qWaitFor([&] { return seen.size() > statuses.size(); }, 150)); // longer than a wait
        QCOMPARE(seen, statuses);
        QCOMPARE(problemsSeen, problems);
        const bool up = statuses.last() == QLatin1String("Connected");
        QCOMPARE(vm.vpnFailed(), !up && !endedWhileWaiting); // in the error colour
        QCOMPARE(idleSpells, up ? 0 : 1);
        QCOMPARE(quit, endedBy == QLatin1String("quit"));
        const bool retried = statuses.contains(QStringLiteral("Reconnecting… (1/3)"));
        const qsizetype attemptsMade = statuses.filter(QStringLiteral("Reconnecting… (")).size() - endedWhileWaiting;
        QCOMPARE(TestEnvironment::contentOf(launches).count('\n'), 1 + attemptsMade);
        if (attemptsMade > 0) // the attempts start what the lost tunnel was started with
            QCOMPARE(fixture.helperRecord().value(QStringLiteral("arguments")), firstArguments);
        // The routes of each lost tunnel go before the next attempt (and once more with the user's stop); a
        // start that never came up leaves them.
        QCOMPARE(fixture.controlCalls({QStringLiteral("routes")}).size(),
                 retried ? statuses.count(QStringLiteral("Connection lost")) + endedWhileWaiting : 0);
        fixture.disconnectAndSettle();
    }

    // A restored tunnel has its attempts back once it has stayed up for the settle time, not before; after
    // the last attempt the series ends.
    void aRestoredTunnelHasItsAttemptsBackOnlyOnceSettled()
    {
        ReconnectSeries series({1ms, 1ms}, 50ms);
        QSignalSpy due(&series, &ReconnectSeries::due);
        QVERIFY(series.awaitNext());
        QVERIFY(due.wait(1000));
        series.restored();
        QVERIFY(series.awaitNext()); // lost again at once: the second attempt of the same series
        QCOMPARE(series.attempt(), 2);
        QVERIFY(due.wait(1000));
        series.restored();
        QVERIFY(series.isUnderWay());
        QTRY_VERIFY(!series.isUnderWay()); // settled
        QVERIFY(series.awaitNext());
        QCOMPARE(series.attempt(), 1);
        QVERIFY(series.awaitNext());
        QVERIFY(!series.awaitNext());
        QVERIFY(!series.isUnderWay());
    }

    // Another row chosen while the tunnel runs changes the selection (the next connect's), never the node
    // the card, the panel and the client name: that stays the tunnel's own, marked in the list, with the
    // time it has been up, until it has stopped.
    void theRunningNodeStaysNamedWhileAnotherIsSelected()
    {
        TunnelFixture fixture;
        fixture.installRights();
        AppViewModel &vm = fixture.vm();
        const NodeInfo running = *vm.selectedNode();
        fixture.connectAndSettle();
        QVERIFY(vm.isConnected());
        NodeInfo other = running;
        other.id = running.id + 1;
        other.name = QStringLiteral("Singapore 01");
        vm.nodeCatalog().take(NodesResponse{QStringLiteral("v2"), vm.psk(), QList<NodeInfo>{running, other}, false});
        vm.selectNodeById(other.id);
        QCOMPARE(vm.shownNode()->id, running.id);
        QCOMPARE(vm.runningNodeId(), running.id);
        QVERIFY2(vm.upTimeText().startsWith(QLatin1String("Connected for 0:0")), qPrintable(vm.upTimeText()));
        vm.vpnDisconnect();
        QCOMPARE(vm.shownNode()->id, running.id); // "Disconnecting…" still names what is being stopped
        QTRY_COMPARE_WITH_TIMEOUT(vm.vpnStatus(), QStringLiteral("Disconnected"), 10000);
        QCOMPARE(vm.shownNode()->id, other.id);
        QCOMPARE(vm.runningNodeId(), 0);
        QCOMPARE(vm.upTimeText(), QString());
    }

    // Connect on start: once, after the stored session's sign-in has reached home with an active
    // subscription and the first list (with its key); never otherwise.
    void connectOnStartOnlyWhenEverythingIsReady_data()
    {
        QTest::addColumn<bool>("switchedOn");
        QTest::addColumn<bool>("sessionStored");
        QTest::addColumn<bool>("adopted");
        QTest::addColumn<QString>("subscription");
        QTest::addColumn<bool>("listLoaded");
        QTest::addColumn<bool>("connects");
        QTest::newRow("all ready") << true << true << false << "ACTIVE" << true << true;
        QTest::newRow("switched off") << false << true << false << "ACTIVE" << true << false;
        QTest::newRow("no stored session") << true << false << false << "ACTIVE" << true << false;
        QTest::newRow("a tunnel adopted at start") << true << true << true << "ACTIVE" << true << false;
        QTest::newRow("subscription expired") << true << true << false << "EXPIRED" << true << false;
        QTest::newRow("the list failed") << true << true << false << "ACTIVE" << false << false;
        QTest::newRow("signed out, then in by hand") << true << true << false << "ACTIVE" << true << false;
    }
    void connectOnStartOnlyWhenEverythingIsReady()
    {
        QFETCH(bool, switchedOn);
        QFETCH(bool, sessionStored);
        QFETCH(bool, adopted);
        QFETCH(QString, subscription);
        QFETCH(bool, listLoaded);
        QFETCH(bool, connects);
        // The session through the local service, the list from the fixture.
        DevService service(DevService::Options{});
        QVERIFY(service.listen());
        QNetworkAccessManager network;
        TunnelFixture fixture(QStringLiteral("normal"), 10ms, [&](AppEnvironment &environment) {
            environment.apiBaseUrl = service.baseUrl();
            environment.network = &network;
        });
        fixture.installRights();
        AppViewModel &vm = fixture.vm();
        const DevService::Account account = service.activeDemoAccount();
        if (subscription != QLatin1String("ACTIVE"))
            service.setSubscription(account.email, SubscriptionInfo{subscription, std::nullopt, std::nullopt});
        if (switchedOn)
            fixture.env.preferences->setString(QStringLiteral("connectOnLaunch"), QStringLiteral("true"));
        // Tokens the service no longer takes: the stored session ends, and the user signs in by hand.
        const bool signedOutFirst = QByteArray(QTest::currentDataTag()) == "signed out, then in by hand";
        if (sessionStored && signedOutFirst) {
            vm.tokenStore().save(QStringLiteral("stale"), QStringLiteral("stale"), account.email, std::nullopt);
        } else if (sessionStored) {
            const ApiService api({&network, service.baseUrl(), std::chrono::seconds(5), 1 << 24});
            const AuthResponse auth = QCoro::waitFor(api.login(account.email, account.password)).value();
            vm.tokenStore().save(auth.accessToken, auth.refreshToken, auth.user.email, auth.user.nickname);
        }
        const LaunchConnector connector(vm, adopted ? TunnelController::Recovery::Adopted
                                                    : TunnelController::Recovery::Nothing);
        vm.nodeCatalog().clear();
        fixture.answerLoads(listLoaded);
        if (sessionStored)
            vm.tryAutoLogin();
        if (signedOutFirst)
            QTRY_VERIFY(!vm.tokenStore().load().accessToken);
        if (!sessionStored || signedOutFirst)
            vm.login(account.email, account.password);
        QTRY_COMPARE(vm.screen(), AppViewModel::Screen::Home);
        QTRY_VERIFY(!vm.nodesLoading());
        QCOMPARE(vm.isVpnLoading(), connects);
        QCOMPARE(connector.connected(), connects);
        QVERIFY(!connector.waiting());
        if (connects) {
            QTRY_VERIFY_WITH_TIMEOUT(vm.isConnected(), 10000);
            fixture.disconnectAndSettle();
            vm.loadNodes(); // a later list never connects again
            QTRY_VERIFY(!vm.nodesLoading());
            QVERIFY(!vm.isVpnLoading() && !vm.isConnected());
        }
    }
};

QTEST_GUILESS_MAIN(TestTunnelControl)
#include "tst_tunnelcontrol.moc"
