#include "ProbeTargets.h"
#include "TestEnvironment.h"
#include "app/AppViewModel.h"
#include "app/AppViewModel.h"
#include "app/NodeCatalog.h"
#include "nodes/LatencyProbe.h"

#include <QAbstractSocket>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;

namespace {

NodeInfo node(qint64 id, const QString &host, qint64 port)
{
    NodeInfo info;
    info.id = id;
    info.host = host;
    info.port = port;
    info.status = QStringLiteral("ONLINE");
    return info;
}

} // namespace

class TestLatencyProbe : public QObject {
    Q_OBJECT

private:
    // Runs one probe and waits until it is over (its socket and timer gone: nothing can answer again);
    // the answers it gave.
    static QList<qint64> ping(const QString &host, qint64 port, std::chrono::milliseconds timeout = 2000ms)
    {
        QObject context;
        QList<qint64> answers;
        LatencyProbe::tcpPing(host, port, timeout, &context, [&](qint64 ms) { answers.append(ms); });
        static_cast<void>(QTest::qWaitFor(
            [&] {
                return !answers.isEmpty() && context.findChildren<QAbstractSocket *>().isEmpty() &&
                       context.findChildren<QTimer *>().isEmpty();
            },
            10000));
        return answers;
    }

private slots:
    void initTestCase() { TestEnvironment::useTemporaryLanguageStore(); }

    void outcomes()
    {
        QTcpServer open;
        QVERIFY(open.listen(QHostAddress::LocalHost, 0));
        const QList<qint64> reachable = ping(QStringLiteral("127.0.0.1"), open.serverPort());
        QVERIFY2(reachable.size() == 1 && reachable.first() >= 0, qPrintable(QString::number(reachable.value(0, -2))));
        QTRY_VERIFY(open.hasPendingConnections()); // a real handshake happened
        const QList<qint64> byName = ping(QStringLiteral("localhost"), open.serverPort());
        QVERIFY(byName.size() == 1 && byName.first() >= 0);

        // Refused, never answered, a name that does not resolve, a port outside TCP's range: -1, once.
        ProbeTargets targets;
        const QList<qint64> timedOut{-1};
        QCOMPARE(ping(QStringLiteral("127.0.0.1"), targets.refusingPort()), timedOut);
        QCOMPARE(ping(QStringLiteral("127.0.0.1"), targets.silentListener(), 200ms), timedOut);
        QCOMPARE(ping(QStringLiteral("no-such-host.invalid"), 443, 500ms), timedOut);
        QCOMPARE(ping(QStringLiteral("127.0.0.1"), 70000, 5000ms), timedOut);
        QCOMPARE(ping(QStringLiteral("127.0.0.1"), -1, 5000ms), timedOut);
    }

    void destroyedContextGetsNoAnswer()
    {
        ProbeTargets targets;
        const quint16 silent = targets.silentListener();
        bool answered = false;
        bool twinAnswered = false;
        QObject twin; // the same probe, started after, for a context that stays: once it has answered, so would have
                      // the other
        {
            QObject context;
            LatencyProbe::tcpPing(QStringLiteral("127.0.0.1"), silent, 50ms, &context,
                                  [&](qint64) { answered = true; });
            LatencyProbe::tcpPing(QStringLiteral("127.0.0.1"), silent, 70ms, &twin,
                                  [&](qint64) { twinAnswered = true; });
        }
        QTRY_VERIFY(twinAnswered);
        QVERIFY(!answered);
    }

    // A node has one probe at a time (its start, its result, its end) and only its last result.
    void aNodeHasOneProbeAtATimeAndItsLastResult()
    {
        TestEnvironment env;
        AppViewModel vm(env.environment()); // probe timeout shortened by the environment
        auto open = std::make_unique<QTcpServer>();
        QVERIFY(open->listen(QHostAddress::LocalHost, 0));
        const NodeInfo target = node(3, QStringLiteral("127.0.0.1"), open->serverPort());
        QSignalSpy state(&vm, &AppViewModel::pingStateChanged);
        vm.pingNode(target);
        vm.pingNode(target);
        QCOMPARE(state.count(), 1);
        QCOMPARE(vm.pingingNodes().value(3), true);
        QVERIFY(!vm.pingResults().contains(3));
        QTRY_COMPARE(vm.pingingNodes().value(3, true), false);
        QVERIFY(vm.pingResults().value(3) >= 0);
        QCOMPARE(state.count(), 3);

        open.reset(); // the node stops listening
        vm.pingNode(target);
        QTRY_COMPARE(vm.pingingNodes().value(3, true), false);
        QCOMPARE(vm.pingResults().value(3), -1);
        QCOMPARE(vm.pingResults().size(), 1);
    }

    // "Fastest" probes only what is not measured yet, then selects the quickest exactly-"ONLINE" node, the
    // lower load breaking a tie; refused and timed-out probes never win. With none left, the selection
    // stays and a notice says so.
    void fastestPickSelectsTheQuickestReachableNode()
    {
        TestEnvironment env;
        QHash<qint64, qint64> answers{{1, 30}, {2, -1}, {3, -1}, {4, 1}, {5, 30}};
        int probes = 0;
        NodeCatalog catalog(env.preferences, {},
                            [&](const NodeInfo &probed, QObject *context, std::function<void(qint64)> done) {
                                ++probes;
                                QTimer::singleShot(0, context, [done, ms = answers.value(probed.id)] { done(ms); });
                            });
        const auto listed = [](qint64 id, int load, const char *status = "ONLINE") {
            NodeInfo info = node(id, QStringLiteral("127.0.0.1"), 9);
            info.loadPercent = load;
            info.status = QString::fromLatin1(status);
            return info;
        };
        const QList<NodeInfo> nodes{listed(1, 50), listed(2, 0), listed(3, 0), listed(4, 0, "OFFLINE"), listed(5, 10)};
        const auto offer = [&catalog](const QList<NodeInfo> &list) {
            catalog.clear();
            catalog.take(NodesResponse{QStringLiteral("v"), QStringLiteral("k"), list, false});
        };
        offer(nodes);
        // Measured before: 1 and 5 as fast as each other, the offline 4 fastest of all.
        for (const qint64 id : {1, 4, 5})
            catalog.pingById(id);
        QTRY_COMPARE(catalog.pingResults().size(), 3);
        answers[1] = 999; // a second probe of 1 would lose
        probes = 0;
        QSignalSpy picked(&catalog, &NodeCatalog::fastestPicked);
        catalog.pickFastest();
        QVERIFY(catalog.pickingFastest());
        QCOMPARE(probes, 2); // 2 and 3, the ones not measured
        QTRY_COMPARE(picked.count(), 1);
        QCOMPARE(picked.first().first().value<std::optional<qint64>>(), std::optional<qint64>(5));
        QCOMPARE(catalog.selectedNode()->id, 5);
        QCOMPARE(catalog.rememberedId(), std::optional<qint64>(5));
        QCOMPARE(catalog.pingResults().value(2), -1);
        QCOMPARE(catalog.pingResults().value(1), 30);
        QVERIFY(!catalog.pickingFastest());
        QCOMPARE(catalog.notice(), std::nullopt);

        // Nothing reachable: the selection stays, and the notice says so.
        offer({nodes.at(1), nodes.at(2), nodes.at(3)});
        catalog.pickFastest();
        QTRY_COMPARE(picked.count(), 2);
        QCOMPARE(picked.last().first().value<std::optional<qint64>>(), std::nullopt);
        QCOMPARE(catalog.selectedNode()->id, 2);
        QCOMPARE(catalog.notice(), std::optional(QStringLiteral("No reachable node")));
    }
};

QTEST_GUILESS_MAIN(TestLatencyProbe)
#include "tst_latencyprobe.moc"
