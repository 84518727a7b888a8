#include "TestEnvironment.h"
#include "TunnelFixture.h"
#include "platform/PrivilegedRunner.h"
#include "platform/SystemInfo.h"

#include <QFile>
#include <QProcess>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <unistd.h>

namespace {

const QString kServer = QStringLiteral("203.0.113.7");

QString routes()
{
    QProcess ip;
    ip.start(QStringLiteral("ip"), {QStringLiteral("route"), QStringLiteral("show")});
    ip.waitForFinished(5000);
    return QString::fromLocal8Bit(ip.readAllStandardOutput());
}

} // namespace

// The real disconnect against real routes. In a network namespace of its own (so the machine's routes
// are never touched) the simulated helper adds the two half-default routes and a route to the server,
// as a real helper does; the disconnect then runs the real "sudo -n" commands and the routes must go.
class TestRoutesInANamespace : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        TestEnvironment::useTemporaryLanguageStore();
        if (::geteuid() != 0)
            QSKIP("needs root to make a network namespace and run sudo (CI runs as root)");
        for (const char *tool : {"/usr/bin/sudo", "/sbin/route"}) {
            if (!QFile::exists(QString::fromLatin1(tool)))
                QSKIP(qPrintable(QStringLiteral("%1 is missing (scripts/deps installs it)").arg(QLatin1String(tool))));
        }
        if (::unshare(CLONE_NEWNET) != 0)
            QSKIP(qPrintable(QStringLiteral("cannot make a network namespace: %1")
                                 .arg(QString::fromLocal8Bit(std::strerror(errno)))));
        QCOMPARE(QProcess::execute(QStringLiteral("ip"), {"link", "set", "lo", "up"}), 0);
    }

    void disconnectDeletesTheRoutesTheHelperAdded()
    {
        qputenv("NIMBREL_SIMHELPER_ROUTES",
                QStringLiteral("0.0.0.0/1 dev lo;128.0.0.0/1 dev lo;%1 dev lo").arg(kServer).toLocal8Bit());
        TunnelFixture fixture(QStringLiteral("normal"), std::chrono::milliseconds(10), [](AppEnvironment &environment) {
            environment.platform.privilegedRunner = std::make_shared<SudoRunner>();
        });
        NodeInfo node = *fixture.vm().selectedNode();
        node.host = kServer;
        fixture.vm().setSelectedNode(node);
        fixture.installRights();

        fixture.vm().vpnConnect();
        QTRY_VERIFY_WITH_TIMEOUT(fixture.vm().isConnected(), 10000);
        const QString up = routes();
        QVERIFY2(up.contains(QLatin1String("0.0.0.0/1 dev lo")) && up.contains(QLatin1String("128.0.0.0/1 dev lo")) &&
                     up.contains(kServer + QLatin1String(" dev lo")),
                 qPrintable(up));
        const qint64 helper = fixture.helperPid();

        fixture.vm().vpnDisconnect();
        QTRY_COMPARE_WITH_TIMEOUT(fixture.vm().vpnStatus(), QStringLiteral("Disconnected"), 15000);
        QVERIFY(fixture.waitIdle());
        const QString down = routes();
        QVERIFY2(!down.contains(QLatin1String("0.0.0.0/1")) && !down.contains(QLatin1String("128.0.0.0/1")) &&
                     !down.contains(kServer),
                 qPrintable(down));
        QVERIFY2(!SystemInfo::isProcessAlive(pid_t(helper)), "sudo -n /bin/kill did not stop the helper");
        qunsetenv("NIMBREL_SIMHELPER_ROUTES");
    }
};

QTEST_GUILESS_MAIN(TestRoutesInANamespace)
#include "tst_routes_netns.moc"
