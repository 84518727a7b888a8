#include "DevService.h"
#include "TestEnvironment.h"
#include "TunnelFixture.h"
#include "app/AppSwitches.h"
#include "app/LaunchConnector.h"
#include "i18n/LanguageManager.h"
#include "platform/FileTrust.h"
#include "platform/HelperProcess.h"
#include "platform/PreferenceStore.h"
#include "platform/ProcessIdentity.h"
#include "platform/SystemInfo.h"
#include "tunnel/HelperLocator.h"
#include "tunnel/ReconnectSeries.h"
#include "tunnel/TunnelOwnership.h"

#include <QCoroTask>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

QStringList argumentsOf(const QJsonObject &record)
{
    QStringList list;
    for (const QJsonValue &value : record.value(QStringLiteral("arguments")).toArray())
        list.append(value.toString());
    return list;
}

// The control program's verbs asked for, with their arguments (the program's path left out).
QList<QStringList> verbCalls(const QList<RecordingPrivilegedRunner::Call> &calls, const QString &verb)
{
    QList<QStringList> found;
    for (const auto &call : calls) {
        if (call.arguments.value(1) == verb)
            found.append(call.arguments.mid(1));
    }
    return found;
}

QList<QStringList> routeCalls(const QList<RecordingPrivilegedRunner::Call> &calls)
{
    return verbCalls(calls, QStringLiteral("routes"));
}

bool ranSmartCleanup(const QList<RecordingPrivilegedRunner::Call> &calls)
{
    return !verbCalls(calls, QStringLiteral("smart-cleanup")).isEmpty();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QVERIFY(TestEnvironment::writeFile(path, content));
}

} // namespace

// The tunnel with the real simulated helper process, the recording platform fakes and short intervals.
class TestTunnelControl : public QObject {
    Q_OBJECT

private:
    // Connects and waits until the monitor has given its verdict.
    static void connectAndSettle(TunnelFixture &fixture)
    {
        fixture.vm().vpnConnect();
        QVERIFY(fixture.vm().isVpnLoading());
        QTRY_VERIFY_WITH_TIMEOUT(!fixture.vm().isVpnLoading(), 10000);
    }

    static void disconnectAndSettle(TunnelFixture &fixture)
    {
        fixture.vm().vpnDisconnect();
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Disconnecting…"));
        QTRY_COMPARE_WITH_TIMEOUT(fixture.vm().vpnStatus(), QStringLiteral("Disconnected"), 10000);
        QVERIFY(fixture.waitIdle());
    }

private slots:
    void initTestCase() { TestEnvironment::useTemporaryLanguageStore(); }

    // A start begins only with every piece sound: a node, a key, a helper, and node values the root
    // helper would not read as options, split into more words or cut short.
    void aStartBeginsOnlyWithEveryPieceSound_data()
    {
        QTest::addColumn<QString>("host"); // null: no node
        QTest::addColumn<int>("port");
        QTest::addColumn<QVariant>("sni");
        QTest::addColumn<QString>("psk");
        QTest::addColumn<QString>("helper");
        QTest::addColumn<int>("missing"); // a TunnelReason, or -1: none
        const QVariant none;
        const QString helper = QStringLiteral("/opt/nimbrel-macos");
        const int invalid = int(TunnelReason::nodeInvalid);
        QTest::newRow("sound") << "127.0.0.1" << 443 << none << "k" << helper << -1;
        QTest::newRow("no node") << QString() << 0 << none << "k" << helper << int(TunnelReason::noNodeSelected);
        QTest::newRow("no key") << "127.0.0.1" << 443 << none << "" << helper << int(TunnelReason::keyNotReady);
        QTest::newRow("no helper") << "127.0.0.1" << 443 << none << "k" << "" << int(TunnelReason::helperNotFound);
        QTest::newRow("port too large") << "127.0.0.1" << 70000 << none << "k" << helper << invalid;
        QTest::newRow("negative port") << "127.0.0.1" << -5 << none << "k" << helper << invalid;
        QTest::newRow("port zero") << "127.0.0.1" << 0 << none << "k" << helper << invalid;
        QTest::newRow("option as host") << "-oProxyCommand=touch /tmp/x" << 443 << none << "k" << helper << invalid;
        QTest::newRow("empty host") << "" << 443 << none << "k" << helper << invalid;
        QTest::newRow("space in host") << "a b" << 443 << none << "k" << helper << invalid;
        QTest::newRow("option as SNI") << "127.0.0.1" << 443 << QVariant(QStringLiteral("--route-all")) << "k"
                                       << helper << invalid;
        QTest::newRow("space in SNI") << "127.0.0.1" << 443 << QVariant(QStringLiteral("a b")) << "k" << helper
                                      << invalid;
        QTest::newRow("tab in SNI") << "127.0.0.1" << 443 << QVariant(QStringLiteral("a\tb")) << "k" << helper
                                    << invalid;
        QTest::newRow("line break in key") << "127.0.0.1" << 443 << none << "k\nX=1" << helper << invalid;
        QTest::newRow("NUL in key") << "127.0.0.1" << 443 << none << QStringLiteral("k") + QChar(0) + QStringLiteral("cut")
                                    << helper << invalid;
    }
    void aStartBeginsOnlyWithEveryPieceSound()
    {
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QVariant, sni);
        QFETCH(QString, psk);
        QFETCH(QString, helper);
        QFETCH(int, missing);
        std::optional<NodeInfo> node;
        if (!host.isNull()) {
            node = NodeInfo();
            node->host = host;
            node->port = port;
            node->sni = sni.isValid() ? std::optional(sni.toString()) : std::nullopt;
        }
        const std::optional<TunnelReason> found = TunnelController::missingPiece(node, psk, helper);
        QCOMPARE(found ? int(*found) : -1, missing);
    }

    // A start refused so runs nothing: no prompt, no privileged call, no helper.
    void aRefusedStartRunsNothing()
    {
        TunnelFixture fixture;
        NodeInfo node = fixture.node;
        node.host = QStringLiteral("-oProxyCommand=touch /tmp/x");
        fixture.offer(node);
        fixture.vm().vpnConnect();
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Node settings are invalid, please refresh nodes"));
        fixture.offer(fixture.node);
        fixture.env.preferences->setString(QStringLiteral("nimbrelBinaryPath"),
                                           fixture.env.path(QStringLiteral("missing")));
        fixture.vm().vpnConnect();
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("nimbrel-macos binary not found"));
        QCOMPARE(fixture.vm().isVpnLoading(), false);
        QVERIFY(fixture.waitIdle());
        QVERIFY(fixture.prompt->commands().isEmpty());
        QVERIFY(fixture.env.runner->calls().isEmpty());
        QVERIFY(fixture.helperRecord().isEmpty());
    }

    void helperGetsItsArgumentsAndEnvironment_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QVariant>("sni"); // invalid: none
        QTest::addColumn<QString>("storedMode");
        QTest::addColumn<QStringList>("expected"); // the control program's start, after the verb
        QTest::newRow("sni, smart") << "127.0.0.1" << QVariant(QStringLiteral("sni.example")) << "smart"
                                    << QStringList{"smart", "127.0.0.1:8443", "sni.example"};
        QTest::newRow("no sni") << "localhost" << QVariant() << "safe"
                                << QStringList{"safe", "localhost:8443", "localhost"};
        QTest::newRow("empty sni") << "127.0.0.1" << QVariant(QString()) << "safe"
                                   << QStringList{"safe", "127.0.0.1:8443", ""};
        QTest::newRow("capital Smart") << "127.0.0.1" << QVariant(QStringLiteral("s")) << "Smart"
                                       << QStringList{"safe", "127.0.0.1:8443", "s"};
        QTest::newRow("host with colon") << "::1" << QVariant(QStringLiteral("s")) << "safe"
                                         << QStringList{"safe", "::1:8443", "s"};
    }

    void helperGetsItsArgumentsAndEnvironment()
    {
        QFETCH(QString, host);
        QFETCH(QVariant, sni);
        QFETCH(QString, storedMode);
        QFETCH(QStringList, expected);
        qputenv("FERNWIRE_PSK", "inherited-value");
        TunnelFixture fixture;
        fixture.installRights();
        NodeInfo node = *fixture.vm().selectedNode();
        node.host = host;
        node.sni = sni.isValid() ? std::optional(sni.toString()) : std::nullopt;
        fixture.offer(node);
        fixture.env.preferences->setString(QStringLiteral("routingMode"), storedMode);

        connectAndSettle(fixture);
        qunsetenv("FERNWIRE_PSK");
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Connected"));
        // The key goes to the control program on standard input, never among its words.
        const QList<QStringList> starts = verbCalls(fixture.env.runner->calls(), QStringLiteral("start"));
        QCOMPARE(starts, (QList<QStringList>{QStringList{QStringLiteral("start")} + expected}));
        const QJsonObject record = fixture.helperRecord();
        QCOMPARE(record.value(QStringLiteral("pskSha256")).toString(),
                 QString::fromLatin1(QCryptographicHash::hash("test-psk-value", QCryptographicHash::Sha256).toHex()));
        QCOMPARE(fixture.vm().tunnelPid(), std::optional<qint32>(qint32(fixture.helperPid())));
        // The recorded server host is the text before the first ":".
        const QString expectedHost = host.section(QLatin1Char(':'), 0, 0);
        QCOMPARE(fixture.vm().connectedServerIp(), std::optional(expectedHost));
        QVERIFY(fixture.prompt->commands().isEmpty()); // rights were installed already
        disconnectAndSettle(fixture);
    }

    void rightsAreInstalledWhenMissing()
    {
        TunnelFixture fixture;
        connectAndSettle(fixture); // first run: nothing stored
        QCOMPARE(fixture.prompt->commands().size(), 1);
        QCOMPARE(fixture.prompt->commands().first().mid(3, 5),
                 (QStringList{QStringLiteral("nimbrel-install"), fixture.helperPath(),
                              FileTrust::sha256Of(fixture.helperPath()), QString::number(::getuid()),
                              QStringLiteral("/etc/sudoers.d/nimbrel")}));
        QCOMPARE(fixture.env.preferences->string(QStringLiteral("nimbrelSetupBinaryPath")),
                 std::optional(fixture.helperPath()));
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Connected"));
        disconnectAndSettle(fixture);

        // Same stored path, but the helper was updated: root's copy is not this file, install again.
        QFile helper(fixture.helperPath());
        QVERIFY(helper.open(QIODevice::Append) && helper.write("update") == 6);
        helper.close();
        connectAndSettle(fixture);
        QCOMPARE(fixture.prompt->commands().size(), 2);
        disconnectAndSettle(fixture);
    }

    void refusedInstallationShowsCancelled()
    {
        TunnelFixture fixture;
        fixture.prompt->setAnswer(false);
        connectAndSettle(fixture);
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Authorization cancelled"));
        QCOMPARE(fixture.vm().tunnelPid(), std::nullopt);
        QVERIFY(fixture.helperRecord().isEmpty()); // never started
        QCOMPARE(fixture.env.preferences->string(QStringLiteral("nimbrelSetupBinaryPath")), std::nullopt);
    }

    // The start's verdict, then what the status says once the helper has done what it does next (grown
    // its log or ended); an empty "later" is a helper that does nothing more.
    void monitorVerdicts_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("later");
        const QString up = QStringLiteral("Connected");
        QTest::newRow("marker") << "normal" << up << "";
        QTest::newRow("marker split across reads") << "split-marker" << up << "";
        QTest::newRow("marker and error in one read") << "marker-and-error" << up << "";
        QTest::newRow("ERROR in capitals, then the marker") << "capital-error" << up << "";
        QTest::newRow("error word") << "error"
                                    << "Connection failed, check server and PSK"
                                    << "";
        QTest::newRow("exits before the marker") << "exit-early"
                                                 << "Process exited unexpectedly"
                                                 << "";
        QTest::newRow("an error after the marker is not read") << "error-after-marker" << up << up;
        QTest::newRow("dies after the marker") << "die-later" << up << "Connection lost";
    }

    void monitorVerdicts()
    {
        QFETCH(QString, scenario);
        QFETCH(QString, status);
        QFETCH(QString, later);
        TunnelFixture fixture(scenario);
        fixture.installRights();
        // What comes later comes long enough after the marker that a busy machine still sees "Connected" first.
        if (!later.isEmpty())
            qputenv("NIMBREL_SIMHELPER_DELAY_MS", "300");
        QStringList problems;
        connect(&fixture.vm(), &AppViewModel::tunnelProblem, this, [&](const QString &text) { problems.append(text); });
        connectAndSettle(fixture);
        QCOMPARE(fixture.vm().vpnStatus(), status);
        QCOMPARE(fixture.vm().isConnected(), status == QLatin1String("Connected"));
        if (scenario == QLatin1String("exit-early"))
            QCOMPARE(fixture.vm().tunnelPid(), std::nullopt);
        if (scenario == QLatin1String("error")) // the failed start leaves its helper; a disconnect cleans up
            QVERIFY(fixture.vm().tunnelPid().has_value());
        if (!later.isEmpty()) {
            const qint64 logSize = QFileInfo(fixture.env.tunnelPaths.log).size();
            const auto pid = pid_t(fixture.helperPid());
            QTRY_VERIFY_WITH_TIMEOUT(
                QFileInfo(fixture.env.tunnelPaths.log).size() > logSize || !SystemInfo::isProcessAlive(pid), 5000);
            QTRY_COMPARE(fixture.vm().vpnStatus(), later);
            QTest::qWait(100); // and it stays so over the next checks
            QCOMPARE(fixture.vm().vpnStatus(), later);
            const bool lost = later != QLatin1String("Connected");
            QCOMPARE(fixture.vm().isConnected(), !lost);
            QCOMPARE(problems, lost ? QStringList{later} : QStringList{});
            if (lost)
                QCOMPARE(fixture.vm().tunnelPid(), std::nullopt);
        }
        disconnectAndSettle(fixture);
    }

    // With the switch on, a tunnel lost after it was up has its routes deleted and is started again with
    // what it was started with, up to three attempts; a start that never came up is not retried. Every
    // status on the way is on record.
    void aLostTunnelIsStartedAgainOnlyWhenAsked_data()
    {
        QTest::addColumn<bool>("switchOn");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("attempts"); // the helper's scenario from the first attempt on
        QTest::addColumn<QStringList>("statuses");
        QTest::addColumn<QStringList>("problems");
        QTest::addColumn<bool>("signedOutWhileUp"); // as a forced sign-out leaves it
        const QString connecting = QStringLiteral("Connecting…");
        const QString up = QStringLiteral("Connected");
        const QString lost = QStringLiteral("Connection lost");
        const QString crashed = QStringLiteral("Process exited unexpectedly");
        const QString failed = QStringLiteral("Connection failed, check server and PSK");
        const auto attempt = [](int k) { return QStringLiteral("Reconnecting… (%1/3)").arg(k); };
        const QString givenUp = QStringLiteral("Reconnecting failed after 3 attempts");
        QTest::newRow("off: lost stays lost")
            << false << "die-later"
            << "normal" << QStringList{connecting, up, lost} << QStringList{lost} << false;
        QTest::newRow("the first attempt comes up")
            << true << "die-later"
            << "normal" << QStringList{connecting, up, lost, attempt(1), up} << QStringList{lost} << false;
        QTest::newRow("every attempt fails")
            << true << "die-later"
            << "exit-early"
            << QStringList{connecting, up, lost, attempt(1), crashed, attempt(2), crashed, attempt(3), crashed, givenUp}
            << QStringList{lost, givenUp} << false;
        QTest::newRow("restored, but lost again before it settled")
            << true << "die-later"
            << "die-later"
            << QStringList{connecting, up, lost, attempt(1), up, lost, attempt(2), up, lost, attempt(3), up, lost, givenUp}
            << QStringList{lost, givenUp} << false;
        QTest::newRow("the session ended while it was up")
            << true << "die-later"
            << "normal" << QStringList{connecting, up, lost} << QStringList{lost} << true;
        QTest::newRow("a failed start is not retried")
            << true << "error"
            << "normal" << QStringList{connecting, failed} << QStringList{failed} << false;
        QTest::newRow("a crashed start is not retried")
            << true << "exit-early"
            << "normal" << QStringList{connecting, crashed} << QStringList{crashed} << false;
    }

    void aLostTunnelIsStartedAgainOnlyWhenAsked()
    {
        QFETCH(bool, switchOn);
        QFETCH(QString, first);
        QFETCH(QString, attempts);
        QFETCH(QStringList, statuses);
        QFETCH(QStringList, problems);
        QFETCH(bool, signedOutWhileUp);
        TunnelFixture fixture(first, std::chrono::milliseconds(10), [](AppEnvironment &environment) {
            environment.intervals.reconnectWaits = {std::chrono::milliseconds(30), std::chrono::milliseconds(30),
                                                    std::chrono::milliseconds(30)};
        });
        fixture.installRights();
        if (switchOn)
            QVERIFY(AppSwitches(fixture.env.preferences, QString()).set(AppSwitches::Switch::autoReconnect, true));
        qputenv("NIMBREL_SIMHELPER_DELAY_MS", "300"); // a busy machine still sees "Connected" before the loss
        const QString launches = fixture.env.path(QStringLiteral("launches.log"));
        qputenv("NIMBREL_SIMHELPER_LAUNCH_LOG", QFile::encodeName(launches));
        const auto unset = qScopeGuard([] { qunsetenv("NIMBREL_SIMHELPER_LAUNCH_LOG"); });
        AppViewModel &vm = fixture.vm();
        QStringList seen;
        QStringList problemsSeen;
        QStringList firstArguments;
        connect(&vm, &AppViewModel::vpnStatusChanged, this, [&] {
            if (seen.isEmpty() || seen.last() != vm.vpnStatus())
                seen.append(vm.vpnStatus());
            if (vm.vpnStatus() == QLatin1String("Connected") && firstArguments.isEmpty()) {
                firstArguments = argumentsOf(fixture.helperRecord());
                fixture.setScenario(attempts);
                vm.chooseRoutingMode(AppViewModel::RoutingMode::smart); // the next connect's, not an attempt's
                if (signedOutWhileUp)
                    vm.tunnel().sessionEnded();
            }
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
        QTest::qWait(150); // longer than a wait: no attempt follows
        QCOMPARE(seen, statuses);
        QCOMPARE(problemsSeen, problems);
        QCOMPARE(vm.vpnFailed(), statuses.last() != QLatin1String("Connected")); // in the error colour
        QCOMPARE(idleSpells, statuses.last() == QLatin1String("Connected") ? 0 : 1);
        const qsizetype attemptsMade = statuses.filter(QStringLiteral("Reconnecting… (")).size();
        QCOMPARE(TestEnvironment::contentOf(launches).count('\n'), 1 + attemptsMade);
        if (attemptsMade > 0) // the attempts start what the lost tunnel was started with
            QCOMPARE(argumentsOf(fixture.helperRecord()), firstArguments);
        // The routes of each lost tunnel go before the next attempt; a start that never came up leaves them.
        QCOMPARE(routeCalls(fixture.env.runner->calls()).size(),
                 attemptsMade > 0 ? statuses.count(QStringLiteral("Connection lost")) : 0);
        QVERIFY(fixture.waitIdle());
        disconnectAndSettle(fixture);
    }

    // Between the attempts the one button stops the reconnecting, and so do a sign-out and a quit: at
    // once, and no attempt follows.
    void reconnectingStopsAtOnceWhenTheUserEndsIt_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("disconnect") << "disconnect";
        QTest::newRow("sign-out") << "sign-out";
        QTest::newRow("quit") << "quit";
    }

    void reconnectingStopsAtOnceWhenTheUserEndsIt()
    {
        QFETCH(QString, how);
        const std::chrono::milliseconds wait(200);
        TunnelFixture fixture(QStringLiteral("die-later"), std::chrono::milliseconds(10),
                              [wait](AppEnvironment &environment) { environment.intervals.reconnectWaits = {wait}; });
        fixture.installRights();
        QVERIFY(AppSwitches(fixture.env.preferences, QString()).set(AppSwitches::Switch::autoReconnect, true));
        qputenv("NIMBREL_SIMHELPER_DELAY_MS", "300");
        const QString launches = fixture.env.path(QStringLiteral("launches.log"));
        qputenv("NIMBREL_SIMHELPER_LAUNCH_LOG", QFile::encodeName(launches));
        const auto unset = qScopeGuard([] { qunsetenv("NIMBREL_SIMHELPER_LAUNCH_LOG"); });
        AppViewModel &vm = fixture.vm();
        bool waited = false;
        bool quit = false;
        connect(&vm, &AppViewModel::vpnStatusChanged, this, [&] {
            if (vm.vpnStatus() != QStringLiteral("Reconnecting… (1/1)") || std::exchange(waited, true))
                return;
            // What the button shows meanwhile: Disconnect, and it can be pressed.
            QVERIFY(vm.isReconnecting() && !vm.isConnected() && !vm.isVpnLoading() && vm.tunnelInUse());
            QCOMPARE(vm.vpnPhase(), TunnelPhase::connecting);
            // Still ours, and on its way up again, for other processes to read.
            const TunnelOwnership other(fixture.env.tunnelPaths.ownerLock, QStringLiteral("nimbrel-cli"));
            QCOMPARE(other.otherHolder().value_or(TunnelOwnership::Holder()).state, QStringLiteral("connecting"));
            if (how == QLatin1String("disconnect"))
                vm.vpnDisconnect();
            else if (how == QLatin1String("sign-out"))
                vm.logout();
            else
                vm.shutdownTunnel(std::chrono::seconds(5), [&] { quit = true; });
            QVERIFY(!vm.isReconnecting());
        });
        vm.vpnConnect();
        QTRY_VERIFY_WITH_TIMEOUT(waited, 15000);
        QTRY_COMPARE(vm.vpnStatus(), QStringLiteral("Disconnected"));
        QVERIFY(fixture.waitIdle());
        QTest::qWait(int(wait.count()) * 2);
        QCOMPARE(TestEnvironment::contentOf(launches).count('\n'), 1);
        QCOMPARE(vm.vpnStatus(), QStringLiteral("Disconnected"));
        QVERIFY(!vm.tunnelInUse());
        QCOMPARE(quit, how == QLatin1String("quit"));
    }

    // A restored tunnel has its attempts back once it has stayed up for the settle time, not before; after
    // the last attempt the series ends.
    void aRestoredTunnelHasItsAttemptsBackOnlyOnceSettled()
    {
        using namespace std::chrono_literals;
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

    // Everything the helper wrote before a check is read at that check, however much it is: an error
    // word, 1.5 MB and then the marker, all before the first check, is a tunnel that came up.
    void aCheckReadsAllThatIsNewHoweverLong()
    {
        qputenv("NIMBREL_SIMHELPER_FLOOD_BYTES", QByteArray::number(1536 * 1024));
        TunnelFixture fixture(
            QStringLiteral("error-then-flood"), std::chrono::milliseconds(10),
            [](AppEnvironment &environment) { environment.intervals.monitor = std::chrono::milliseconds(1500); });
        fixture.installRights();
        connectAndSettle(fixture);
        qunsetenv("NIMBREL_SIMHELPER_FLOOD_BYTES");
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Connected"));
        disconnectAndSettle(fixture);
    }

    void staleLogIsNeverRead()
    {
        TunnelFixture fixture(QStringLiteral("silent"));
        fixture.installRights();
        writeFile(fixture.env.tunnelPaths.log, QStringLiteral("VPN 隧道已启动\n").toUtf8());
        writeFile(fixture.env.tunnelPaths.pid, "99999\n");
        fixture.vm().vpnConnect();
        QTRY_VERIFY(fixture.vm().tunnelPid().has_value());
        QTest::qWait(200);
        QCOMPARE(fixture.vm().isConnected(), false);
        QVERIFY(!TestEnvironment::contentOf(fixture.env.tunnelPaths.log)
                     .contains(QStringLiteral("VPN 隧道已启动").toUtf8()));
        QVERIFY(!QFile::exists(fixture.env.tunnelPaths.pid));
        disconnectAndSettle(fixture);
    }

    // Once the rights name another helper, the control program can no longer stop the one still
    // running from a failed start: it is stopped before the new installation.
    void anotherHelpersInstallationStopsTheOneStillRunning()
    {
        TunnelFixture fixture(QStringLiteral("error"));
        fixture.installRights();
        connectAndSettle(fixture);
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Connection failed, check server and PSK"));
        const qint64 first = fixture.helperPid();
        QVERIFY(SystemInfo::isProcessAlive(pid_t(first))); // a failed start leaves its helper running

        const QString second = fixture.env.path(QStringLiteral("second/nimbrel-macos"));
        QVERIFY(QDir().mkpath(QFileInfo(second).absolutePath()));
        QVERIFY(QFile::copy(fixture.helperPath(), second));
        QFile(second).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        fixture.env.preferences->setString(HelperLocator::binaryPathKey, second);
        fixture.prompt->setHelperPath(second);
        fixture.setScenario(QStringLiteral("normal"));
        connectAndSettle(fixture);
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Connected"));
        QCOMPARE(fixture.prompt->commands().size(), 1);
        QCOMPARE(verbCalls(fixture.env.runner->calls(), QStringLiteral("stop")),
                 (QList<QStringList>{{QStringLiteral("stop")}}));
        QTRY_VERIFY(!SystemInfo::isProcessAlive(pid_t(first)));
        disconnectAndSettle(fixture);
    }

    // A failed start leaves its helper running; the next connect stops it and deletes its routes first,
    // so there is only ever one helper, and a disconnect stops that one.
    void aFailedStartThenAReconnectLeavesOneHelper()
    {
        TunnelFixture fixture(QStringLiteral("error"));
        fixture.installRights();
        connectAndSettle(fixture);
        const qint64 first = fixture.helperPid();
        QVERIFY(SystemInfo::isProcessAlive(pid_t(first)));

        fixture.setScenario(QStringLiteral("normal"));
        connectAndSettle(fixture);
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Connected"));
        const auto calls = fixture.env.runner->calls();
        QCOMPARE(verbCalls(calls, QStringLiteral("stop")) + routeCalls(calls),
                 (QList<QStringList>{{"stop"}, {"routes", "127.0.0.1"}}));
        QVERIFY(!SystemInfo::isProcessAlive(pid_t(first)));
        const qint64 second = fixture.helperPid();
        QVERIFY(second != first && SystemInfo::isProcessAlive(pid_t(second)));
        QCOMPARE(fixture.vm().tunnelPid(), std::optional<qint32>(qint32(second)));
        disconnectAndSettle(fixture);
        QVERIFY(!SystemInfo::isProcessAlive(pid_t(second)));
    }

    // A disconnect or a quit has the control program stop the helper (killing one that ignores the
    // signal once its wait is over), and deletes its routes.
    void stoppingStopsTheHelperAndDeletesRoutes_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<bool>("quitting");
        QTest::newRow("disconnect") << "normal" << false;
        QTest::newRow("disconnect, helper ignoring the signal") << "ignore-term" << false;
        QTest::newRow("quit") << "normal" << true;
    }
    void stoppingStopsTheHelperAndDeletesRoutes()
    {
        QFETCH(QString, scenario);
        QFETCH(bool, quitting);
        TunnelFixture fixture(scenario);
        fixture.installRights();
        fixture.env.runner->setStopWait(std::chrono::milliseconds(200));
        connectAndSettle(fixture);
        const qint64 pid = fixture.helperPid();
        if (quitting) {
            bool done = false;
            fixture.vm().shutdownTunnel(std::chrono::seconds(5), [&] { done = true; });
            QTRY_VERIFY(done);
        } else {
            disconnectAndSettle(fixture);
        }
        const auto calls = fixture.env.runner->calls();
        const QList<QStringList> verbs = verbCalls(calls, QStringLiteral("stop")) + routeCalls(calls);
        QCOMPARE(verbs, (QList<QStringList>{{"stop"}, {"routes", "127.0.0.1"}}));
        QCOMPARE(calls.first().arguments.first(), QStringLiteral("/usr/local/libexec/nimbrel/nimbrel-control"));
        QVERIFY(!SystemInfo::isProcessAlive(pid_t(pid)));
        QCOMPARE(fixture.vm().tunnelPid(), std::nullopt);
        QCOMPARE(fixture.vm().connectedServerIp(), std::nullopt);
        QVERIFY(!fixture.vm().tunnel().isMonitoring());
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
        connectAndSettle(fixture);
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

    // "Disconnected" is said only once the helper is gone: after a helper that ignores SIGTERM has been
    // killed, and never after a stop that failed, whose helper stays on record until a later stop.
    void disconnectedComesOnlyOnceTheHelperIsGone_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<bool>("stopFails");
        QTest::newRow("a helper ignoring SIGTERM") << "ignore-term" << false;
        QTest::newRow("a stop that fails") << "normal" << true;
    }

    void disconnectedComesOnlyOnceTheHelperIsGone()
    {
        QFETCH(QString, scenario);
        QFETCH(bool, stopFails);
        TunnelFixture fixture(scenario);
        fixture.installRights();
        fixture.env.runner->setStopWait(std::chrono::milliseconds(100));
        connectAndSettle(fixture);
        const pid_t helper = pid_t(fixture.helperPid());
        // Gone: ended (a zombie not yet reaped has ended too).
        const std::optional<ProcessIdentity> started = ProcessIdentity::of(helper);
        QVERIFY(started);
        bool aliveWhenDisconnected = false;
        QObject::connect(&fixture.vm(), &AppViewModel::vpnStatusChanged, &fixture.vm(), [&] {
            if (fixture.vm().vpnStatus() == QLatin1String("Disconnected"))
                aliveWhenDisconnected = ProcessIdentity::of(helper) == started;
        });
        fixture.env.runner->failVerb(QStringLiteral("stop"), stopFails);
        fixture.vm().vpnDisconnect();
        QVERIFY(fixture.waitIdle());
        if (stopFails) {
            QCOMPARE(fixture.vm().vpnStatus(),
                     QStringLiteral("The tunnel helper did not stop; the next disconnect or connect tries again"));
            QVERIFY(ProcessIdentity::of(helper) == started);
            TunnelOwnership other(fixture.env.tunnelPaths.ownerLock, QStringLiteral("nimbrel-cli"));
            QCOMPARE(other.otherHolder().value_or(TunnelOwnership::Holder()).state, QStringLiteral("failed"));
            fixture.env.runner->failVerb(QStringLiteral("stop"), false);
            fixture.vm().vpnDisconnect(); // the next one finishes it
            QVERIFY(fixture.waitIdle());
        }
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Disconnected"));
        QVERIFY(!aliveWhenDisconnected);
        QTRY_VERIFY(!SystemInfo::isProcessAlive(helper));
    }

    // Without a known helper the control program is still asked to stop whatever it runs for us (a
    // client killed right after a start had no time to record it), and its failure is no failure here.
    void disconnectWithoutAHelperStillDeletesRoutes()
    {
        TunnelFixture fixture;
        fixture.env.runner->failVerb(QStringLiteral("stop"));
        disconnectAndSettle(fixture);
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Disconnected"));
        QCOMPARE(fixture.env.runner->verbs(), (QStringList{QStringLiteral("stop"), QStringLiteral("routes")}));
        QCOMPARE(routeCalls(fixture.env.runner->calls()), QList<QStringList>{{"routes"}}); // the two halves
    }

    void helperLeavingAtOnceEndsTheWait()
    {
        TunnelFixture fixture(QStringLiteral("normal"), std::chrono::milliseconds(200));
        fixture.installRights();
        connectAndSettle(fixture);
        QElapsedTimer clock;
        clock.start();
        fixture.vm().vpnDisconnect();
        QTRY_COMPARE(fixture.vm().vpnStatus(), QStringLiteral("Disconnected"));
        // 40 polls of 200 ms would be 8 s; a helper that leaves at once ends the wait at the first poll.
        QVERIFY2(clock.elapsed() < 4000, qPrintable(QString::number(clock.elapsed())));
    }

    void smartModeCleanupRunsOnlyAfterASmartTunnel()
    {
        TunnelFixture fixture;
        fixture.installRights();
        fixture.vm().chooseRoutingMode(AppViewModel::RoutingMode::smart);
        connectAndSettle(fixture);
        QTRY_VERIFY(QFile::exists(fixture.env.tunnelPaths.cleanupScript));
        disconnectAndSettle(fixture);
        const auto calls = fixture.env.runner->calls();
        QCOMPARE(calls.last().arguments.mid(1), QStringList{QStringLiteral("smart-cleanup")});
        QVERIFY(!QFile::exists(fixture.env.tunnelPaths.cleanupScript));
        QVERIFY(!QFile::exists(fixture.env.tunnelPaths.gateway));

        // Safe mode with a script left over: neither run nor deleted.
        fixture.vm().chooseRoutingMode(AppViewModel::RoutingMode::safe);
        connectAndSettle(fixture);
        writeFile(fixture.env.tunnelPaths.cleanupScript, "#!/bin/sh\n");
        const qsizetype before = fixture.env.runner->calls().size();
        disconnectAndSettle(fixture);
        const auto after = fixture.env.runner->calls().mid(before);
        QVERIFY(!ranSmartCleanup(after));
        QVERIFY(QFile::exists(fixture.env.tunnelPaths.cleanupScript));
    }

    void untrustedCleanupScriptIsNotRunAfterASmartTunnel()
    {
        TunnelFixture fixture;
        fixture.installRights();
        fixture.vm().chooseRoutingMode(AppViewModel::RoutingMode::smart);
        connectAndSettle(fixture);
        QTRY_VERIFY(QFile::exists(fixture.env.tunnelPaths.cleanupScript));
        QFile(fixture.env.tunnelPaths.cleanupScript)
            .setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther |
                            QFileDevice::WriteOther);
        disconnectAndSettle(fixture);
        const auto calls = fixture.env.runner->calls();
        QVERIFY(!ranSmartCleanup(calls));
        QVERIFY(QFile::exists(fixture.env.tunnelPaths.cleanupScript));
    }

    void logPathTakenByAFolderIsALaunchFailure()
    {
        TunnelFixture fixture;
        fixture.installRights();
        QVERIFY(QDir().mkdir(fixture.env.tunnelPaths.log));
        connectAndSettle(fixture);
        QVERIFY2(fixture.vm().vpnStatus().startsWith(QLatin1String("Launch failed: ")),
                 qPrintable(fixture.vm().vpnStatus()));
        QVERIFY(fixture.vm().vpnStatus().contains(QLatin1String("not ours")));
        QCOMPARE(fixture.vm().isConnected(), false);
        QVERIFY(fixture.helperRecord().isEmpty());
    }

    void connectDuringACleanupWaitsForIt()
    {
        TunnelFixture fixture;
        fixture.installRights();
        connectAndSettle(fixture);
        const qsizetype before = fixture.env.runner->calls().size();
        fixture.env.runner->holdCalls(QStringLiteral("stop")); // the helper's stop hangs until released
        fixture.vm().vpnDisconnect();
        QVERIFY(fixture.env.runner->waitForCalls(int(before) + 1));
        QFile::remove(fixture.recordFile());
        fixture.vm().vpnConnect();
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Connecting…"));
        QTest::qWait(150);
        QVERIFY(fixture.helperRecord().isEmpty()); // the new start waits behind the clean-up
        QVERIFY(routeCalls(fixture.env.runner->calls()).isEmpty());
        fixture.env.runner->release();
        QTRY_VERIFY_WITH_TIMEOUT(fixture.vm().isConnected(), 10000);
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Connected")); // no late "Disconnected"
        QCOMPARE(routeCalls(fixture.env.runner->calls()).size(), 1);     // none after the new start
        QTest::qWait(100);
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Connected"));
        fixture.env.runner->release(); // the next stop
        disconnectAndSettle(fixture);
        QVERIFY(!fixture.env.runner->heldCallTimedOut());
    }

    // At start the app takes over what a killed client left: its record, written by that client's lease,
    // names a helper still up. Only the very process it started is adopted and, later, stopped; a pid
    // that now names another process is never signalled, though the record's routes are deleted. One
    // left while the app already ran is shown as left running (its node, since when), and Disconnect
    // finishes it.
    void aHelperAKilledClientLeftIsAdoptedOnlyWhileItIsTheSameProcess_data()
    {
        QTest::addColumn<bool>("sameProcess");
        QTest::addColumn<bool>("whileRunning");
        QTest::addColumn<bool>("stopFails");
        QTest::newRow("the helper it started") << true << false << false;
        QTest::newRow("its pid reused since") << false << false << false;
        QTest::newRow("left while the app runs") << true << true << false;
        QTest::newRow("left while the app runs, not stopping") << true << true << true;
    }
    void aHelperAKilledClientLeftIsAdoptedOnlyWhileItIsTheSameProcess()
    {
        QFETCH(bool, sameProcess);
        QFETCH(bool, whileRunning);
        QFETCH(bool, stopFails);
        TunnelFixture fixture;
        // Started the way a client starts it (a process of its own session, reaped when it ends).
        const int output = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        const HelperProcess::Started started =
            HelperProcess::spawn(fixture.helperPath(),
                                 {QStringLiteral("--server-addr"), QStringLiteral("127.0.0.1:443"),
                                  QStringLiteral("--sni"), QStringLiteral("sni.test"), QStringLiteral("--route-all")},
                                 QProcessEnvironment::systemEnvironment(), output);
        ::close(output);
        QVERIFY2(started.pid > 0, qPrintable(started.error));
        const qint32 pid = started.pid;
        std::optional<ProcessIdentity> identity = ProcessIdentity::ofStarted(pid, std::chrono::seconds(5));
        QVERIFY(identity);
        const auto stopHelper = qScopeGuard([pid, started = *identity] {
            if (ProcessIdentity::of(pid) == started)
                ::kill(pid, SIGKILL);
        });
        if (!sameProcess)
            identity->startTime += QLatin1Char('0');
        {
            // What the killed client's lease wrote, left as the kill leaves it.
            TunnelOwnership killed(fixture.env.tunnelPaths.ownerLock, QStringLiteral("nimbrel"));
            TunnelOwnership::Refusal refusal;
            std::shared_ptr<TunnelOwnership::Lease> lease = killed.acquire(&refusal);
            QVERIFY(lease);
            lease->setHelper(
                TunnelOwnership::HelperRecord{pid, identity, QStringLiteral("127.0.0.1"), RoutingMode::safe});
            lease->setTunnel(RunningNode{7, QStringLiteral("Tokyo 01"), {}}, QDateTime::currentDateTimeUtc());
            lease->setState(TunnelPhase::connected);
            const QByteArray record = TestEnvironment::contentOf(fixture.env.tunnelPaths.ownerLock);
            lease.reset();
            QVERIFY(TestEnvironment::writeFile(fixture.env.tunnelPaths.ownerLock, record));
        }

        AppViewModel &vm = fixture.vm();
        if (whileRunning) {
            vm.watchOtherProcesses();
            QTRY_VERIFY(vm.isConnected());
            QCOMPARE(vm.vpnStatus(), QStringLiteral("Connected, left running by nimbrel, pid %1")
                                         .arg(QCoreApplication::applicationPid()));
            QCOMPARE(vm.shownNode()->name, QStringLiteral("Tokyo 01"));
            QVERIFY(vm.upSince());
            fixture.env.runner->failVerb(QStringLiteral("stop"), stopFails);
            vm.vpnDisconnect();
            if (stopFails) { // it may still run: it stays on record, for the next try
                QVERIFY(fixture.waitIdle());
                QCOMPARE(vm.vpnPhase(), TunnelPhase::failed);
                const QByteArray record = TestEnvironment::contentOf(fixture.env.tunnelPaths.ownerLock);
                QVERIFY2(record.contains("state=failed\n") && record.contains("helper=" + QByteArray::number(pid)),
                         record.constData());
                fixture.env.runner->failVerb(QStringLiteral("stop"), false);
                vm.vpnDisconnect();
            }
            QTRY_COMPARE_WITH_TIMEOUT(vm.vpnStatus(), QStringLiteral("Disconnected"), 10000);
            QVERIFY(fixture.waitIdle());
            QCOMPARE(verbCalls(fixture.env.runner->calls(), QStringLiteral("stop")).size(), stopFails ? 2 : 1);
            QTest::qWait(50); // the watch looks again: nothing is left to show
            QVERIFY(!vm.isConnected());
            return;
        }
        if (sameProcess) {
            QCOMPARE(vm.recoverTunnel(), TunnelController::Recovery::Adopted);
            QVERIFY(vm.isConnected());
            QCOMPARE(vm.vpnStatus(), QStringLiteral("Connected"));
            QCOMPARE(vm.connectedServerIp(), QStringLiteral("127.0.0.1"));
            QCOMPARE(vm.tunnelPid(), pid);
            TunnelOwnership other(fixture.env.tunnelPaths.ownerLock, QStringLiteral("nimbrel-cli"));
            QCOMPARE(other.otherHolder().value_or(TunnelOwnership::Holder()).state, QStringLiteral("connected"));
            // Watched by its identity, as it is not our child: its end is noticed.
            ::kill(pid, SIGKILL);
            QTRY_COMPARE_WITH_TIMEOUT(vm.vpnStatus(), QStringLiteral("Connection lost"), 5000);
            QVERIFY(!vm.isConnected());
            QVERIFY(!other.otherHolder());
            return;
        }
        QCOMPARE(vm.recoverTunnel(), TunnelController::Recovery::CleaningUp);
        QVERIFY(!vm.isConnected());
        QVERIFY(fixture.waitIdle());
        // The control program is asked to stop the helper it started, and this process is not that one.
        const auto calls = fixture.env.runner->calls();
        const QList<QStringList> expectedRoutes{{QStringLiteral("routes"), QStringLiteral("127.0.0.1")}};
        QCOMPARE(routeCalls(calls), expectedRoutes);
        QVERIFY(SystemInfo::isProcessAlive(pid));
    }

    // The start-up clean-up of a smart tunnel left behind runs on the tunnel's lane: a connect meanwhile
    // starts its helper only after it, and the clean-up never deletes what the new tunnel writes.
    void aConnectDuringTheStartupCleanupWaitsForIt()
    {
        TunnelFixture fixture(QStringLiteral("normal"), std::chrono::milliseconds(10), [](AppEnvironment &environment) {
            QVERIFY(TestEnvironment::writeFile(environment.tunnelPaths.cleanupScript, "#!/bin/sh\nexit 0\n",
                                               QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
            std::static_pointer_cast<RecordingPrivilegedRunner>(environment.platform.privilegedRunner)
                ->holdCalls(QStringLiteral("smart-cleanup"));
        });
        QCOMPARE(fixture.vm().recoverTunnel(), TunnelController::Recovery::CleaningUp);
        QVERIFY(fixture.env.runner->waitForCalls(1)); // the clean-up is under way
        fixture.installRights();
        fixture.vm().chooseRoutingMode(AppViewModel::RoutingMode::smart);
        fixture.vm().vpnConnect();
        QTest::qWait(150);
        QVERIFY(fixture.helperRecord().isEmpty());
        fixture.env.runner->release();
        QTRY_VERIFY_WITH_TIMEOUT(fixture.vm().isConnected(), 10000);
        QTRY_VERIFY(QFile::exists(fixture.env.tunnelPaths.cleanupScript)); // the new tunnel's
        QVERIFY(fixture.waitIdle());
        QTest::qWait(100);
        QVERIFY(QFile::exists(fixture.env.tunnelPaths.cleanupScript));
        QVERIFY(QFile::exists(fixture.env.tunnelPaths.gateway));
        QCOMPARE(verbCalls(fixture.env.runner->calls(), QStringLiteral("smart-cleanup")).size(), 1);
        fixture.env.runner->release(); // for the disconnect's own clean-up
        disconnectAndSettle(fixture);
    }

    // A start that does not come up may be cancelled once it has run for a while, not before; cancelling
    // ends a waiting administrator dialog or stops a started helper, deletes routes and ends in
    // "Disconnected".
    void aSlowStartCanBeCancelledAfterTheDelay_data()
    {
        QTest::addColumn<bool>("inTheDialog");
        QTest::newRow("administrator dialog open") << true;
        QTest::newRow("helper silent") << false;
    }
    void aSlowStartCanBeCancelledAfterTheDelay()
    {
        QFETCH(bool, inTheDialog);
        TunnelFixture fixture(QStringLiteral("silent"), std::chrono::milliseconds(10), [](AppEnvironment &environment) {
            environment.intervals.cancelDelay = std::chrono::milliseconds(150);
        });
        if (inTheDialog)
            fixture.prompt->holdOpen();
        else
            fixture.installRights();
        fixture.vm().vpnConnect();
        QVERIFY(!fixture.vm().canCancelConnect());
        if (inTheDialog)
            QVERIFY(fixture.prompt->waitUntilShown());
        else
            QTRY_VERIFY(fixture.vm().tunnelPid().has_value());
        const qint64 helper = fixture.vm().tunnelPid().value_or(-1);
        QTRY_VERIFY(fixture.vm().canCancelConnect());
        QVERIFY(fixture.vm().isVpnLoading());

        fixture.vm().vpnDisconnect();
        QVERIFY(!fixture.vm().canCancelConnect());
        QTRY_COMPARE_WITH_TIMEOUT(fixture.vm().vpnStatus(), QStringLiteral("Disconnected"), 10000);
        QVERIFY(fixture.waitIdle());
        const auto calls = fixture.env.runner->calls();
        QCOMPARE(routeCalls(calls).size(), 1);
        if (inTheDialog) {
            QCOMPARE(fixture.prompt->cancelledCount(), 1);
            QVERIFY(fixture.helperRecord().isEmpty());
        } else {
            QCOMPARE(verbCalls(calls, QStringLiteral("stop")),
                     (QList<QStringList>{{QStringLiteral("stop")}}));
            QVERIFY(!SystemInfo::isProcessAlive(pid_t(helper)));
        }
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Disconnected"));
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
        TunnelFixture fixture(QStringLiteral("normal"), std::chrono::milliseconds(10), [&](AppEnvironment &environment) {
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
            disconnectAndSettle(fixture);
            vm.loadNodes(); // a later list never connects again
            QTRY_VERIFY(!vm.nodesLoading());
            QVERIFY(!vm.isVpnLoading() && !vm.isConnected());
        }
    }

    void disconnectBeforeTheHelperStartedCancelsTheStart()
    {
        TunnelFixture fixture;
        fixture.prompt->holdOpen();
        fixture.vm().vpnConnect();
        QVERIFY(fixture.prompt->waitUntilShown());
        fixture.vm().vpnDisconnect();
        fixture.prompt->close();
        QTRY_COMPARE(fixture.vm().vpnStatus(), QStringLiteral("Disconnected"));
        QVERIFY(fixture.waitIdle());
        QVERIFY(fixture.helperRecord().isEmpty());
        QCOMPARE(fixture.vm().tunnelPid(), std::nullopt);
        QCOMPARE(fixture.vm().isVpnLoading(), false);
    }
};

QTEST_GUILESS_MAIN(TestTunnelControl)
#include "tst_tunnelcontrol.moc"
