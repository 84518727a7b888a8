#include "OtherUser.h"
#include "TestEnvironment.h"
#include "TunnelFixture.h"
#include "platform/PreferenceStore.h"
#include "platform/PrivilegedRunner.h"
#include "platform/SystemInfo.h"
#include "tunnel/ControlProgram.h"
#include "tunnel/HelperLocator.h"
#include "tunnel/PrivilegeInstaller.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString kServer = QStringLiteral("203.0.113.7");
const QString kTestFolder = QStringLiteral("/usr/local/nimbrel-test");
const QString kHelper = kTestFolder + QStringLiteral("/nimbrel-macos");
const QString kUser = QStringLiteral("nobody");

struct Ran {
    int status = -1;
    QByteArray output;
};

// Starts argv as the other user or as root, its standard output on a pipe when one is given.
pid_t spawnAs(bool asOtherUser, const QStringList &argv, int outputFd = -1)
{
    QList<QByteArray> words;
    for (const QString &word : argv)
        words.append(QFile::encodeName(word));
    std::vector<char *> pointers;
    for (QByteArray &word : words)
        pointers.push_back(word.data());
    pointers.push_back(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(outputFd >= 0 ? outputFd : null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::dup2(null, STDIN_FILENO);
        if (asOtherUser && !OtherUser::become())
            ::_exit(126);
        ::execv(pointers.front(), pointers.data());
        ::_exit(127);
    }
    return child;
}

Ran runAs(bool asOtherUser, const QStringList &argv)
{
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        return {};
    const pid_t child = spawnAs(asOtherUser, argv, pipe[1]);
    ::close(pipe[1]);
    Ran ran;
    char buffer[4096];
    for (ssize_t got; (got = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        ran.output.append(buffer, got);
    ::close(pipe[0]);
    int status = 0;
    if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status))
        ran.status = WEXITSTATUS(status);
    return ran;
}

// What the user may do through sudo: "sudo -n" followed by the words, as the unprivileged user.
Ran sudoAsUser(const QStringList &words)
{
    return runAs(true, QStringList{QStringLiteral("/usr/bin/sudo"), QStringLiteral("-n")} + words);
}

Ran control(const QStringList &arguments)
{
    return sudoAsUser(QStringList{ControlProgram::Location().program} + arguments);
}

QString routes()
{
    return QString::fromLocal8Bit(
        runAs(false, {QStringLiteral("/sbin/ip"), QStringLiteral("route"), QStringLiteral("show")}).output);
}

bool addRoute(const QString &route)
{
    return runAs(false, QStringList{QStringLiteral("/sbin/ip"), QStringLiteral("route"), QStringLiteral("replace")} +
                            route.split(QLatin1Char(' ')))
               .status == 0;
}

void stopProcess(pid_t pid)
{
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// Only this test's network namespace has these routes.
void flushRoutes()
{
    runAs(false, {QStringLiteral("/sbin/ip"), QStringLiteral("route"), QStringLiteral("flush"), QStringLiteral("table"),
                  QStringLiteral("main")});
}

bool mountTmpfs(const char *where, const char *mode)
{
    return ::mount("tmpfs", where, "tmpfs", 0, mode) == 0;
}

bool writeAsRoot(const QString &path, const QByteArray &content, mode_t mode)
{
    QFile::remove(path);
    return TestEnvironment::writeFile(path, content) && ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

// Runs the installation command as root, as the administrator dialog would once approved.
class RootShellPrompt final : public AdminPrompt {
public:
    ScriptResult runAsAdmin(const QString &shellCommand) override
    {
        return ScriptResult::run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), shellCommand});
    }
    bool isAvailable() const override { return true; }
};

} // namespace

// The root boundary for real: in a private mount namespace (tmpfs over /etc/sudoers.d, /usr/local and
// /tmp, so the machine is never changed) and a network namespace of its own, the real installation runs
// as root for the unprivileged user "nobody", and everything after it runs as that user through the real
// "sudo -n". Root proves nothing here, since every sudo call succeeds for root.
class TestRootBoundary : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to make namespaces and install rights (CI runs as root)");
        for (const char *tool : {"/usr/bin/sudo", "/sbin/route", "/sbin/ip", "/usr/sbin/visudo"}) {
            if (!QFile::exists(QString::fromLatin1(tool)))
                QSKIP(qPrintable(QStringLiteral("%1 is missing (scripts/deps installs it)").arg(QLatin1String(tool))));
        }
        if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
            QSKIP(qPrintable(
                QStringLiteral("cannot make namespaces: %1").arg(QString::fromLocal8Bit(std::strerror(errno)))));
        // The build folder may itself lie under /tmp, which is about to be covered.
        const QByteArray simulatedHelper = TestEnvironment::contentOf(QStringLiteral(NIMBREL_SIMHELPER_BINARY));
        QCOMPARE(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        QVERIFY(mountTmpfs("/etc/sudoers.d", "mode=0755"));
        QVERIFY(mountTmpfs("/usr/local", "mode=0755"));
        QVERIFY(mountTmpfs("/tmp", "mode=1777"));
        QCOMPARE(runAs(false, {QStringLiteral("/sbin/ip"), QStringLiteral("link"), QStringLiteral("set"),
                               QStringLiteral("lo"), QStringLiteral("up")})
                     .status,
                 0);
        TestEnvironment::useTemporaryLanguageStore();

        // The user's own helper, where only root and the user can change it, and a drop-in of the old
        // kind that gave password-less root.
        QVERIFY(QDir().mkpath(kTestFolder));
        QVERIFY(TestEnvironment::writeFile(kHelper, simulatedHelper));
        QCOMPARE(::chown(QFile::encodeName(kHelper).constData(), OtherUser::kUid, OtherUser::kGid), 0);
        QCOMPARE(::chmod(QFile::encodeName(kHelper).constData(), 0755), 0);
        QVERIFY(writeAsRoot(QStringLiteral("/etc/sudoers.d/nimbrel"),
                            "nobody ALL=(ALL) NOPASSWD: /bin/kill\nnobody ALL=(ALL) NOPASSWD: /sbin/route\n"
                            "nobody ALL=(ALL) NOPASSWD: /bin/sh\n",
                            0440));

        TestEnvironment env;
        const PrivilegeInstaller installer(env.preferences, std::make_shared<RootShellPrompt>(),
                                           std::make_shared<SudoRunner>(), {});
        QCOMPARE(installer.doInstallPrivileges(kHelper, kUser), PrivilegeInstaller::Outcome::Installed);
    }

    void theInstallationHoldsOneRuleForOneRootOwnedProgram()
    {
        const ControlProgram::Location location;
        QCOMPARE(TestEnvironment::contentOf(QStringLiteral("/etc/sudoers.d/nimbrel")),
                 "nobody ALL=(root) NOPASSWD: " + QFile::encodeName(location.program) + '\n');
        QVERIFY(QDir(QStringLiteral("/etc/sudoers.d")).entryList(QDir::Files | QDir::Hidden) ==
                QStringList{QStringLiteral("nimbrel")});
        struct stat info {};
        QCOMPARE(::stat("/etc/sudoers.d/nimbrel", &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0440));
        QCOMPARE(info.st_uid, uid_t(0));
        QVERIFY(ControlProgram::isCurrentRootCopy(location.program));
        QCOMPARE(TestEnvironment::contentOf(location.configFile), QFile::encodeName(kHelper) + '\n');
        QCOMPARE(::stat(QFile::encodeName(kHelper).constData(), &info), 0);
        QCOMPARE(info.st_uid, uid_t(0));
        QCOMPARE(info.st_mode & 07777, mode_t(04755));
    }

    void theUserGetsNoRootButThroughTheControlProgram()
    {
        const QList<QStringList> attempts{{QStringLiteral("/bin/sh"), QStringLiteral("-c"), QStringLiteral("id")},
                                          {QStringLiteral("/bin/kill"), QStringLiteral("-9"), QStringLiteral("1")},
                                          {QStringLiteral("/sbin/route"), QStringLiteral("delete"),
                                           QStringLiteral("-net"), QStringLiteral("0.0.0.0/1")},
                                          {QStringLiteral("/bin/sh"), QStringLiteral("/tmp/fw_smart_cleanup.sh")}};
        for (const QStringList &attempt : attempts)
            QVERIFY2(sudoAsUser(attempt).status != 0, qPrintable(attempt.join(QLatin1Char(' '))));

        const Ran check = control({QStringLiteral("check")});
        QCOMPARE(check.status, 0);
        QCOMPARE(ControlProgram::readyHelperFrom(check.output), std::optional(kHelper));
        QVERIFY(control({QStringLiteral("install")}).status != 0);
    }

    void stopStopsOnlyTheHelper()
    {
        // The helper, started by the user (it runs as root); a copy of it elsewhere; a root process.
        const QString copy = kTestFolder + QStringLiteral("/copy");
        QVERIFY(QFile::copy(kHelper, copy));
        QCOMPARE(::chmod(QFile::encodeName(copy).constData(), 0755), 0);
        const QStringList arguments{QStringLiteral("--server-addr"), QStringLiteral("127.0.0.1:1"),
                                    QStringLiteral("--sni"), QStringLiteral("x"), QStringLiteral("--route-all")};
        const pid_t helper = spawnAs(true, QStringList{kHelper} + arguments);
        const pid_t other = spawnAs(true, QStringList{copy} + arguments);
        const pid_t sleeper = spawnAs(false, {QStringLiteral("/bin/sleep"), QStringLiteral("30")});
        QTRY_VERIFY(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(helper)) == kHelper);

        for (const QString &refused :
             {QString::number(other), QString::number(sleeper), QStringLiteral("1"), QStringLiteral("0"),
              QStringLiteral("-1"), QStringLiteral("12x"), QStringLiteral("99999999999")})
            QVERIFY2(control({QStringLiteral("stop"), refused}).status != 0, qPrintable(refused));
        QVERIFY(control({QStringLiteral("stop"), QString::number(helper), QString::number(sleeper)}).status != 0);
        QVERIFY(SystemInfo::isProcessAlive(other));
        QVERIFY(SystemInfo::isProcessAlive(sleeper));
        QVERIFY(SystemInfo::isProcessAlive(helper));

        QCOMPARE(control({QStringLiteral("stop"), QString::number(helper)}).status, 0);
        int status = 0;
        QCOMPARE(::waitpid(helper, &status, 0), helper);
        // Gone and reaped: its number no longer names the helper, whatever runs under it next.
        QVERIFY(control({QStringLiteral("stop"), QString::number(helper)}).status != 0);
        stopProcess(other);
        stopProcess(sleeper);
        QFile::remove(copy);
    }

    void routesDeletesOnlyTheTunnelsRoutes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("hostRouteGoes");
        QTest::addColumn<bool>("halvesGo");
        QTest::newRow("the server") << QStringList{kServer} << true << true;
        QTest::newRow("no host") << QStringList{} << false << true;
        QTest::newRow("an option") << QStringList{QStringLiteral("-net")} << false << true;
        QTest::newRow("default") << QStringList{QStringLiteral("default")} << false << true;
        QTest::newRow("unspecified address") << QStringList{QStringLiteral("0.0.0.0")} << false << true;
        QTest::newRow("a number") << QStringList{QStringLiteral("0")} << false << true;
        QTest::newRow("an extra route") << QStringList{kServer, QStringLiteral("-net"), QStringLiteral("0.0.0.0/0")}
                                        << false << false;
    }

    void routesDeletesOnlyTheTunnelsRoutes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, hostRouteGoes);
        QFETCH(bool, halvesGo);
        flushRoutes();
        for (const QString &route : {QStringLiteral("default dev lo"), kServer + QStringLiteral(" dev lo"),
                                     QStringLiteral("0.0.0.0/1 dev lo"), QStringLiteral("128.0.0.0/1 dev lo")})
            QVERIFY(addRoute(route));
        const bool accepted = control(QStringList{QStringLiteral("routes")} + arguments).status == 0;
        QCOMPARE(accepted, hostRouteGoes || arguments.isEmpty());
        const QString after = routes();
        QVERIFY2(after.contains(QLatin1String("default dev lo")), qPrintable(after));
        QVERIFY2(after.contains(kServer) != hostRouteGoes, qPrintable(after));
        QVERIFY2(after.contains(QLatin1String("0.0.0.0/1")) != halvesGo, qPrintable(after));
        QVERIFY2(after.contains(QLatin1String("128.0.0.0/1")) != halvesGo, qPrintable(after));
    }

    void smartCleanupRunsOnlyRootsOwnScript_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("runs");
        QTest::newRow("root's own") << "root" << true;
        QTest::newRow("written by the user") << "user" << false;
        QTest::newRow("root's, writable by the group") << "group-writable" << false;
        QTest::newRow("the user's link to root's script") << "link" << false;
    }

    void smartCleanupRunsOnlyRootsOwnScript()
    {
        QFETCH(QString, kind);
        QFETCH(bool, runs);
        const QString script = QStringLiteral("/tmp/fw_smart_cleanup.sh");
        const QString gateway = QStringLiteral("/tmp/fw_smart_gw.txt");
        const QString ran = QStringLiteral("/tmp/script-ran");
        const QString rootsScript = QStringLiteral("/usr/local/nimbrel-test/cleanup.sh");
        const QByteArray body = "#!/bin/sh\ntouch " + QFile::encodeName(ran) + "\n";
        QFile::remove(ran);
        QVERIFY(writeAsRoot(gateway, "192.0.2.1\n", 0644));
        if (kind == QLatin1String("root") || kind == QLatin1String("group-writable")) {
            QVERIFY(writeAsRoot(script, body, kind == QLatin1String("root") ? 0644 : 0664));
        } else if (kind == QLatin1String("user")) {
            QVERIFY(OtherUser::run([&] { return TestEnvironment::writeFile(script, body); }));
        } else {
            QVERIFY(writeAsRoot(rootsScript, body, 0644));
            QVERIFY(OtherUser::run([&] { return QFile::link(rootsScript, script); }));
        }
        QCOMPARE(control({QStringLiteral("smart-cleanup")}).status == 0, runs);
        QCOMPARE(QFile::exists(ran), runs);
        // After a real script nothing is left behind; a refused one is not touched.
        QCOMPARE(QFileInfo::exists(script) || QFileInfo(script).isSymLink(), !runs);
        QCOMPARE(QFile::exists(gateway), !runs);
        QFile::remove(script);
        QFile::remove(gateway);
        QFile::remove(ran);
    }

    // The app's own disconnect, as the user: the simulated helper (set-user-ID root by the installation)
    // adds real routes in this network namespace, and the disconnect must remove them through the
    // control program and the real "sudo -n".
    void disconnectDeletesTheRoutesTheHelperAdded()
    {
        flushRoutes();
        qputenv("NIMBREL_SIMHELPER_ROUTES",
                QStringLiteral("0.0.0.0/1 dev lo;128.0.0.0/1 dev lo;%1 dev lo").arg(kServer).toLocal8Bit());
        TunnelFixture fixture(QStringLiteral("normal"), std::chrono::milliseconds(10), [](AppEnvironment &environment) {
            environment.platform.privilegedRunner = std::make_shared<SudoRunner>();
        });
        NodeInfo node = *fixture.vm().selectedNode();
        node.host = kServer;
        fixture.vm().setSelectedNode(node);
        fixture.env.preferences->setString(HelperLocator::binaryPathKey, kHelper);
        fixture.env.preferences->setString(PrivilegeInstaller::setupBinaryPathKey, kHelper);
        // Everything the client writes lies in the test's folder: make it the user's, then become the user
        // (the saved set-user-ID keeps root for the clean-up after).
        QCOMPARE(runAs(false, {QStringLiteral("/bin/chown"), QStringLiteral("-R"), QStringLiteral("nobody"),
                               fixture.env.path(QString())})
                     .status,
                 0);
        QCOMPARE(::setresgid(OtherUser::kGid, OtherUser::kGid, 0), 0);
        QCOMPARE(::setresuid(OtherUser::kUid, OtherUser::kUid, 0), 0);
        const auto becomeRootAgain = qScopeGuard([] {
            ::setresuid(0, 0, 0);
            ::setresgid(0, 0, 0);
        });

        fixture.vm().vpnConnect();
        QTRY_VERIFY2_WITH_TIMEOUT(fixture.vm().isConnected(), qPrintable(fixture.vm().vpnStatus()), 10000);
        QVERIFY(fixture.prompt->commands().isEmpty()); // the rights were found installed
        const QString up = routes();
        QVERIFY2(up.contains(QLatin1String("0.0.0.0/1 dev lo")) && up.contains(QLatin1String("128.0.0.0/1 dev lo")) &&
                     up.contains(kServer + QLatin1String(" dev lo")),
                 qPrintable(up));
        const pid_t helper = pid_t(*fixture.vm().tunnelPid());

        fixture.vm().vpnDisconnect();
        QTRY_COMPARE_WITH_TIMEOUT(fixture.vm().vpnStatus(), QStringLiteral("Disconnected"), 15000);
        QVERIFY(fixture.waitIdle());
        const QString down = routes();
        QVERIFY2(!down.contains(QLatin1String("0.0.0.0/1")) && !down.contains(QLatin1String("128.0.0.0/1")) &&
                     !down.contains(kServer),
                 qPrintable(down));
        QTRY_VERIFY2(!SystemInfo::isProcessAlive(helper), "the control program did not stop the helper");
        qunsetenv("NIMBREL_SIMHELPER_ROUTES");
    }
};

QTEST_GUILESS_MAIN(TestRootBoundary)
#include "tst_rootboundary.moc"
