#include "ProbeTargets.h"
#include "TestEnvironment.h"
#include "app/NodeCatalog.h"
#include "app/AppViewModel.h"
#include "app/AppViewModel.h"
#include "i18n/LanguageManager.h"
#include "nodes/LatencyProbe.h"
#include "platform/PreferenceStore.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// A loopback port whose handshake never completes: a backlog of 0 filled by one connection of our own.
class SilentPort {
public:
    SilentPort()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address);
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length);
        ::listen(m_listener, 0);
        port = ntohs(address.sin_port);
        m_filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(m_filler, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    ~SilentPort()
    {
        ::close(m_filler);
        ::close(m_listener);
    }
    quint16 port = 0;

private:
    int m_listener = -1;
    int m_filler = -1;
};

quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort(); // closed again when server goes
}

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
    // Runs one probe and waits for its single answer; counts how many answers came.
    static qint64 ping(const QString &host, qint64 port, std::chrono::milliseconds timeout = 2000ms,
                       int *answers = nullptr)
    {
        QObject context;
        QList<qint64> results;
        LatencyProbe::tcpPing(host, port, timeout, &context, [&](qint64 ms) { results.append(ms); });
        static_cast<void>(QTest::qWaitFor([&] { return !results.isEmpty(); }, 10000)); // none: -2 below
        QTest::qWait(int(timeout.count()) / 4 + 20); // a racing second delivery would land in here
        if (answers)
            *answers = int(results.size());
        return results.isEmpty() ? -2 : results.first();
    }

private slots:
    void initTestCase() { TestEnvironment::useTemporaryLanguageStore(); }

    void outcomes()
    {
        QTcpServer open;
        QVERIFY(open.listen(QHostAddress::LocalHost, 0));
        int answers = 0;
        const qint64 reachable = ping(QStringLiteral("127.0.0.1"), open.serverPort(), 2000ms, &answers);
        QVERIFY2(reachable >= 0, qPrintable(QString::number(reachable)));
        QCOMPARE(answers, 1);
        QTRY_VERIFY(open.hasPendingConnections()); // a real handshake happened

        QCOMPARE(ping(QStringLiteral("localhost"), open.serverPort()) >= 0, true);
        QCOMPARE(ping(QStringLiteral("127.0.0.1"), closedPort()), -1);

        SilentPort silent;
        QCOMPARE(ping(QStringLiteral("127.0.0.1"), silent.port, 200ms, &answers), -1);
        QCOMPARE(answers, 1);

        QCOMPARE(ping(QStringLiteral("no-such-host.invalid"), 443, 500ms), -1);
    }

    void portOutsideTcpRangeIsATimeoutAtOnce()
    {
        QCOMPARE(ping(QStringLiteral("127.0.0.1"), 70000, 5000ms), -1);
        QCOMPARE(ping(QStringLiteral("127.0.0.1"), -1, 5000ms), -1);
    }

    void destroyedContextGetsNoAnswer()
    {
        SilentPort silent;
        bool answered = false;
        {
            QObject context;
            LatencyProbe::tcpPing(QStringLiteral("127.0.0.1"), silent.port, 50ms, &context,
                                  [&](qint64) { answered = true; });
        }
        QTest::qWait(120);
        QVERIFY(!answered);
    }

    void pingNodeRunsOneProbePerNode()
    {
        TestEnvironment env;
        AppViewModel vm(env.environment()); // probe timeout shortened by the environment
        SilentPort silent;
        const NodeInfo target = node(7, QStringLiteral("127.0.0.1"), silent.port);
        QSignalSpy state(&vm, &AppViewModel::pingStateChanged);
        vm.pingNode(target);
        vm.pingNode(target);
        QCOMPARE(state.count(), 1);
        QCOMPARE(vm.pingingNodes().value(7), true);
        QVERIFY(!vm.pingResults().contains(7));
        QTRY_COMPARE(vm.pingingNodes().value(7, true), false);
        QCOMPARE(vm.pingResults().value(7), -1);
        QCOMPARE(state.count(), 3); // start, result, end: one probe only
    }

    void aSecondProbeReplacesTheFirstResult()
    {
        TestEnvironment env;
        AppViewModel vm(env.environment());
        auto open = std::make_unique<QTcpServer>();
        QVERIFY(open->listen(QHostAddress::LocalHost, 0));
        const NodeInfo target = node(3, QStringLiteral("127.0.0.1"), open->serverPort());
        vm.pingNode(target);
        QTRY_COMPARE(vm.pingingNodes().value(3, true), false);
        QVERIFY(vm.pingResults().value(3) >= 0);

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

        // A pick cut short by the session's end does not stay busy, and its probes report into nothing.
        offer(nodes);
        catalog.pickFastest();
        catalog.clear();
        QVERIFY(!catalog.pickingFastest());
        QCOMPARE(catalog.notice(), std::nullopt);
        QTest::qWait(20);
        QVERIFY(catalog.pingResults().isEmpty());
        QCOMPARE(picked.count(), 2);
    }

    void resetEmptiesBothMapsAndKeepsThemEmpty()
    {
        TestEnvironment env;
        AppViewModel vm(env.environment());
        SilentPort silent;
        QTcpServer open;
        QVERIFY(open.listen(QHostAddress::LocalHost, 0));
        vm.pingNode(node(1, QStringLiteral("127.0.0.1"), open.serverPort()));
        QTRY_VERIFY(vm.pingResults().contains(1));
        vm.pingNode(node(2, QStringLiteral("127.0.0.1"), silent.port));
        vm.nodeCatalog().clear(); // as at the session's end
        QVERIFY(vm.pingResults().isEmpty());
        QVERIFY(vm.pingingNodes().isEmpty());
        QTest::qWait(int(env.environment().intervals.probeTimeout.count()) + 100);
        QVERIFY(vm.pingResults().isEmpty()); // the probe that was running reports into no session
        QVERIFY(vm.pingingNodes().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestLatencyProbe)
#include "tst_latencyprobe.moc"
