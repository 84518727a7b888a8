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

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString kServer = u"203.0.113.7"_s;
const QString kTestFolder = u"/usr/local/nimbrel-test"_s;
const QString kHelper = kTestFolder + u"/nimbrel-macos"_s;
const QString kOldHelper = kTestFolder + u"/old/nimbrel-macos"_s;
const QString kVictim = u"/usr/local/bin/victim"_s;
const QString kControl = ControlProgram::Location().program;
const QString kRunFile = u"/run/nimbrel/helper"_s;
const QString kScenario = u"/usr/local/etc/nimbrel/simhelper"_s;
const QString kRecord = u"/tmp/simhelper-record.json"_s;
const QString kScript = u"/tmp/fw_smart_cleanup.sh"_s;
// The user who installs: named "ALL", a name sudoers would read as a reserved word.
constexpr uid_t kOwner = 4241;

// Each user's group has the user's number.
enum class Who : uid_t { root = 0, owner = kOwner, other = OtherUser::kUid };

// What smart-cleanup does with the script in place.
enum class Cleanup { runs, deletedUnrun, refused };

struct Ran {
    int status = -1;
    QByteArray output;
};

} // namespace

Q_DECLARE_METATYPE(Who)
Q_DECLARE_METATYPE(Cleanup)

// The root boundary for real: in a private mount namespace (tmpfs over every folder it writes, account
// files with a second account, so the machine is never changed) and a network namespace of its own, the
// real installation runs as root for the user "ALL", and everything after it as that user, or as "nobody",
// through the real "sudo -n". Root proves nothing here, since every sudo call succeeds for root.
class TestRootBoundary : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0) {
            if (qEnvironmentVariableIsSet("CI"))
                QFAIL("CI runs as root: the root boundary must be tried there");
            QSKIP("needs root to make namespaces and install rights (CI runs as root)");
        }
        for (const char *tool : {"/usr/bin/sudo", "/sbin/route", "/sbin/ip", "/usr/sbin/visudo"})
            QVERIFY2(QFile::exists(QString::fromLatin1(tool)), tool); // scripts/deps installs them
        if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
            QFAIL(qPrintable(u"cannot make namespaces: "_s + qt_error_string()));
        // The build folder and the sources may themselves lie under /tmp, which is about to be covered.
        const QByteArray simulatedHelper = TestEnvironment::contentOf(QStringLiteral(NIMBREL_SIMHELPER_BINARY));
        const QByteArray unmarkRoutine =
            TestEnvironment::contentOf(qEnvironmentVariable("NIMBREL_SOURCE_DIR") + u"/src/tunnel/nimbrel-unmark.sh"_s);
        QVERIFY2(unmarkRoutine.contains("unmark_helper()"), "NIMBREL_SOURCE_DIR names no sources (ctest sets it)");
        m_unmarkScript = QString::fromUtf8(unmarkRoutine) + u"\nunmark_helper \"$1\""_s;
        // tmpfs over every folder this test writes; the second account added to copies of the system's
        // account files, mounted in their place; the loopback interface up.
        const QString setUp =
            u"set -e\n"
            "mount --make-rprivate /\n"
            "for folder in /etc/sudoers.d /usr/local /run; do mount -t tmpfs -o mode=0755 tmpfs $folder; done\n"
            "mount -t tmpfs -o mode=1777 tmpfs /tmp\n"
            "mkdir /usr/local/accounts && cd /usr/local/accounts\n"
            "{ cat /etc/passwd; echo 'ALL:x:4241:4241::/nonexistent:/usr/sbin/nologin'; } >passwd\n"
            "{ cat /etc/group; echo 'ALL:x:4241:'; } >group\n"
            "{ cat /etc/shadow; echo 'ALL:*:19000:0:99999:7:::'; } >shadow\n"
            "for name in passwd group shadow; do mount --bind $name /etc/$name; done\n"
            "/sbin/ip link set lo up\n"
            "mkdir -p %1/old /usr/local/bin /usr/local/etc/nimbrel"_s;
        QCOMPARE(shellAs(Who::root, setUp.arg(kTestFolder)).status, 0);
        TestEnvironment::useTemporaryLanguageStore();

        // The user's own helper in a folder of the user's; root's program of the system elsewhere; what the
        // set-user-ID form of the installation left: a root-owned helper, its configuration, rule and script.
        QVERIFY(writeAsRoot(kHelper, simulatedHelper, 0755));
        QCOMPARE(asRoot(u"/bin/chown 4241:4241 %1 %2 %2/old"_s.arg(kHelper, kTestFolder)).status, 0);
        QVERIFY(writeAsRoot(kVictim, "#!/bin/sh\n", 04755));
        QVERIFY(writeAsRoot(kOldHelper, simulatedHelper, 04755));
        QVERIFY(writeAsRoot(ControlProgram::Location().configFile, QFile::encodeName(kOldHelper) + '\n', 0644));
        QVERIFY(writeAsRoot(u"/etc/sudoers.d/nimbrel"_s,
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
        QCOMPARE(TestEnvironment::contentOf(u"/etc/sudoers.d/nimbrel"_s),
                 "#4241 ALL=(root) NOPASSWD: " + QFile::encodeName(location.program) + '\n');
        QCOMPARE(QDir(u"/etc/sudoers.d"_s).entryList(QDir::Files | QDir::Hidden), QStringList{u"nimbrel"_s});
        QVERIFY(ControlProgram::isCurrentRootCopy(location.program, ControlProgram::text()));
        const QString hash = FileTrust::sha256Of(kHelper);
        QCOMPARE(FileTrust::sha256Of(location.helperCopy), hash);
        QCOMPARE(TestEnvironment::contentOf(location.configFile),
                 "source " + QFile::encodeName(kHelper) + "\nsha256 " + hash.toLatin1() + '\n');
        // Root's rule and copy; the user's helper as it was (not set-user-ID); the old helper's bit taken back.
        QCOMPARE((QStringList{ownerAndMode(u"/etc/sudoers.d/nimbrel"_s), ownerAndMode(location.helperCopy),
                              ownerAndMode(kHelper), ownerAndMode(kOldHelper)}),
                 (QStringList{u"0 440"_s, u"0 755"_s, u"4241 755"_s, u"0 755"_s}));

        const auto installation = ControlProgram::installationFrom(control(Who::owner, u"check"_s).output);
        QVERIFY(installation && !installation->runningPid);
        QCOMPARE((QStringList{installation->helper, installation->source, installation->sha256}),
                 (QStringList{location.helperCopy, kHelper, hash}));

        // The upgrade deleted, unrun, the set-user-ID form's script.
        QVERIFY(!QFile::exists(kScript));
        QVERIFY(!QFile::exists(u"/tmp/old-script-ran"_s));
    }

    void nobodyGetsRootButThroughTheControlProgram()
    {
        const QString rootsHelper = ControlProgram::Location().helperCopy + u" --route-all"_s;
        for (const Who who : {Who::owner, Who::other})
            for (const QString &attempt : {u"/bin/sh -c id"_s, u"/bin/kill -9 1"_s, rootsHelper})
                QVERIFY2(runAs(who, sudo(attempt)).status != 0, qPrintable(attempt));
        QVERIFY(control(Who::owner, u"install"_s).status != 0);
        QVERIFY(control(Who::other, u"check"_s).status != 0); // no rule for the second account
        // A server or SNI name that is no plain host never reaches root's helper, whatever it would do with it.
        for (const QString &arguments : {u"start safe 127.0.0.1;id:443 sni.test"_s, u"start safe 127.0.0.1:443 $(id)"_s,
                                         u"start safe default:443 sni.test"_s})
            QVERIFY2(runAs(Who::owner, sudo(kControl + u' ' + arguments), "key\n").status != 0, qPrintable(arguments));
    }

    // The control program starts root's copy for its caller with a fixed environment and the key from
    // its standard input; only that caller can see or stop it, another user's start waits for it to end,
    // and stop ends even a helper that ignores SIGTERM or was stopped with SIGSTOP. A helper become another
    // program since its client was killed is stopped by the next client's takeover (by its recorded pid and
    // start time). A call killed while it held the control program's lock (by a limit or a signal from its
    // terminal) leaves nothing in the way of the next.
    void startStopAndCheckAreTheCallersAlone_data()
    {
        QTest::addColumn<QByteArray>("scenario");
        QTest::addColumn<bool>("sigstop");
        QTest::newRow("a helper that ends on SIGTERM") << QByteArray("normal") << false;
        QTest::newRow("a helper stopped with SIGSTOP") << QByteArray("normal") << true;
        QTest::newRow("a helper ignoring SIGTERM") << QByteArray("ignore-term") << false;
        QTest::newRow("a helper that has become another program") << QByteArray("exec") << false;
    }

    void startStopAndCheckAreTheCallersAlone()
    {
        QFETCH(QByteArray, scenario);
        QFETCH(bool, sigstop);
        // The second account has installed rights of its own too.
        QVERIFY(writeAsRoot(u"/etc/sudoers.d/other"_s,
                            "#65534 ALL=(root) NOPASSWD: " + QFile::encodeName(kControl) + '\n', 0440));
        const auto cleanUp = qScopeGuard([] { QFile::remove(u"/etc/sudoers.d/other"_s); });
        QVERIFY(useScenario("NIMBREL_SIMHELPER_SCENARIO=" + scenario +
                            "\nNIMBREL_SIMHELPER_RECORD=" + QFile::encodeName(kRecord) + '\n'));
        QFile::remove(kRecord);
        StartedHelper started(u"safe"_s);
        QTRY_VERIFY(QFile::exists(kRecord));
        const qint64 helper = runningHelper();
        QVERIFY(helper > 0);
        QCOMPARE(FileTrust::ownerOf(u"/proc/%1"_s.arg(helper)), uid_t(0));

        const QJsonObject record = QJsonDocument::fromJson(TestEnvironment::contentOf(kRecord)).object();
        QStringList variables = record.value("environment"_L1).toObject().keys();
        variables.removeIf([](const QString &name) { return name.startsWith("NIMBREL_SIMHELPER_"_L1); });
        QCOMPARE(variables, QStringList({u"LANG"_s, u"LC_ALL"_s, u"PATH"_s, u"SUDO_UID"_s}));
        QCOMPARE(record.value("pskSha256"_L1).toString(),
                 QString::fromLatin1(QCryptographicHash::hash("the-psk", QCryptographicHash::Sha256).toHex()));
        for (QDirIterator processes(u"/proc"_s, QDir::Dirs); processes.hasNext();)
            QVERIFY(!TestEnvironment::contentOf(processes.next() + u"/cmdline"_s).contains("the-psk"));
        QCOMPARE((QStringList{QFileInfo(u"/proc/%1/cwd"_s.arg(helper)).symLinkTarget(),
                              QFileInfo(u"/proc/%1/fd/0"_s.arg(helper)).symLinkTarget()}),
                 (QStringList{u"/"_s, u"/dev/null"_s}));

        // The other user can neither stop nor see it, nor start a second one; nor can its own caller.
        QVERIFY(control(Who::other, u"stop"_s).status != 0);
        QCOMPARE(runningPidSeenBy(Who::other), std::nullopt);
        QVERIFY(runAs(Who::other, sudo(kControl + u" start safe 127.0.0.1:1 x"_s), "key\n").status != 0);
        QVERIFY(control(Who::other, u"routes"_s).status != 0 && control(Who::other, u"smart-cleanup"_s).status != 0);
        QVERIFY(runAs(Who::owner, sudo(kControl + u" start smart 127.0.0.1:1 sni.test"_s), "the-psk\n").status > 0);
        QVERIFY(SystemInfo::isProcessAlive(pid_t(helper)));
        QCOMPARE(runningPidSeenBy(Who::owner), std::optional(helper));

        if (sigstop) {
            ::kill(pid_t(helper), SIGSTOP);
            ::kill(pid_t(started.sudoProcess.processId()), SIGSTOP);
        }
        if (scenario == "exec") {
            // The client was killed, and the next one's takeover has the control program stop the helper.
            QTRY_VERIFY(TestEnvironment::contentOf(u"/proc/%1/cmdline"_s.arg(helper)).startsWith("sh\0-c"));
            const std::optional<ProcessIdentity> watched = ProcessIdentity::of(pid_t(started.sudoProcess.processId()));
            QVERIFY(watched);
            OwnersClient fixture;
            // What the killed client's lease said: a tunnel on its way up, the sudo above root's helper.
            QVERIFY(TestEnvironment::writeFile(
                fixture.env.tunnelPaths.ownerLock,
                u"pid=999999\nprogram=nimbrel\nstate=connecting\nhelper=%1\nhost=127.0.0.1\nmode=safe\n"
                "started=%2\ncommand=%3\nend\n"_s.arg(started.sudoProcess.processId())
                    .arg(watched->startTime, watched->commandDigest)
                    .toLatin1(),
                QFileDevice::ReadOwner | QFileDevice::WriteOwner));
            QVERIFY(fixture.actAsOwner());
            QCOMPARE(fixture.vm().recoverTunnel(), TunnelController::Recovery::CleaningUp);
            QVERIFY(fixture.waitIdle());
            QVERIFY(!SystemInfo::isProcessAlive(pid_t(helper))); // gone before the client is done
        } else {
            QCOMPARE(control(Who::owner, u"stop"_s).status, 0);
        }
        QVERIFY(!QFile::exists(kRunFile));
        QTRY_COMPARE(started.sudoProcess.state(), QProcess::NotRunning); // sudo ends with the helper
        QVERIFY(!SystemInfo::isProcessAlive(pid_t(helper)));
        // Killed while it held the control program's lock, a call leaves nothing in the way of the next.
        QProcess lockHolder;
        const QString holdTheLock = u"exec 9>>/run/nimbrel/control.lock && flock 9 && echo held && exec sleep 60"_s;
        startAs(lockHolder, Who::root, {u"/bin/sh"_s, u"-c"_s, holdTheLock});
        QVERIFY(lockHolder.waitForReadyRead() && lockHolder.readAll() == "held\n");
        lockHolder.kill();
        QVERIFY(lockHolder.waitForFinished());
        QCOMPARE(control(Who::owner, u"stop"_s).status, 0); // nothing left to stop, nor a lock held
    }

    // Anybody may plant the helper's fixed files in /tmp, or start an older set-user-ID helper with umask 000
    // and open the clean-up script it makes before it is chmodded: the script the helper of a start leaves is
    // a file of root's made anew for it, which nobody else holds open, and only that ever runs.
    void aCleanupScriptSomebodyElseCouldWriteIsNeverRun_data()
    {
        QTest::addColumn<bool>("rootMadeIt");
        QTest::newRow("another user's, made with umask 0") << false;
        QTest::newRow("root's, opened by another user while it was 0666") << true;
    }

    void aCleanupScriptSomebodyElseCouldWriteIsNeverRun()
    {
        QFETCH(bool, rootMadeIt);
        QVERIFY(useScenario({}));
        const QString opened = u"/tmp/opened"_s;
        const QString go = u"/tmp/go"_s;
        const QString pwned = u"/tmp/pwned"_s;
        for (const QString &left : {u"/tmp/fw.pid"_s, kScript, u"/tmp/fw_smart_gw.txt"_s, opened, go, pwned})
            QFile::remove(left);
        if (rootMadeIt)
            QVERIFY(writeAsRoot(kScript, "#!/bin/sh\n", 0666));
        // The other user keeps the script open for writing and, later, writes its own lines over its start.
        QProcess writer;
        startAs(
            writer, Who::other,
            {u"/bin/sh"_s, u"-c"_s,
             u"exec 3<>%1 && touch %2 && while [ ! -e %3 ]; do sleep 0.05; done; printf '#!/bin/sh\\ntouch %4\\n' >&3"_s
                 .arg(kScript, opened, go, pwned)},
            {}, 0);
        QTRY_VERIFY(QFile::exists(opened));
        if (rootMadeIt)
            QCOMPARE(::chmod(QFile::encodeName(kScript).constData(), 0644), 0);
        struct stat planted {};
        QCOMPARE(::lstat(QFile::encodeName(kScript).constData(), &planted), 0);

        StartedHelper started(u"smart"_s, 0);
        QTRY_VERIFY(helperWroteTheScript());
        QVERIFY(TestEnvironment::writeFile(go, {}));
        QVERIFY(writer.waitForFinished());
        struct stat left {};
        QCOMPARE(::lstat(QFile::encodeName(kScript).constData(), &left), 0);
        QVERIFY(left.st_ino != planted.st_ino);
        QCOMPARE(left.st_mode & 07777, mode_t(0644));
        QCOMPARE(shellAs(Who::other, u"true >>"_s + kScript + u" || exit 9"_s).status, 9);

        QCOMPARE(control(Who::owner, u"stop"_s).status, 0);
        QVERIFY(started.sudoProcess.waitForFinished());
        QCOMPARE(control(Who::owner, u"smart-cleanup"_s).status, 0);
        QVERIFY(!QFile::exists(kScript));
        QVERIFY(!QFile::exists(pwned));
    }

    // The user owns the helper's folder and swaps a link to root's program in while the installation
    // copies: no file's mode changes (the victim's own, 0750, would show any chmod through the link), and
    // root's copy is only ever the approved file.
    void aLinkSwappedInDuringTheInstallationChangesNothing()
    {
        const QString approved = FileTrust::sha256Of(kHelper);
        const ControlProgram::Location location;
        QCOMPARE(::chmod(QFile::encodeName(kVictim).constData(), 0750), 0);
        const auto markAgain = qScopeGuard([] { ::chmod(QFile::encodeName(kVictim).constData(), 04755); });
        int refused = 0; // rounds that met the link
        {
            const Swapper swapper(kHelper, kVictim);
            for (int round = 0; round < 20; ++round) {
                const PrivilegeInstaller::Outcome outcome = install(kHelper);
                QCOMPARE(FileTrust::sha256Of(location.helperCopy), approved);
                QVERIFY(outcome != PrivilegeInstaller::Outcome::Installed ||
                        TestEnvironment::contentOf(location.configFile).contains(approved.toLatin1()));
                refused += outcome != PrivilegeInstaller::Outcome::Installed;
            }
        }
        QVERIFY(refused > 0);
        QCOMPARE(ownerAndMode(kVictim), u"0 750"_s);
        QCOMPARE(markedFiles(), QStringList());

        // A file replaced after it was approved (its hash computed) is refused as root.
        const PrivilegeInstaller::Settings settings;
        const std::optional<QStringList> command = PrivilegeInstaller::installCommand(
            kHelper, approved, kOwner, settings.control.program, ControlProgram::text(), settings);
        QVERIFY(command);
        QCOMPARE(shellAs(Who::owner, u"echo '#!/bin/sh' >%1.new && mv -f %1.new %1"_s.arg(kHelper)).status, 0);
        QVERIFY(!RootShellPrompt().runAsAdmin(*command).success);
        QCOMPARE(FileTrust::sha256Of(location.helperCopy), approved);
        // The approved helper back in place, for the tests after this one.
        QCOMPARE(asRoot(u"/usr/bin/install -m755 -o 4241 -g 4241 %1 %2"_s.arg(location.helperCopy, kHelper)).status, 0);
    }

    // Taking the old bit back (through a hard link in a folder of root's own) changes only root's set-user-ID
    // file at %1 with no other name, never a link to root's program %2, a second name of it or a swap.
    void takingTheOldBitBackFollowsNoLink_data()
    {
        QTest::addColumn<Who>("planter");
        QTest::addColumn<QString>("plant");
        QTest::addColumn<bool>("swapped");
        QTest::addColumn<bool>("unmarked");
        QTest::newRow("the old helper") << Who::root << u"echo helper >%1 && chmod 4755 %1"_s << false << true;
        QTest::newRow("a link to root's program") << Who::owner << u"ln -s %2 %1"_s << false << false;
        // where the system lets users link others' files
        QTest::newRow("a second name of root's program") << Who::root << u"ln %2 %1"_s << false << false;
        QTest::newRow("swapped with a link while it runs")
            << Who::root << u"echo helper >%1 && chmod 4755 %1"_s << true << true;
    }

    void takingTheOldBitBackFollowsNoLink()
    {
        QFETCH(Who, planter);
        QFETCH(QString, plant);
        QFETCH(bool, swapped);
        QFETCH(bool, unmarked);
        QFile::remove(kOldHelper);
        QCOMPARE(shellAs(planter, plant.replace(u"%1"_s, kOldHelper).replace(u"%2"_s, kVictim)).status, 0);
        const QStringList unmark{u"/bin/sh"_s, u"-c"_s, m_unmarkScript, u"unmark"_s, kOldHelper};
        if (swapped) {
            const Swapper swapper(kOldHelper, kVictim);
            for (int round = 0; round < 30; ++round)
                QCOMPARE(runAs(Who::root, unmark).status, 0);
        }
        QCOMPARE(runAs(Who::root, unmark).status, 0);
        QCOMPARE(ownerAndMode(kVictim), u"0 4755"_s);
        if (unmarked)
            QCOMPARE(ownerAndMode(kOldHelper), u"0 755"_s);
        QCOMPARE(QDir(kTestFolder + u"/old"_s).entryList(QDir::Hidden | QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{u"nimbrel-macos"_s});
        QFile::remove(kOldHelper);
    }

    void routesDeletesOnlyTheTunnelsRoutes_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<bool>("hostRouteGoes");
        QTest::addColumn<bool>("halvesGo");
        QTest::newRow("the server") << kServer << true << true;
        QTest::newRow("no host") << QString() << false << true;
        QTest::newRow("an option") << u"-net"_s << false << true;
        QTest::newRow("default") << u"default"_s << false << true;
        QTest::newRow("unspecified address") << u"0.0.0.0"_s << false << true;
        QTest::newRow("a number") << u"0"_s << false << true;
        QTest::newRow("an extra route") << kServer + u" -net 0.0.0.0/0"_s << false << false;
    }

    void routesDeletesOnlyTheTunnelsRoutes()
    {
        QFETCH(QString, arguments);
        QFETCH(bool, hostRouteGoes);
        QFETCH(bool, halvesGo);
        asRoot(u"/sbin/ip route flush table main"_s);
        for (const QString &route : {u"default"_s, kServer, u"0.0.0.0/1"_s, u"128.0.0.0/1"_s})
            QCOMPARE(asRoot(u"/sbin/ip route replace "_s + route + u" dev lo"_s).status, 0);
        QCOMPARE(control(Who::owner, u"routes "_s + arguments).status == 0, hostRouteGoes || arguments.isEmpty());
        const QString after = routes();
        QVERIFY2(after.contains("default dev lo"_L1), qPrintable(after));
        QVERIFY2(after.contains(kServer) != hostRouteGoes, qPrintable(after));
        QVERIFY2(after.contains("0.0.0.0/1"_L1) != halvesGo, qPrintable(after));
        QVERIFY2(after.contains("128.0.0.0/1"_L1) != halvesGo, qPrintable(after));
    }

    // The clean-up script (%1) runs only when it is the file root made for the helper of the last start, and
    // nobody else's to write (%2 is root's); a file of root's that no start made (an older installation's,
    // which anybody could have written into) is deleted unrun.
    void smartCleanupRunsOnlyTheScriptMadeForTheLastStart_data()
    {
        QTest::addColumn<Who>("planter");
        QTest::addColumn<QString>("plant");
        QTest::addColumn<bool>("afterAStart");
        QTest::addColumn<Cleanup>("expected");
        QTest::newRow("root's, made for the last start") << Who::root << u"cat %2 >%1"_s << true << Cleanup::runs;
        QTest::newRow("root's, made before any start") << Who::root << u"cp %2 %1"_s << false << Cleanup::deletedUnrun;
        QTest::newRow("root's, put in place of the start's")
            << Who::root << u"cp %2 %1.new && mv %1.new %1"_s << true << Cleanup::deletedUnrun;
        QTest::newRow("written by another user") << Who::other << u"cat %2 >%1"_s << false << Cleanup::refused;
        QTest::newRow("root's, writable by the group")
            << Who::root << u"cp %2 %1 && chmod 664 %1"_s << false << Cleanup::refused;
        QTest::newRow("another user's link to root's script")
            << Who::other << u"ln -s %2 %1"_s << false << Cleanup::refused;
    }

    void smartCleanupRunsOnlyTheScriptMadeForTheLastStart()
    {
        QFETCH(Who, planter);
        QFETCH(QString, plant);
        QFETCH(bool, afterAStart);
        QFETCH(Cleanup, expected);
        const QString gateway = u"/tmp/fw_smart_gw.txt"_s;
        const QString ran = u"/tmp/script-ran"_s;
        const QString rootsScript = u"/usr/local/bin/cleanup.sh"_s;
        for (const QString &path : {kScript, gateway, ran})
            QFile::remove(path);
        if (afterAStart) {
            QVERIFY(useScenario({}));
            StartedHelper started(u"smart"_s);
            QTRY_VERIFY(helperWroteTheScript());
            QCOMPARE(control(Who::owner, u"stop"_s).status, 0);
            QFile::remove(gateway);
        }
        QVERIFY(writeAsRoot(rootsScript, "#!/bin/sh\ntouch " + QFile::encodeName(ran) + '\n', 0644));
        QVERIFY(writeAsRoot(gateway, "192.0.2.1\n", 0644));
        QCOMPARE(shellAs(planter, plant.arg(kScript, rootsScript)).status, 0);
        QCOMPARE(control(Who::owner, u"smart-cleanup"_s).status == 0, expected != Cleanup::refused);
        QCOMPARE(QFile::exists(ran), expected == Cleanup::runs);
        // After a script run or deleted nothing is left behind; a refused one is not touched.
        QCOMPARE(QFileInfo::exists(kScript) || QFileInfo(kScript).isSymLink(), expected == Cleanup::refused);
        QCOMPARE(QFile::exists(gateway), expected == Cleanup::refused);
        for (const QString &path : {kScript, gateway, ran})
            QFile::remove(path);
    }

    // The app's own connect and disconnect as the user, through the real "sudo -n": root's copy adds real
    // routes in this network namespace, and the disconnect stops it and removes them.
    void connectAndDisconnectGoThroughTheControlProgram()
    {
        asRoot(u"/sbin/ip route flush table main"_s);
        QVERIFY(useScenario(
            u"NIMBREL_SIMHELPER_ROUTES=0.0.0.0/1 dev lo;128.0.0.0/1 dev lo;%1 dev lo\n"_s.arg(kServer).toLatin1()));
        OwnersClient fixture;
        NodeInfo node = *fixture.vm().selectedNode();
        node.host = kServer;
        fixture.offer(node);
        fixture.env.preferences->setString(HelperLocator::binaryPathKey, kHelper);
        fixture.env.preferences->setString(PrivilegeInstaller::setupBinaryPathKey, kHelper);
        QVERIFY(fixture.actAsOwner());

        fixture.vm().vpnConnect();
        QTRY_VERIFY2_WITH_TIMEOUT(fixture.vm().isConnected(), qPrintable(fixture.vm().vpnStatus()), 10000);
        QVERIFY(fixture.prompt->commands().isEmpty()); // the rights were found installed
        const QString up = routes();
        for (const QString &route : {u"0.0.0.0/1 dev lo"_s, u"128.0.0.0/1 dev lo"_s, kServer + u" dev lo"_s})
            QVERIFY2(up.contains(route), qPrintable(up));
        const qint64 helper = runningHelper();
        QVERIFY(helper > 0 && helper != *fixture.vm().tunnelPid()); // the client watches the sudo above it

        fixture.disconnectAndSettle(15000);
        QVERIFY(!SystemInfo::isProcessAlive(pid_t(helper)));
        const QString down = routes();
        for (const QString &route : {u"0.0.0.0/1"_s, u"128.0.0.0/1"_s, kServer})
            QVERIFY2(!down.contains(route), qPrintable(down));
    }

private:
    // Starts argv as who in a session of its own, with that umask, input and then its end on standard input.
    static void startAs(QProcess &process, Who who, const QStringList &argv, const QByteArray &input = {},
                        mode_t mask = 022)
    {
        process.setChildProcessModifier([who, mask] {
            ::setsid();
            ::umask(mask);
            if (who != Who::root && !OtherUser::become(uid_t(who), gid_t(who)))
                ::_exit(126);
        });
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(argv.first(), argv.mid(1));
        if (process.waitForStarted() && !input.isEmpty()) {
            process.write(input);
            process.waitForBytesWritten();
        }
        process.closeWriteChannel();
    }

    static Ran runAs(Who who, const QStringList &argv, const QByteArray &input = {})
    {
        QProcess process;
        startAs(process, who, argv, input);
        const bool exited = process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit;
        return {exited ? process.exitCode() : -1, process.readAllStandardOutput()};
    }

    // Command lines of plain words.
    static Ran asRoot(const QString &line) { return runAs(Who::root, line.split(u' ')); }
    static QStringList sudo(const QString &line)
    {
        return (u"/usr/bin/sudo -n "_s + line).split(u' ', Qt::SkipEmptyParts);
    }
    static Ran control(Who who, const QString &arguments) { return runAs(who, sudo(kControl + u' ' + arguments)); }
    static Ran shellAs(Who who, const QString &script) { return runAs(who, {u"/bin/sh"_s, u"-c"_s, script}); }

    // The running helper "check" shows who; -1 when it shows nothing readable.
    static std::optional<qint64> runningPidSeenBy(Who who)
    {
        const auto seen = ControlProgram::installationFrom(control(who, u"check"_s).output);
        return seen ? seen->runningPid : -1;
    }

    // "start" through the control program as the owner, the key on its standard input: the sudo above
    // the helper runs until the helper ends. Stopped and waited for when this goes, whatever the test did.
    struct StartedHelper {
        explicit StartedHelper(const QString &mode, mode_t mask = 022)
        {
            sudoProcess.setStandardOutputFile(u"/tmp/helper-output"_s, QIODevice::Append);
            startAs(sudoProcess, Who::owner, sudo(kControl + u" start "_s + mode + u" 127.0.0.1:1 sni.test"_s),
                    "the-psk\n", mask);
        }
        ~StartedHelper()
        {
            control(Who::owner, u"stop"_s);
            sudoProcess.waitForFinished();
        }
        QProcess sudoProcess;
    };

    // The helper the control program recorded as running, once its start marker is out.
    static qint64 runningHelper()
    {
        const QByteArray run = TestEnvironment::contentOf(kRunFile);
        const qsizetype at = run.indexOf("pid ");
        return at < 0 ? -1 : run.mid(at + 4, run.indexOf('\n', at) - at - 4).toLongLong();
    }

    // A file's owner and permission bits ("0 4755"), the file itself when it is a link.
    static QString ownerAndMode(const QString &path)
    {
        struct stat info {};
        const bool found = ::lstat(QFile::encodeName(path).constData(), &info) == 0;
        return found ? u"%1 %2"_s.arg(info.st_uid).arg(info.st_mode & 07777, 0, 8) : u"none"_s;
    }

    // Every file with a set-user-ID or set-group-ID bit on the file systems this test covers.
    static QStringList markedFiles()
    {
        const Ran found = asRoot(u"/usr/bin/find /usr/local /etc/sudoers.d /run /tmp -xdev -perm /6000"_s);
        return QString::fromLocal8Bit(found.output).split(u'\n', Qt::SkipEmptyParts);
    }

    static bool writeAsRoot(const QString &path, const QByteArray &content, mode_t mode)
    {
        QFile::remove(path);
        return TestEnvironment::writeFile(path, content) && ::chmod(QFile::encodeName(path).constData(), mode) == 0;
    }

    // What the simulated helper that root's copy runs does, besides starting quickly.
    static bool useScenario(const QByteArray &lines)
    {
        return writeAsRoot(kScenario, "NIMBREL_SIMHELPER_DELAY_MS=20\n" + lines, 0644);
    }

    static bool helperWroteTheScript() { return TestEnvironment::contentOf(kScript).contains("simulated helper"); }

    static QString routes() { return QString::fromLocal8Bit(asRoot(u"/sbin/ip route show"_s).output); }

    // Runs the installation as root, as the administrator dialog would once approved.
    class RootShellPrompt final : public AdminPrompt {
    public:
        ScriptResult runAsAdmin(const QStringList &command) override
        {
            return ScriptResult::run(command.first(), command.mid(1));
        }
        bool isAvailable() const override { return true; }
    };

    static PrivilegeInstaller::Outcome install(const QString &helper)
    {
        TestEnvironment env;
        const PrivilegeInstaller installer(env.preferences, std::make_shared<RootShellPrompt>(),
                                           std::make_shared<SudoRunner>(), {});
        return installer.doInstallPrivileges(helper, kOwner);
    }

    // A child, as the owner of path's folder, that exchanges path and a link to target as fast as it can
    // (one rename each time: the folder is the user's, the file need not be) until this goes.
    struct Swapper {
        Swapper(const QString &path, const QString &target)
            : file(QFile::encodeName(path))
            , child(::fork())
        {
            if (child != 0)
                return;
            if (!OtherUser::become(kOwner, kOwner) || ::symlink(QFile::encodeName(target).constData(), link) != 0)
                ::_exit(1);
            for (;;)
                ::renameat2(AT_FDCWD, file, AT_FDCWD, link, RENAME_EXCHANGE);
        }
        ~Swapper()
        {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            if (QFileInfo(QFile::decodeName(file)).isSymLink())
                ::renameat2(AT_FDCWD, file, AT_FDCWD, link, RENAME_EXCHANGE);
            ::unlink(link);
        }
        const QByteArray file;
        const QByteArray link = file + ".link";
        const pid_t child;
    };

    // A client reaching the control program through the real "sudo -n". actAsOwner gives the owner its folder,
    // then makes this process the owner until the client goes (the saved set-user-ID keeps root for after).
    struct OwnersClient : TunnelFixture {
        OwnersClient()
            : TunnelFixture(u"normal"_s, std::chrono::milliseconds(10), [](AppEnvironment &environment) {
                environment.platform.privilegedRunner = std::make_shared<SudoRunner>();
            })
        {}
        ~OwnersClient()
        {
            ::setresuid(0, 0, 0);
            ::setresgid(0, 0, 0);
        }
        bool actAsOwner()
        {
            return asRoot(u"/bin/chown -R 4241:4241 "_s + env.path(QString())).status == 0 &&
                   ::setresgid(kOwner, kOwner, 0) == 0 && ::setresuid(kOwner, kOwner, 0) == 0;
        }
    };

    QString m_unmarkScript; // the upgrade's own routine, run on its first argument
};

QTEST_GUILESS_MAIN(TestRootBoundary)
#include "tst_rootboundary.moc"
