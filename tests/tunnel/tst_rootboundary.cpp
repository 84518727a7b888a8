#include "OtherUser.h"
#include "TestEnvironment.h"
#include "TunnelFixture.h"
#include "platform/FileTrust.h"
#include "platform/PreferenceStore.h"
#include "platform/PrivilegedRunner.h"
#include "platform/ProcessIdentity.h"
#include "platform/SystemInfo.h"
#include "tunnel/ControlProgram.h"
#include "tunnel/HelperLocator.h"
#include "tunnel/PrivilegeInstaller.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString kServer = QStringLiteral("203.0.113.7");
const QString kTestFolder = QStringLiteral("/usr/local/nimbrel-test");
const QString kHelper = kTestFolder + QStringLiteral("/nimbrel-macos");
const QString kOldHelper = kTestFolder + QStringLiteral("/old/nimbrel-macos");
const QString kVictim = QStringLiteral("/usr/local/bin/victim");
const QString kScenarioFile = QStringLiteral("/usr/local/etc/nimbrel/simhelper");
const QString kRunFile = QStringLiteral("/run/nimbrel/helper");
const QString kRecord = QStringLiteral("/tmp/simhelper-record.json");
const QString kScript = QStringLiteral("/tmp/fw_smart_cleanup.sh");
// The user who installs: named "ALL", a name sudoers would read as a reserved word.
constexpr uid_t kOwner = 4241;

enum class Who { root, owner, other };

struct Ran {
    int status = -1;
    QByteArray output;
};

bool become(Who who)
{
    switch (who) {
    case Who::root:
        return true;
    case Who::owner:
        return OtherUser::become(kOwner, kOwner);
    case Who::other:
        return OtherUser::become();
    }
    return false;
}

// Starts argv as who, in a session of its own, with the given standard input and output (or
// /dev/null); umask as given.
pid_t spawnAs(Who who, const QStringList &argv, int outputFd = -1, int inputFd = -1, mode_t mask = 022)
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
        ::setsid();
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(outputFd >= 0 ? outputFd : null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::dup2(inputFd >= 0 ? inputFd : null, STDIN_FILENO);
        ::umask(mask);
        if (!become(who))
            ::_exit(126);
        ::execv(pointers.front(), pointers.data());
        ::_exit(127);
    }
    return child;
}

// A pipe already holding input, for a child's standard input.
int inputPipe(const QByteArray &input)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    static_cast<void>(::write(fds[1], input.constData(), size_t(input.size())));
    ::close(fds[1]);
    return fds[0];
}

Ran runAs(Who who, const QStringList &argv, const QByteArray &input = QByteArray())
{
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        return {};
    const int in = input.isEmpty() ? -1 : inputPipe(input);
    const pid_t child = spawnAs(who, argv, pipe[1], in);
    ::close(pipe[1]);
    if (in >= 0)
        ::close(in);
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

QStringList sudo(const QStringList &words)
{
    return QStringList{QStringLiteral("/usr/bin/sudo"), QStringLiteral("-n")} + words;
}

Ran control(Who who, const QStringList &arguments)
{
    return runAs(who, sudo(QStringList{ControlProgram::Location().program} + arguments));
}

// "sudo -n nimbrel-control start" as who, the key on its standard input; it runs until the helper ends.
pid_t startHelper(Who who, const QString &mode, mode_t mask = 022)
{
    const int in = inputPipe("the-psk\n");
    const int out = ::open("/tmp/helper-output", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const pid_t pid = spawnAs(who,
                              sudo({ControlProgram::Location().program, QStringLiteral("start"), mode,
                                    QStringLiteral("127.0.0.1:1"), QStringLiteral("sni.test")}),
                              out, in, mask);
    ::close(in);
    ::close(out);
    return pid;
}

// The helper the control program recorded as running, once its start marker is out.
qint64 runningHelper()
{
    const QByteArray run = TestEnvironment::contentOf(kRunFile);
    const qsizetype at = run.indexOf("pid ");
    return at < 0 ? -1 : run.mid(at + 4, run.indexOf('\n', at) - at - 4).toLongLong();
}

uid_t ownerOf(const QString &path)
{
    return FileTrust::ownerOf(path).value_or(uid_t(-1));
}

mode_t modeOf(const QString &path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// Every file with a set-user-ID or set-group-ID bit on the file systems this test covers.
QStringList markedFiles()
{
    const Ran found = runAs(Who::root, {QStringLiteral("/usr/bin/find"), QStringLiteral("/usr/local"),
                                        QStringLiteral("/etc/sudoers.d"), QStringLiteral("/run"), QStringLiteral("/tmp"),
                                        QStringLiteral("-xdev"), QStringLiteral("-perm"), QStringLiteral("/6000")});
    return QString::fromLocal8Bit(found.output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
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

bool giveTo(uid_t user, const QString &path)
{
    return ::lchown(QFile::encodeName(path).constData(), user, user) == 0;
}

// A file of the system's own in place of /etc/passwd and /etc/group, with the extra account added.
bool bindWithExtraLine(const QString &system, const QString &copy, const QByteArray &line)
{
    return TestEnvironment::writeFile(copy, TestEnvironment::contentOf(system) + line) &&
           ::chmod(QFile::encodeName(copy).constData(), 0644) == 0 &&
           ::mount(QFile::encodeName(copy).constData(), QFile::encodeName(system).constData(), nullptr, MS_BIND,
                   nullptr) == 0;
}

QString routes()
{
    return QString::fromLocal8Bit(
        runAs(Who::root, {QStringLiteral("/sbin/ip"), QStringLiteral("route"), QStringLiteral("show")}).output);
}

bool addRoute(const QString &route)
{
    return runAs(Who::root, QStringList{QStringLiteral("/sbin/ip"), QStringLiteral("route"),
                                        QStringLiteral("replace")} +
                                route.split(QLatin1Char(' ')))
               .status == 0;
}

void flushRoutes()
{
    runAs(Who::root, {QStringLiteral("/sbin/ip"), QStringLiteral("route"), QStringLiteral("flush"),
                      QStringLiteral("table"), QStringLiteral("main")});
}

// Runs the installation as root, as the administrator dialog would once approved.
class RootShellPrompt final : public AdminPrompt {
public:
    ScriptResult runAsAdmin(const QStringList &command) override
    {
        return ScriptResult::run(command.first(), command.mid(1));
    }
    bool isAvailable() const override { return true; }
};

PrivilegeInstaller::Outcome install(const QString &helper)
{
    TestEnvironment env;
    const PrivilegeInstaller installer(env.preferences, std::make_shared<RootShellPrompt>(),
                                       std::make_shared<SudoRunner>(), {});
    return installer.doInstallPrivileges(helper, kOwner);
}

// A child, as the owner of the helper's folder, that swaps path between its real file and a link to
// target as fast as it can until killed (by renames alone: the folder is the user's, the file need not be).
pid_t startSwapping(const QString &path, const QString &target)
{
    const QByteArray file = QFile::encodeName(path);
    const QByteArray real = file + ".real";
    const QByteArray link = file + ".link";
    const pid_t child = ::fork();
    if (child == 0) {
        if (!OtherUser::become(kOwner, kOwner) || ::symlink(QFile::encodeName(target).constData(), link.constData()) != 0)
            ::_exit(1);
        for (;;) {
            ::rename(file.constData(), real.constData());
            ::rename(link.constData(), file.constData());
            ::rename(file.constData(), link.constData());
            ::rename(real.constData(), file.constData());
        }
    }
    return child;
}

void stopSwapping(pid_t swapper, const QString &path)
{
    ::kill(swapper, SIGKILL);
    ::waitpid(swapper, nullptr, 0);
    const QByteArray file = QFile::encodeName(path);
    if (QFileInfo::exists(QFile::decodeName(file + ".real")))
        ::rename((file + ".real").constData(), file.constData());
    ::unlink((file + ".link").constData());
}

} // namespace

// The root boundary for real: in a private mount namespace (tmpfs over /etc/sudoers.d, /usr/local, /run
// and /tmp, and a passwd file with a second account, so the machine is never changed) and a network
// namespace of its own, the real installation runs as root for the user "ALL", and everything after it
// runs as that user, or as "nobody", through the real "sudo -n". Root proves nothing here, since every
// sudo call succeeds for root.
class TestRootBoundary : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const bool ci = qEnvironmentVariableIsSet("CI");
        if (::geteuid() != 0) {
            if (ci)
                QFAIL("CI runs as root: the root boundary must be tried there");
            QSKIP("needs root to make namespaces and install rights (CI runs as root)");
        }
        for (const char *tool : {"/usr/bin/sudo", "/sbin/route", "/sbin/ip", "/usr/sbin/visudo"})
            QVERIFY2(QFile::exists(QString::fromLatin1(tool)), tool); // scripts/deps installs them
        if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
            QFAIL(qPrintable(
                QStringLiteral("cannot make namespaces: %1").arg(QString::fromLocal8Bit(std::strerror(errno)))));
        // The build folder and the sources may themselves lie under /tmp, which is about to be covered.
        const QByteArray simulatedHelper = TestEnvironment::contentOf(QStringLiteral(NIMBREL_SIMHELPER_BINARY));
        m_unmarkRoutine = TestEnvironment::contentOf(qEnvironmentVariable("NIMBREL_SOURCE_DIR") +
                                                     QStringLiteral("/src/tunnel/nimbrel-unmark.sh"));
        QVERIFY2(m_unmarkRoutine.contains("unmark_helper()"), "NIMBREL_SOURCE_DIR names no source tree (ctest sets it)");
        QCOMPARE(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        QVERIFY(mountTmpfs("/etc/sudoers.d", "mode=0755"));
        QVERIFY(mountTmpfs("/usr/local", "mode=0755"));
        QVERIFY(mountTmpfs("/tmp", "mode=1777"));
        QVERIFY(mountTmpfs("/run", "mode=0755"));
        QVERIFY(QDir().mkpath(QStringLiteral("/usr/local/accounts")));
        QVERIFY(bindWithExtraLine(QStringLiteral("/etc/passwd"), QStringLiteral("/usr/local/accounts/passwd"),
                                  "ALL:x:4241:4241::/nonexistent:/usr/sbin/nologin\n"));
        QVERIFY(bindWithExtraLine(QStringLiteral("/etc/group"), QStringLiteral("/usr/local/accounts/group"),
                                  "ALL:x:4241:\n"));
        QVERIFY(bindWithExtraLine(QStringLiteral("/etc/shadow"), QStringLiteral("/usr/local/accounts/shadow"),
                                  "ALL:*:19000:0:99999:7:::\n"));
        QCOMPARE(runAs(Who::root, {QStringLiteral("/sbin/ip"), QStringLiteral("link"), QStringLiteral("set"),
                                   QStringLiteral("lo"), QStringLiteral("up")})
                     .status,
                 0);
        TestEnvironment::useTemporaryLanguageStore();

        // The user's own helper in a folder of the user's; root's program of the system elsewhere; a
        // helper that the set-user-ID form of the installation made root's, with its configuration, its
        // sudoers rule and a clean-up script it left.
        QVERIFY(QDir().mkpath(kTestFolder + QStringLiteral("/old")));
        QVERIFY(QDir().mkpath(QStringLiteral("/usr/local/bin")));
        QVERIFY(TestEnvironment::writeFile(kHelper, simulatedHelper));
        QCOMPARE(::chmod(QFile::encodeName(kHelper).constData(), 0755), 0);
        QVERIFY(giveTo(kOwner, kHelper) && giveTo(kOwner, kTestFolder) &&
                giveTo(kOwner, kTestFolder + QStringLiteral("/old")));
        QVERIFY(writeAsRoot(kVictim, "#!/bin/sh\n", 04755));
        QVERIFY(writeAsRoot(kOldHelper, simulatedHelper, 04755));
        QVERIFY(QDir().mkpath(QStringLiteral("/usr/local/etc/nimbrel")));
        QVERIFY(writeAsRoot(ControlProgram::Location().configFile, QFile::encodeName(kOldHelper) + '\n', 0644));
        QVERIFY(writeAsRoot(QStringLiteral("/etc/sudoers.d/nimbrel"),
                            "ALL ALL=(ALL) NOPASSWD: /bin/kill\nALL ALL=(ALL) NOPASSWD: /bin/sh\n", 0440));
        QVERIFY(writeAsRoot(kScript, "#!/bin/sh\ntouch /tmp/old-script-ran\n", 0644));

        QCOMPARE(install(kHelper), PrivilegeInstaller::Outcome::Installed);
        // The victim stays as it was; only the configured old helper and the test's victim are marked.
        QCOMPARE(markedFiles(), QStringList{kVictim});
    }

    void theOnePromptInstallsARootCopyByUserNumber()
    {
        const ControlProgram::Location location;
        // "ALL" is named by number: as a word it would give every user of the machine the rule.
        QCOMPARE(TestEnvironment::contentOf(QStringLiteral("/etc/sudoers.d/nimbrel")),
                 "#4241 ALL=(root) NOPASSWD: " + QFile::encodeName(location.program) + '\n');
        QCOMPARE(QDir(QStringLiteral("/etc/sudoers.d")).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("nimbrel")});
        QCOMPARE(modeOf(QStringLiteral("/etc/sudoers.d/nimbrel")), mode_t(0440));
        QVERIFY(ControlProgram::isCurrentRootCopy(location.program, ControlProgram::text()));
        QCOMPARE(ownerOf(location.helperCopy), uid_t(0));
        QCOMPARE(modeOf(location.helperCopy), mode_t(0755));
        const QString hash = FileTrust::sha256Of(kHelper);
        QCOMPARE(FileTrust::sha256Of(location.helperCopy), hash);
        QCOMPARE(TestEnvironment::contentOf(location.configFile),
                 "source " + QFile::encodeName(kHelper) + "\nsha256 " + hash.toLatin1() + '\n');
        // The user's helper is as it was: the user's, not set-user-ID.
        QCOMPARE(ownerOf(kHelper), kOwner);
        QCOMPARE(modeOf(kHelper), mode_t(0755));

        const std::optional<ControlProgram::Installation> installation =
            ControlProgram::installationFrom(control(Who::owner, {QStringLiteral("check")}).output);
        QVERIFY(installation);
        QCOMPARE(installation->helper, location.helperCopy);
        QCOMPARE(installation->source, kHelper);
        QCOMPARE(installation->sha256, hash);
        QVERIFY(!installation->runningPid);
    }

    // The upgrade from the set-user-ID form took the old helper's bit back, and deleted the clean-up
    // script that form left without running it.
    void theUpgradeTookTheOldBitBack()
    {
        QCOMPARE(modeOf(kOldHelper), mode_t(0755));
        QCOMPARE(ownerOf(kOldHelper), uid_t(0));
        QVERIFY(!QFile::exists(kScript));
        QVERIFY(!QFile::exists(QStringLiteral("/tmp/old-script-ran")));
    }

    void nobodyGetsRootButThroughTheControlProgram()
    {
        const QList<QStringList> attempts{{QStringLiteral("/bin/sh"), QStringLiteral("-c"), QStringLiteral("id")},
                                          {QStringLiteral("/bin/kill"), QStringLiteral("-9"), QStringLiteral("1")},
                                          {ControlProgram::Location().helperCopy, QStringLiteral("--route-all")}};
        for (const Who who : {Who::owner, Who::other}) {
            for (const QStringList &attempt : attempts)
                QVERIFY2(runAs(who, sudo(attempt)).status != 0, qPrintable(attempt.join(QLatin1Char(' '))));
        }
        QVERIFY(control(Who::owner, {QStringLiteral("install")}).status != 0);
        QVERIFY(control(Who::other, {QStringLiteral("check")}).status != 0); // no rule for the second account
    }

    // The control program starts root's copy for its caller with a fixed environment and the key from
    // its standard input; only that caller can see or stop it, another user's start waits for it to end,
    // and stop ends even a helper that ignores SIGTERM or was stopped with SIGSTOP.
    void startStopAndCheckAreTheCallersAlone_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<bool>("sigstop");
        QTest::newRow("a helper that ends on SIGTERM") << "normal" << false;
        QTest::newRow("a helper stopped with SIGSTOP") << "normal" << true;
        QTest::newRow("a helper ignoring SIGTERM") << "ignore-term" << false;
        QTest::newRow("a helper that has become another program") << "exec" << false;
    }

    void startStopAndCheckAreTheCallersAlone()
    {
        QFETCH(QString, scenario);
        QFETCH(bool, sigstop);
        // The second account has installed rights of its own too.
        QVERIFY(writeAsRoot(QStringLiteral("/etc/sudoers.d/other"),
                            "#65534 ALL=(root) NOPASSWD: " + QFile::encodeName(ControlProgram::Location().program) +
                                '\n',
                            0440));
        const auto cleanUp = qScopeGuard([] { QFile::remove(QStringLiteral("/etc/sudoers.d/other")); });
        QVERIFY(writeAsRoot(kScenarioFile,
                            "NIMBREL_SIMHELPER_SCENARIO=" + scenario.toLatin1() +
                                "\nNIMBREL_SIMHELPER_DELAY_MS=20\nNIMBREL_SIMHELPER_RECORD=" + kRecord.toLatin1() + '\n',
                            0644));
        QFile::remove(kRecord);
        const pid_t sudoProcess = startHelper(Who::owner, QStringLiteral("safe"));
        const auto stopAnyway = qScopeGuard([sudoProcess] {
            control(Who::owner, {QStringLiteral("stop")});
            ::waitpid(sudoProcess, nullptr, 0);
        });
        QTRY_VERIFY(QFile::exists(kRecord));
        const qint64 helper = runningHelper();
        QVERIFY(helper > 0);
        QCOMPARE(ownerOf(QStringLiteral("/proc/%1").arg(helper)), uid_t(0));

        const QJsonObject record = QJsonDocument::fromJson(TestEnvironment::contentOf(kRecord)).object();
        QStringList variables = record.value(QStringLiteral("environment")).toObject().keys();
        variables.removeIf([](const QString &name) { return name.startsWith(QLatin1String("NIMBREL_SIMHELPER_")); });
        QVERIFY2(variables == (QStringList{QStringLiteral("LANG"), QStringLiteral("LC_ALL"), QStringLiteral("PATH"),
                                           QStringLiteral("SUDO_UID")}),
                 qPrintable(variables.join(QLatin1Char(' '))));
        QCOMPARE(record.value(QStringLiteral("pskSha256")).toString(),
                 QString::fromLatin1(QCryptographicHash::hash("the-psk", QCryptographicHash::Sha256).toHex()));
        for (QDirIterator processes(QStringLiteral("/proc"), QDir::Dirs); processes.hasNext();)
            QVERIFY(!TestEnvironment::contentOf(processes.next() + QStringLiteral("/cmdline")).contains("the-psk"));

        // The other user can neither stop nor see it, nor start a second one; nor can its own caller.
        QVERIFY(control(Who::other, {QStringLiteral("stop")}).status != 0);
        QVERIFY(!ControlProgram::installationFrom(control(Who::other, {QStringLiteral("check")}).output)->runningPid);
        QVERIFY(runAs(Who::other, sudo({ControlProgram::Location().program, QStringLiteral("start"),
                                        QStringLiteral("safe"), QStringLiteral("127.0.0.1:1"), QStringLiteral("x")}),
                      "key\n")
                    .status != 0);
        const pid_t second = startHelper(Who::owner, QStringLiteral("smart"));
        int status = 0;
        QCOMPARE(::waitpid(second, &status, 0), second);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) != 0);
        QVERIFY(SystemInfo::isProcessAlive(pid_t(helper)));
        QCOMPARE(ControlProgram::installationFrom(control(Who::owner, {QStringLiteral("check")}).output)->runningPid,
                 std::optional(helper));

        if (sigstop) {
            ::kill(pid_t(helper), SIGSTOP);
            ::kill(sudoProcess, SIGSTOP);
        }
        QCOMPARE(control(Who::owner, {QStringLiteral("stop")}).status, 0);
        QVERIFY(!QFile::exists(kRunFile));
        QCOMPARE(::waitpid(sudoProcess, &status, 0), sudoProcess); // sudo ends with the helper
        QVERIFY(!SystemInfo::isProcessAlive(pid_t(helper)));
        QCOMPARE(control(Who::owner, {QStringLiteral("stop")}).status, 0); // nothing left to stop
    }

    // A start or stop killed while it held the control program's lock (a caller can have it killed at
    // any point, by a limit or a signal from its terminal) leaves nothing in the way of the next call.
    void aLockHeldByAKilledCallIsFreeAgain()
    {
        int ready[2];
        QCOMPARE(::pipe(ready), 0);
        const pid_t holder = ::fork();
        if (holder == 0) {
            const int fd = ::open("/run/nimbrel/control.lock", O_WRONLY | O_CREAT | O_APPEND, 0644);
            const bool locked = fd >= 0 && ::flock(fd, LOCK_EX) == 0;
            static_cast<void>(::write(ready[1], locked ? "y" : "n", 1));
            ::pause();
            ::_exit(0);
        }
        char answer = 0;
        QCOMPARE(::read(ready[0], &answer, 1), ssize_t(1));
        QCOMPARE(answer, 'y');
        ::kill(holder, SIGKILL);
        ::waitpid(holder, nullptr, 0);
        QElapsedTimer took;
        took.start();
        QCOMPARE(control(Who::owner, {QStringLiteral("stop")}).status, 0);
        QVERIFY(took.elapsed() < 5000);
    }

    // Anybody can plant the helper's fixed files in /tmp, or run "start" with umask 000: what the root
    // helper leaves there is root's own file that nobody else could open for writing, and only that is
    // ever run.
    void aCleanupScriptSomebodyElseCouldWriteIsNeverRun()
    {
        QVERIFY(writeAsRoot(kScenarioFile, "NIMBREL_SIMHELPER_DELAY_MS=20\n", 0644));
        for (const char *left : {"/tmp/fw.pid", "/tmp/fw_smart_cleanup.sh", "/tmp/fw_smart_gw.txt"})
            QFile::remove(QString::fromLatin1(left)); // what an earlier start made
        const QByteArray payload = "#!/bin/sh\ntouch /tmp/pwned\n";
        QVERIFY(OtherUser::run([&] {
            return TestEnvironment::writeFile(kScript, payload) && ::chmod(QFile::encodeName(kScript).constData(), 0666) == 0;
        }));
        struct stat planted {};
        QCOMPARE(::lstat(QFile::encodeName(kScript).constData(), &planted), 0);

        const pid_t sudoProcess = startHelper(Who::owner, QStringLiteral("smart"), 0);
        const auto stopAnyway = qScopeGuard([sudoProcess] {
            control(Who::owner, {QStringLiteral("stop")});
            ::waitpid(sudoProcess, nullptr, 0);
        });
        QTRY_VERIFY(QFile::exists(kScript) && ownerOf(kScript) == 0);
        struct stat left {};
        QCOMPARE(::lstat(QFile::encodeName(kScript).constData(), &left), 0);
        QVERIFY(left.st_ino != planted.st_ino);
        QCOMPARE(left.st_mode & 07777, mode_t(0644));
        QVERIFY(!OtherUser::run([] { return ::open(kScript.toLatin1().constData(), O_WRONLY | O_APPEND) >= 0; }));

        QCOMPARE(control(Who::owner, {QStringLiteral("stop")}).status, 0);
        ::waitpid(sudoProcess, nullptr, 0);
        QCOMPARE(control(Who::owner, {QStringLiteral("smart-cleanup")}).status, 0);
        QVERIFY(!QFile::exists(kScript));
        QVERIFY(!QFile::exists(QStringLiteral("/tmp/pwned")));
    }

    // The user owns the helper's folder and swaps a link to root's program in while the installation
    // copies: no file's mode changes, and root's copy is only ever the approved file.
    void aLinkSwappedInDuringTheInstallationChangesNothing()
    {
        const QString approved = FileTrust::sha256Of(kHelper);
        const pid_t swapper = startSwapping(kHelper, kVictim);
        auto stop = qScopeGuard([swapper] { stopSwapping(swapper, kHelper); });
        for (int round = 0; round < 20; ++round) {
            const PrivilegeInstaller::Outcome outcome = install(kHelper);
            QCOMPARE(FileTrust::sha256Of(ControlProgram::Location().helperCopy), approved);
            QVERIFY(outcome != PrivilegeInstaller::Outcome::Installed ||
                    TestEnvironment::contentOf(ControlProgram::Location().configFile).contains(approved.toLatin1()));
        }
        stop.dismiss();
        stopSwapping(swapper, kHelper);
        QCOMPARE(modeOf(kVictim), mode_t(04755));
        QCOMPARE(ownerOf(kVictim), uid_t(0));
        QCOMPARE(markedFiles(), QStringList{kVictim});

        // A file replaced after it was approved (its hash computed) is refused as root.
        TestEnvironment env;
        const PrivilegeInstaller::Settings settings;
        const std::optional<QStringList> command = PrivilegeInstaller::installCommand(
            kHelper, approved, kOwner, settings.control.program, ControlProgram::text(), settings);
        QVERIFY(OtherUser::run([] { return TestEnvironment::writeFile(kHelper + QStringLiteral(".new"), "#!/bin/sh\n") &&
                                           ::rename((kHelper + QStringLiteral(".new")).toLatin1().constData(),
                                                    kHelper.toLatin1().constData()) == 0; },
                               kOwner, kOwner));
        QVERIFY(!RootShellPrompt().runAsAdmin(*command).success);
        QCOMPARE(FileTrust::sha256Of(ControlProgram::Location().helperCopy), approved);
        // The approved helper back in place, for the tests after this one.
        QVERIFY(writeAsRoot(kHelper, TestEnvironment::contentOf(ControlProgram::Location().helperCopy), 0755));
        QVERIFY(giveTo(kOwner, kHelper));
    }

    // Taking an older installation's bit back goes through a hard link in a folder of root's own, and
    // changes only a root-owned set-user-ID file with no other name: never what a link, a second name
    // or a swap puts at the recorded path.
    void takingTheOldBitBackFollowsNoLink_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("unmarked");
        QTest::newRow("the old helper") << "old" << true;
        QTest::newRow("a link to root's program") << "symlink" << false;
        QTest::newRow("a second name of root's program") << "hardlink" << false;
        QTest::newRow("swapped with a link while it runs") << "race" << true;
    }

    void takingTheOldBitBackFollowsNoLink()
    {
        QFETCH(QString, kind);
        QFETCH(bool, unmarked);
        const QString recorded = kTestFolder + QStringLiteral("/old/nimbrel-macos");
        QFile::remove(recorded);
        if (kind == QLatin1String("symlink"))
            QVERIFY(OtherUser::run([&] { return QFile::link(kVictim, recorded); }, kOwner, kOwner));
        else if (kind == QLatin1String("hardlink")) // where the system lets users link others' files
            QCOMPARE(::link(QFile::encodeName(kVictim).constData(), QFile::encodeName(recorded).constData()), 0);
        else
            QVERIFY(writeAsRoot(recorded, "helper\n", 04755));
        const QStringList unmark{QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                 QString::fromUtf8(m_unmarkRoutine) + QStringLiteral("\nunmark_helper \"$1\""),
                                 QStringLiteral("unmark"), recorded};
        const pid_t swapper = kind == QLatin1String("race") ? startSwapping(recorded, kVictim) : -1;
        {
            const auto stop = qScopeGuard([&] {
                if (swapper > 0)
                    stopSwapping(swapper, recorded);
            });
            for (int round = 0; round < (swapper > 0 ? 30 : 1); ++round)
                QCOMPARE(runAs(Who::root, unmark).status, 0);
        }
        if (swapper > 0)
            runAs(Who::root, unmark);
        QCOMPARE(modeOf(kVictim), mode_t(04755));
        QCOMPARE(ownerOf(kVictim), uid_t(0));
        if (unmarked)
            QCOMPARE(modeOf(recorded), mode_t(0755));
        QCOMPARE(QDir(kTestFolder + QStringLiteral("/old")).entryList(QDir::Hidden | QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("nimbrel-macos")});
        QFile::remove(recorded);
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
        const bool accepted = control(Who::owner, QStringList{QStringLiteral("routes")} + arguments).status == 0;
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
        QTest::newRow("written by another user") << "user" << false;
        QTest::newRow("root's, writable by the group") << "group-writable" << false;
        QTest::newRow("another user's link to root's script") << "link" << false;
    }

    void smartCleanupRunsOnlyRootsOwnScript()
    {
        QFETCH(QString, kind);
        QFETCH(bool, runs);
        const QString gateway = QStringLiteral("/tmp/fw_smart_gw.txt");
        const QString ran = QStringLiteral("/tmp/script-ran");
        const QString rootsScript = QStringLiteral("/usr/local/bin/cleanup.sh");
        const QByteArray body = "#!/bin/sh\ntouch " + QFile::encodeName(ran) + "\n";
        QFile::remove(ran);
        QFile::remove(kScript);
        QVERIFY(writeAsRoot(gateway, "192.0.2.1\n", 0644));
        if (kind == QLatin1String("root") || kind == QLatin1String("group-writable")) {
            QVERIFY(writeAsRoot(kScript, body, kind == QLatin1String("root") ? 0644 : 0664));
        } else if (kind == QLatin1String("user")) {
            QVERIFY(OtherUser::run([&] { return TestEnvironment::writeFile(kScript, body); }));
        } else {
            QVERIFY(writeAsRoot(rootsScript, body, 0644));
            QVERIFY(OtherUser::run([&] { return QFile::link(rootsScript, kScript); }));
        }
        QCOMPARE(control(Who::owner, {QStringLiteral("smart-cleanup")}).status == 0, runs);
        QCOMPARE(QFile::exists(ran), runs);
        // After a real script nothing is left behind; a refused one is not touched.
        QCOMPARE(QFileInfo::exists(kScript) || QFileInfo(kScript).isSymLink(), !runs);
        QCOMPARE(QFile::exists(gateway), !runs);
        QFile::remove(kScript);
        QFile::remove(gateway);
        QFile::remove(ran);
    }

    // The app's own connect and disconnect, as the user, through the real "sudo -n": the control
    // program starts root's copy, which adds real routes in this network namespace, and the disconnect
    // stops it and removes them.
    void connectAndDisconnectGoThroughTheControlProgram()
    {
        flushRoutes();
        QVERIFY(writeAsRoot(kScenarioFile,
                            QStringLiteral("NIMBREL_SIMHELPER_DELAY_MS=20\nNIMBREL_SIMHELPER_ROUTES=0.0.0.0/1 dev lo;"
                                           "128.0.0.0/1 dev lo;%1 dev lo\n")
                                .arg(kServer)
                                .toLatin1(),
                            0644));
        TunnelFixture fixture(QStringLiteral("normal"), std::chrono::milliseconds(10), [](AppEnvironment &environment) {
            environment.platform.privilegedRunner = std::make_shared<SudoRunner>();
        });
        NodeInfo node = *fixture.vm().selectedNode();
        node.host = kServer;
        fixture.offer(node);
        fixture.env.preferences->setString(HelperLocator::binaryPathKey, kHelper);
        fixture.env.preferences->setString(PrivilegeInstaller::setupBinaryPathKey, kHelper);
        // Everything the client writes lies in the test's folder: make it the user's, then become the user
        // (the saved set-user-ID keeps root for the clean-up after).
        QCOMPARE(runAs(Who::root, {QStringLiteral("/bin/chown"), QStringLiteral("-R"), QStringLiteral("4241:4241"),
                                   fixture.env.path(QString())})
                     .status,
                 0);
        QCOMPARE(::setresgid(kOwner, kOwner, 0), 0);
        QCOMPARE(::setresuid(kOwner, kOwner, 0), 0);
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
        const qint64 helper = runningHelper();
        QVERIFY(helper > 0 && helper != *fixture.vm().tunnelPid()); // the client watches the sudo above it

        fixture.vm().vpnDisconnect();
        QTRY_COMPARE_WITH_TIMEOUT(fixture.vm().vpnStatus(), QStringLiteral("Disconnected"), 15000);
        QVERIFY(fixture.waitIdle());
        QVERIFY(!SystemInfo::isProcessAlive(pid_t(helper)));
        const QString down = routes();
        QVERIFY2(!down.contains(QLatin1String("0.0.0.0/1")) && !down.contains(QLatin1String("128.0.0.0/1")) &&
                     !down.contains(kServer),
                 qPrintable(down));
    }

    // A client killed while its helper ran, a helper that has become another program since: the next
    // client's takeover has the control program stop it (by the pid and start time it recorded), and
    // says "Disconnected" only once it is gone.
    void theTakeoverStopsAHelperThatHasBecomeAnotherProgram()
    {
        QVERIFY(writeAsRoot(kScenarioFile, "NIMBREL_SIMHELPER_SCENARIO=exec\nNIMBREL_SIMHELPER_DELAY_MS=20\n", 0644));
        const pid_t sudoProcess = startHelper(Who::owner, QStringLiteral("safe"));
        const auto stopAnyway = qScopeGuard([sudoProcess] {
            control(Who::owner, {QStringLiteral("stop")});
            ::waitpid(sudoProcess, nullptr, 0);
        });
        QTRY_VERIFY(runningHelper() > 0);
        const qint64 helper = runningHelper();
        QTRY_VERIFY(TestEnvironment::contentOf(QStringLiteral("/proc/%1/cmdline").arg(helper)).startsWith("sh\0-c"));
        const std::optional<ProcessIdentity> watched = ProcessIdentity::of(sudoProcess);
        QVERIFY(watched);

        TunnelFixture fixture(QStringLiteral("normal"), std::chrono::milliseconds(10), [](AppEnvironment &environment) {
            environment.platform.privilegedRunner = std::make_shared<SudoRunner>();
        });
        // What the killed client's lease said: a tunnel on its way up, the sudo above root's helper.
        QVERIFY(TestEnvironment::writeFile(
            fixture.env.tunnelPaths.ownerLock,
            QStringLiteral("pid=999999\nprogram=nimbrel\nstate=connecting\nhelper=%1\nhost=127.0.0.1\nmode=safe\n"
                           "started=%2\ncommand=%3\nend\n")
                .arg(sudoProcess)
                .arg(watched->startTime, watched->commandDigest)
                .toLatin1(),
            QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QCOMPARE(runAs(Who::root, {QStringLiteral("/bin/chown"), QStringLiteral("-R"), QStringLiteral("4241:4241"),
                                   fixture.env.path(QString())})
                     .status,
                 0);
        QCOMPARE(::setresgid(kOwner, kOwner, 0), 0);
        QCOMPARE(::setresuid(kOwner, kOwner, 0), 0);
        const auto becomeRootAgain = qScopeGuard([] {
            ::setresuid(0, 0, 0);
            ::setresgid(0, 0, 0);
        });

        QCOMPARE(fixture.vm().recoverTunnel(), TunnelController::Recovery::CleaningUp);
        QVERIFY(fixture.waitIdle());
        QVERIFY(!SystemInfo::isProcessAlive(pid_t(helper)));
        QVERIFY(!QFile::exists(kRunFile));
    }

private:
    QByteArray m_unmarkRoutine;
};

QTEST_GUILESS_MAIN(TestRootBoundary)
#include "tst_rootboundary.moc"
