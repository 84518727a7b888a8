#include "TestEnvironment.h"
#include "TunnelFixture.h"
#include "platform/HelperProcess.h"
#include "platform/PreferenceStore.h"
#include "platform/ProcessIdentity.h"
#include "platform/SystemInfo.h"
#include "tunnel/HelperLocator.h"
#include "tunnel/TunnelOwnership.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// What the control program is asked to do to end tunnels.
const QStringList kTeardown{QStringLiteral("stop"), QStringLiteral("routes"), QStringLiteral("smart-cleanup")};

} // namespace

// Stopping the tunnel, and taking over what a failed start, a killed client or an earlier run left,
// with the real simulated helper process, the recording platform fakes and short intervals.
class TestTunnelTakeover : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { TestEnvironment::useTemporaryLanguageStore(); }

    // A disconnect or a quit has the control program stop the helper (killing one that ignores SIGTERM
    // once its wait is over), delete its routes and, after a smart tunnel, run root's clean-up script
    // while it is still the helper's own. The tunnel stays claimed (by this program: never by the helper,
    // which outlives us when we crash) until the clean-up has ended. "Disconnected" comes only once the
    // helper is gone; a stop that
    // failed says so and keeps its helper on record for the next one. Without a known helper the control
    // program is still asked to stop whatever it runs for us (a client killed right after a start had no
    // time to record it), and its failure is no failure then. A failed start leaves its helper running:
    // the next connect stops it first, so there is only ever one helper, also when the rights now name
    // another helper (the control program could no longer stop the first: it goes before the installation).
    void stoppingStopsTheHelperAndDeletesRoutes_data()
    {
        QTest::addColumn<QString>("scenario"); // the helper's; empty: none started
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("script"); // what is done to the clean-up script before the stop
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("stopFails"); // the first stop
        QTest::addColumn<QStringList>("steps");
        const QStringList stopped{QStringLiteral("stop"), QStringLiteral("routes 127.0.0.1")};
        const QString safe = QStringLiteral("safe");
        const QString smart = QStringLiteral("smart");
        const QString untouched;
        const QString disconnect = QStringLiteral("disconnect");
        QTest::newRow("disconnect") << "normal" << safe << untouched << disconnect << false << stopped;
        QTest::newRow("helper ignoring SIGTERM")
            << "ignore-term" << safe << untouched << disconnect << false << stopped;
        QTest::newRow("quit") << "normal" << safe << untouched << "quit" << false << stopped;
        QTest::newRow("a stop that fails") << "normal" << safe << untouched << disconnect << true << stopped + stopped;
        QTest::newRow("no helper known, its stop failing")
            << QString() << safe << untouched << disconnect << true << QStringList{"stop", "routes"};
        QTest::newRow("smart") << "normal" << smart << untouched << disconnect << false
                               << stopped + QStringList{"smart-cleanup"};
        QTest::newRow("safe, a script left over") << "normal" << safe << "left over" << disconnect << false << stopped;
        QTest::newRow("smart, its script writable by others")
            << "normal" << smart << "writable by others" << disconnect << false << stopped;
        QTest::newRow("a failed start's, by the next connect")
            << "error" << safe << untouched << "connect" << false << stopped + stopped;
        QTest::newRow("a failed start's, by the next connect of another helper")
            << "error" << safe << untouched << "connect another helper" << false << stopped + stopped;
    }
    void stoppingStopsTheHelperAndDeletesRoutes()
    {
        QFETCH(QString, scenario);
        QFETCH(QString, mode);
        QFETCH(QString, script);
        QFETCH(QString, how);
        QFETCH(bool, stopFails);
        QFETCH(QStringList, steps);
        // A long pause between the checks whether a stopped helper is gone: 40 of them would be 8 s.
        TunnelFixture fixture(scenario.isEmpty() ? QStringLiteral("normal") : scenario, 200ms);
        fixture.installRights();
        fixture.env.runner->setStopWait(100ms);
        AppViewModel &vm = fixture.vm();
        const TunnelPaths &paths = fixture.env.tunnelPaths;
        vm.chooseRoutingMode(mode == QLatin1String("smart") ? AppViewModel::RoutingMode::smart
                                                            : AppViewModel::RoutingMode::safe);
        pid_t pid = -1;
        if (!scenario.isEmpty()) {
            fixture.connectAndSettle();
            pid = pid_t(fixture.helperPid());
            const TunnelOwnership other(paths.ownerLock, QStringLiteral("nimbrel-cli"));
            QCOMPARE(other.otherHolder().value_or(TunnelOwnership::Holder()).program,
                     TunnelOwnership::currentProgram());
            const QString lockTarget = QFileInfo(paths.ownerLock).canonicalFilePath();
            for (const QFileInfo &fd :
                 QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryInfoList(QDir::Files | QDir::System))
                QVERIFY2(fd.symLinkTarget() != lockTarget, "the helper inherited the tunnel lock");
        }
        const std::optional<ProcessIdentity> helper = ProcessIdentity::of(pid);
        QCOMPARE(helper.has_value(), !scenario.isEmpty());
        if (mode == QLatin1String("smart"))
            QTRY_VERIFY(QFile::exists(paths.cleanupScript));
        if (script == QLatin1String("left over"))
            QVERIFY(TestEnvironment::writeFile(paths.cleanupScript, "#!/bin/sh\n"));
        else if (!script.isEmpty())
            QFile(paths.cleanupScript)
                .setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther |
                                QFileDevice::WriteOther);
        // Gone: ended (a zombie not yet reaped has ended too).
        bool aliveWhenDisconnected = false;
        connect(&vm, &AppViewModel::vpnStatusChanged, this, [&] {
            if (vm.vpnStatus() == QLatin1String("Disconnected"))
                aliveWhenDisconnected = helper && ProcessIdentity::of(pid) == helper;
        });
        fixture.env.runner->failVerb(QStringLiteral("stop"), stopFails);
        if (how == QLatin1String("quit")) {
            bool done = false;
            vm.shutdownTunnel(5s, [&] { done = true; });
            QTRY_VERIFY(done);
        } else if (how.startsWith(QLatin1String("connect"))) {
            const bool anotherHelper = how == QLatin1String("connect another helper");
            if (anotherHelper) {
                const QString second = fixture.env.path(QStringLiteral("second/nimbrel-macos"));
                QVERIFY(QDir().mkpath(QFileInfo(second).absolutePath()));
                QVERIFY(QFile::copy(fixture.helperPath(), second));
                QFile(second).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
                fixture.env.preferences->setString(HelperLocator::binaryPathKey, second);
                fixture.prompt->setHelperPath(second);
            }
            fixture.setScenario(QStringLiteral("normal"));
            fixture.connectAndSettle();
            QCOMPARE(vm.vpnStatus(), QStringLiteral("Connected"));
            QCOMPARE(fixture.prompt->commands().size(), anotherHelper ? 1 : 0);
            const QStringList verbs = fixture.env.runner->verbs();
            QVERIFY(verbs.indexOf(QStringLiteral("routes")) < verbs.lastIndexOf(QStringLiteral("start")));
            QVERIFY(ProcessIdentity::of(pid) != helper);
            const auto second = pid_t(fixture.helperPid());
            QVERIFY(second != pid && SystemInfo::isProcessAlive(second));
            QCOMPARE(vm.tunnelPid(), std::optional<qint32>(second));
            fixture.disconnectAndSettle();
            QTRY_VERIFY(!SystemInfo::isProcessAlive(second));
        } else {
            vm.vpnDisconnect();
            if (helper)
                QCOMPARE(fixture.lockState(), QStringLiteral("disconnecting"));
            QVERIFY(fixture.waitIdle());
        }
        if (stopFails && helper) {
            QCOMPARE(vm.vpnStatus(),
                     QStringLiteral("The tunnel helper did not stop; the next disconnect or connect tries again"));
            QVERIFY(ProcessIdentity::of(pid) == helper);
            QCOMPARE(fixture.lockState(), QStringLiteral("failed"));
            fixture.env.runner->failVerb(QStringLiteral("stop"), false);
            vm.vpnDisconnect(); // the next one finishes it
            QVERIFY(fixture.waitIdle());
        }
        if (how != QLatin1String("quit"))
            QCOMPARE(vm.vpnStatus(), QStringLiteral("Disconnected"));
        QVERIFY(!aliveWhenDisconnected);
        QCOMPARE(fixture.controlCalls(kTeardown), steps);
        QTRY_VERIFY(!helper || !SystemInfo::isProcessAlive(pid)); // reaped, on the reaper's thread
        QVERIFY(!vm.tunnelPid() && !vm.connectedServerIp() && !vm.tunnel().isMonitoring());
        QCOMPARE(fixture.lockState(), QString());
        QCOMPARE(QFile::exists(paths.cleanupScript), !script.isEmpty()); // one not run is not deleted either
        QCOMPARE(QFile::exists(paths.gateway), mode == QLatin1String("smart") && !script.isEmpty());
    }

    // A clean-up runs on the tunnel's lane (a disconnect's stop, or the start-up clean-up of a smart
    // tunnel left behind): a connect meanwhile starts its helper only after it, and the clean-up never
    // undoes what the new tunnel did (no late "Disconnected", no routes deleted, no script removed).
    void aConnectDuringACleanupWaitsForIt_data()
    {
        QTest::addColumn<bool>("atStartup");
        QTest::newRow("a disconnect's stop") << false;
        QTest::newRow("the start-up clean-up") << true;
    }
    void aConnectDuringACleanupWaitsForIt()
    {
        QFETCH(bool, atStartup);
        TunnelFixture fixture(QStringLiteral("normal"), 10ms, [atStartup](AppEnvironment &environment) {
            if (atStartup)
                QVERIFY(TestEnvironment::writeFile(environment.tunnelPaths.cleanupScript, "#!/bin/sh\nexit 0\n",
                                                   QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        });
        fixture.installRights();
        AppViewModel &vm = fixture.vm();
        RecordingPrivilegedRunner &runner = *fixture.env.runner;
        if (atStartup) {
            runner.holdCalls(QStringLiteral("smart-cleanup"));
            QCOMPARE(vm.recoverTunnel(), TunnelController::Recovery::CleaningUp);
            QVERIFY(runner.waitForCalls(1)); // the clean-up is under way
            vm.chooseRoutingMode(AppViewModel::RoutingMode::smart);
        } else {
            fixture.connectAndSettle();
            const int before = int(runner.calls().size());
            runner.holdCalls(QStringLiteral("stop")); // the helper's stop hangs until released
            vm.vpnDisconnect();
            QVERIFY(runner.waitForCalls(before + 1));
            QFile::remove(fixture.recordFile());
        }
        vm.vpnConnect();
        QCOMPARE(vm.vpnStatus(), QStringLiteral("Connecting…"));
        QVERIFY(!QTest::qWaitFor([&] { return !fixture.helperRecord().isEmpty(); }, 150)); // the start waits
        QCOMPARE(fixture.controlCalls(kTeardown).size(), 1);                               // the held step alone
        runner.release();
        QTRY_VERIFY_WITH_TIMEOUT(vm.isConnected(), 10000);
        if (atStartup)
            QTRY_VERIFY(QFile::exists(fixture.env.tunnelPaths.cleanupScript)); // the new tunnel's
        QVERIFY(fixture.waitIdle()); // the clean-up has ended: nothing of it is left to come
        QCOMPARE(vm.vpnStatus(), QStringLiteral("Connected"));
        QCOMPARE(fixture.controlCalls(kTeardown),
                 atStartup ? QStringList{"smart-cleanup"} : (QStringList{"stop", "routes 127.0.0.1"}));
        QCOMPARE(QFile::exists(fixture.env.tunnelPaths.cleanupScript), atStartup);
        QCOMPARE(QFile::exists(fixture.env.tunnelPaths.gateway), atStartup);
        runner.release(); // for the next held call, the disconnect's
        fixture.disconnectAndSettle();
        QVERIFY(!runner.heldCallTimedOut());
    }

    // A start that does not come up may be cancelled once it has run for a while, not before (though a
    // disconnect ends it at any time); cancelling ends a waiting administrator dialog or stops a started
    // helper, deletes routes and ends in "Disconnected". What an earlier run left in the log (its marker)
    // and the pid file is never read as this start's.
    void aSlowStartCanBeCancelledAfterTheDelay_data()
    {
        QTest::addColumn<bool>("inTheDialog");
        QTest::addColumn<bool>("afterTheDelay");
        QTest::newRow("administrator dialog open") << true << true;
        QTest::newRow("administrator dialog open, disconnected at once") << true << false;
        QTest::newRow("helper silent") << false << true;
    }
    void aSlowStartCanBeCancelledAfterTheDelay()
    {
        QFETCH(bool, inTheDialog);
        QFETCH(bool, afterTheDelay);
        TunnelFixture fixture(QStringLiteral("silent"), 10ms, [afterTheDelay](AppEnvironment &environment) {
            environment.intervals.cancelDelay = afterTheDelay ? 150ms : 10s;
        });
        AppViewModel &vm = fixture.vm();
        const TunnelPaths &paths = fixture.env.tunnelPaths;
        const QByteArray marker = QStringLiteral("VPN 隧道已启动\n").toUtf8();
        QVERIFY(TestEnvironment::writeFile(paths.log, marker) && TestEnvironment::writeFile(paths.pid, "99999\n"));
        if (inTheDialog)
            fixture.prompt->holdOpen();
        else
            fixture.installRights();
        vm.vpnConnect();
        QVERIFY(!vm.canCancelConnect());
        if (inTheDialog)
            QVERIFY(fixture.prompt->waitUntilShown());
        else
            QTRY_VERIFY(vm.tunnelPid().has_value());
        const qint64 helper = vm.tunnelPid().value_or(-1);
        if (afterTheDelay)
            QTRY_VERIFY(vm.canCancelConnect());
        QVERIFY(vm.isVpnLoading());
        if (!inTheDialog) {
            QVERIFY(!TestEnvironment::contentOf(paths.log).contains(marker));
            QVERIFY(!QFile::exists(paths.pid));
        }

        vm.vpnDisconnect();
        QVERIFY(!vm.canCancelConnect());
        QTRY_COMPARE_WITH_TIMEOUT(vm.vpnStatus(), QStringLiteral("Disconnected"), 10000);
        QVERIFY(fixture.waitIdle());
        const QStringList steps = fixture.controlCalls(kTeardown);
        if (inTheDialog) {
            QCOMPARE(steps.filter(QStringLiteral("routes")).size(), 1);
            QCOMPARE(fixture.prompt->cancelledCount(), 1);
            QVERIFY(fixture.helperRecord().isEmpty());
            QCOMPARE(vm.tunnelPid(), std::nullopt);
        } else {
            QCOMPARE(steps, (QStringList{"stop", "routes 127.0.0.1"}));
            QTRY_VERIFY(!SystemInfo::isProcessAlive(pid_t(helper))); // reaped on the reaper's thread
        }
        QCOMPARE(vm.vpnStatus(), QStringLiteral("Disconnected"));
        QVERIFY(!vm.isVpnLoading());
    }

    // At start the app takes over what a killed client left: its record, written by that client's lease,
    // names a helper still up. It is adopted only when the control program says the helper it started for
    // this user runs and the record's process is still that one; a pid that now names another process is
    // never signalled, though the record's routes are deleted. One
    // left while the app already ran is shown as left running (its node, since when), and Disconnect
    // finishes it, or, when its stop fails, keeps it on record for the next try.
    void aHelperAKilledClientLeftIsAdoptedOnlyWhileItIsTheSameProcess_data()
    {
        QTest::addColumn<bool>("byTheControlProgram");
        QTest::addColumn<bool>("sameProcess");
        QTest::addColumn<bool>("whileRunning");
        QTest::addColumn<bool>("stopFails");
        QTest::newRow("the helper it started") << true << true << false << false;
        QTest::newRow("its pid reused since") << false << false << false << false;
        QTest::newRow("a process the control program did not start") << false << true << false << false;
        QTest::newRow("the control program's, but not the process on record") << true << false << false << false;
        QTest::newRow("left while the app runs") << true << true << true << false;
        QTest::newRow("left while the app runs, not stopping") << true << true << true << true;
    }
    void aHelperAKilledClientLeftIsAdoptedOnlyWhileItIsTheSameProcess()
    {
        QFETCH(bool, byTheControlProgram);
        QFETCH(bool, sameProcess);
        QFETCH(bool, whileRunning);
        QFETCH(bool, stopFails);
        TunnelFixture fixture;
        // Started as a client starts it, through the control program; a process that merely has the
        // recorded pid since is none the control program started.
        fixture.installRights();
        const int output = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        const QStringList arguments{QStringLiteral("--server-addr"), QStringLiteral("127.0.0.1:443"),
                                    QStringLiteral("--sni"), QStringLiteral("sni.test"), QStringLiteral("--route-all")};
        const HelperProcess::Started started =
            byTheControlProgram ? fixture.env.runner->start({QStringLiteral("nimbrel-control"), QStringLiteral("start"),
                                                             QStringLiteral("safe"), QStringLiteral("127.0.0.1:443"),
                                                             QStringLiteral("sni.test")},
                                                            "psk\n", output)
                                : HelperProcess::spawn(fixture.helperPath(), arguments,
                                                       QProcessEnvironment::systemEnvironment(), output);
        ::close(output);
        QVERIFY2(started.pid > 0, qPrintable(started.error));
        const qint32 pid = started.pid;
        std::optional<ProcessIdentity> identity = ProcessIdentity::ofStarted(pid, 5s);
        QVERIFY(identity);
        const auto stopHelper = qScopeGuard([pid, started = *identity] {
            if (ProcessIdentity::of(pid) == started)
                ::kill(pid, SIGKILL);
        });
        if (!sameProcess)
            identity->startTime += QLatin1Char('0');
        const QString lock = fixture.env.tunnelPaths.ownerLock;
        {
            // What the killed client's lease wrote, left as the kill leaves it.
            TunnelOwnership killed(lock, QStringLiteral("nimbrel"));
            TunnelOwnership::Refusal refusal;
            std::shared_ptr<TunnelOwnership::Lease> lease = killed.acquire(&refusal);
            QVERIFY(lease);
            lease->setHelper(
                TunnelOwnership::HelperRecord{pid, identity, QStringLiteral("127.0.0.1"), RoutingMode::safe});
            lease->setTunnel(RunningNode{7, QStringLiteral("Tokyo 01"), {}}, QDateTime::currentDateTimeUtc());
            lease->setState(TunnelPhase::connected);
            const QByteArray record = TestEnvironment::contentOf(lock);
            lease.reset();
            QVERIFY(TestEnvironment::writeFile(lock, record));
        }

        AppViewModel &vm = fixture.vm();
        if (whileRunning) {
            vm.watchOtherProcesses();
            QTRY_VERIFY(vm.isConnected());
            QCOMPARE(
                vm.vpnStatus(),
                QStringLiteral("Connected, left running by nimbrel, pid %1").arg(QCoreApplication::applicationPid()));
            QCOMPARE(vm.shownNode()->name, QStringLiteral("Tokyo 01"));
            QVERIFY(vm.upSince());
            fixture.env.runner->failVerb(QStringLiteral("stop"), stopFails);
            vm.vpnDisconnect();
            if (stopFails) { // it may still run: it stays on record, for the next try
                QVERIFY(fixture.waitIdle());
                QCOMPARE(vm.vpnPhase(), TunnelPhase::failed);
                const QByteArray record = TestEnvironment::contentOf(lock);
                QVERIFY2(record.contains("state=failed\n") && record.contains("helper=" + QByteArray::number(pid)),
                         record.constData());
                fixture.env.runner->failVerb(QStringLiteral("stop"), false);
                vm.vpnDisconnect();
            }
            QTRY_COMPARE_WITH_TIMEOUT(vm.vpnStatus(), QStringLiteral("Disconnected"), 10000);
            QVERIFY(fixture.waitIdle());
            QCOMPARE(fixture.controlCalls({QStringLiteral("stop")}).size(), stopFails ? 2 : 1);
            // Nothing is left on record for the watch to show when it looks again.
            const TunnelOwnership other(lock, QStringLiteral("nimbrel-cli"));
            QVERIFY(!other.otherHolder() && !other.leftBehind());
            QVERIFY(!QTest::qWaitFor([&] { return vm.isConnected(); }, 100));
            return;
        }
        if (byTheControlProgram && sameProcess) {
            QCOMPARE(vm.recoverTunnel(), TunnelController::Recovery::Adopted);
            QVERIFY(vm.isConnected() && vm.tunnelPid() == pid);
            QCOMPARE((QStringList{vm.vpnStatus(), vm.connectedServerIp().value_or(QString()), fixture.lockState()}),
                     (QStringList{"Connected", "127.0.0.1", "connected"}));
            // Watched by its identity, as it is not our child: its end is noticed.
            ::kill(pid, SIGKILL);
            QTRY_COMPARE_WITH_TIMEOUT(vm.vpnStatus(), QStringLiteral("Connection lost"), 5000);
            QVERIFY(!vm.isConnected());
            QCOMPARE(fixture.lockState(), QString());
            return;
        }
        QCOMPARE(vm.recoverTunnel(), TunnelController::Recovery::CleaningUp);
        QVERIFY(!vm.isConnected());
        QVERIFY(fixture.waitIdle());
        // The control program is asked to stop the helper it started (if any): never a process it did not.
        QCOMPARE(fixture.controlCalls({QStringLiteral("routes")}), QStringList{QStringLiteral("routes 127.0.0.1")});
        QTRY_COMPARE(SystemInfo::isProcessAlive(pid), !byTheControlProgram);
    }
};

QTEST_GUILESS_MAIN(TestTunnelTakeover)
#include "tst_tunneltakeover.moc"
