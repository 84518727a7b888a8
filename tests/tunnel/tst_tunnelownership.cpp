#include "OtherUser.h"
#include "TestEnvironment.h"
#include "app/AppViewModel.h"
#include "TunnelFixture.h"
#include "app/TunnelStatusText.h"
#include "tunnel/TunnelOwnership.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTest>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString holderText(const QString &program)
{
    return QStringLiteral("%1, pid %2").arg(program).arg(QCoreApplication::applicationPid());
}

} // namespace

// One process drives the tunnel. A second TunnelOwnership on the same lock file stands in for another
// process: flock locks belong to open files, so two opens in one process exclude each other too.
class TestTunnelOwnership : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { TestEnvironment::useTemporaryLanguageStore(); }

    void leaseIsExclusiveAndSaysWhoHoldsIt()
    {
        TestEnvironment env;
        const QString lock = env.tunnelPaths.ownerLock;
        TunnelOwnership app(lock, QStringLiteral("nimbrel"));
        TunnelOwnership cli(lock, QStringLiteral("nimbrel-cli"));
        TunnelOwnership::Refusal problem;
        std::shared_ptr<TunnelOwnership::Lease> lease = app.acquire(&problem);
        QVERIFY2(lease, qPrintable(TunnelStatusText::refusal(problem)));
        QCOMPARE(app.acquire(&problem), lease); // ours already: the same lease
        QVERIFY(app.heldByUs());
        QVERIFY(!app.otherHolder());

        QVERIFY(!cli.acquire(&problem));
        QCOMPARE(TunnelStatusText::refusal(problem),
                 QStringLiteral("Tunnel in use by another Nimbrel process (%1)").arg(holderText("nimbrel")));
        lease->setState(TunnelPhase::connected);
        const std::optional<TunnelOwnership::Holder> holder = cli.otherHolder();
        QVERIFY(holder);
        QCOMPARE(holder->pid, QCoreApplication::applicationPid());
        QCOMPARE(holder->state, QStringLiteral("connected"));
        QCOMPARE(QFileInfo(lock).permissions() & (QFile::WriteGroup | QFile::WriteOther), QFile::Permissions());

        lease.reset();
        QVERIFY(!app.heldByUs());
        QVERIFY(!cli.otherHolder());
        QVERIFY(!QFileInfo::exists(lock)); // nothing stale once free, in anybody's way
        QVERIFY(cli.acquire(&problem));
    }

    // Finding: the lock file was 0644 in /tmp, so another user could hold a shared lock on it and make a
    // disconnect report success while the helper ran. It lies in a folder of the user's alone and is
    // made 0600, also when it was there before with another mode; a folder that is not private is
    // refused, and nobody else can open the file at all.
    void theLockIsTheUsersAlone()
    {
        TestEnvironment env;
        const QString folder = env.path(QStringLiteral("run"));
        const QString lock = folder + QStringLiteral("/tunnel.lock");
        TunnelOwnership ownership(lock, QStringLiteral("nimbrel"));
        TunnelOwnership::Refusal problem;
        QVERIFY2(ownership.acquire(&problem), qPrintable(TunnelStatusText::refusal(problem))); // the folder is made, private
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(folder).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0700));
        QVERIFY(TestEnvironment::writeFile(lock, QByteArray()));
        ::chmod(QFile::encodeName(lock).constData(), 0644);
        TunnelOwnership again(lock, QStringLiteral("nimbrel"));
        const std::shared_ptr<TunnelOwnership::Lease> lease = again.acquire(&problem);
        QVERIFY2(lease, qPrintable(TunnelStatusText::refusal(problem)));
        QCOMPARE(::stat(QFile::encodeName(lock).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0600));
        if (::geteuid() == 0) {
            ::chmod(QFile::encodeName(env.path(QString())).constData(), 0755);
            ::chmod(QFile::encodeName(folder).constData(), 0755);
            QVERIFY(!OtherUser::run([&] { return ::open(QFile::encodeName(lock).constData(), O_RDONLY) >= 0; }));
        }

        ::chmod(QFile::encodeName(folder).constData(), 0777);
        QVERIFY(!TunnelOwnership(folder + QStringLiteral("/other.lock"), QStringLiteral("nimbrel")).acquire(&problem));
        QCOMPARE(problem.file, (FileProblem{FileProblem::Kind::folderNotPrivate, folder, {}}));
        const QString defaultFolder = QFileInfo(TunnelPaths::defaultOwnerLock()).absolutePath();
        QVERIFY(defaultFolder == QStringLiteral("/tmp/nimbrel-%1").arg(::geteuid()) ||
                defaultFolder == qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/nimbrel"));
    }

    void somethingElseAtTheLockPathIsRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("link") << "link";
        QTest::newRow("fifo") << "fifo";
        QTest::newRow("folder") << "folder";
    }

    void somethingElseAtTheLockPathIsRefused()
    {
        QFETCH(QString, kind);
        TestEnvironment env;
        const QString lock = env.tunnelPaths.ownerLock;
        const QString target = env.path(QStringLiteral("precious"));
        QVERIFY(TestEnvironment::writeFile(target, "keep me"));
        if (kind == QLatin1String("link"))
            QVERIFY(QFile::link(target, lock));
        else if (kind == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(lock).constData(), 0644), 0);
        else
            QVERIFY(QDir().mkdir(lock));

        TunnelOwnership ownership(lock, QStringLiteral("nimbrel"));
        TunnelOwnership::Refusal problem;
        QVERIFY(!ownership.acquire(&problem)); // and a FIFO does not block
        QVERIFY2(!problem.holder && problem.file.path == lock, qPrintable(kind));
        QCOMPARE(TestEnvironment::contentOf(target), QByteArray("keep me"));
    }

    // Another user's file at the lock path, held or not: what it says is never believed, and the
    // refusal names its owner and the remedy instead of a holder it may have made up.
    void aLockFileOfAnotherUserNamesItsOwner_data()
    {
        QTest::addColumn<bool>("held");
        QTest::newRow("held") << true;
        QTest::newRow("not held") << false;
    }
    void aLockFileOfAnotherUserNamesItsOwner()
    {
        QFETCH(bool, held);
        if (::geteuid() != 0)
            QSKIP("only root can give a file to another user");
        TestEnvironment env;
        const QString lock = env.tunnelPaths.ownerLock;
        QVERIFY(TestEnvironment::writeFile(lock, "pid=1\nprogram=nimbrel\nstate=connected\n"));
        QCOMPARE(::chown(QFile::encodeName(lock).constData(), OtherUser::kUid, OtherUser::kGid), 0);
        QFile squatter(lock);
        QVERIFY(squatter.open(QIODevice::ReadOnly));
        if (held)
            QCOMPARE(::flock(squatter.handle(), LOCK_EX), 0);

        const QString expected = QStringLiteral("%1 belongs to user %2; an administrator can remove it")
                                     .arg(lock, QString::fromLocal8Bit(::getpwuid(OtherUser::kUid)->pw_name));
        TunnelOwnership ownership(lock, QStringLiteral("nimbrel"));
        TunnelOwnership::Refusal problem;
        QVERIFY(!ownership.acquire(&problem));
        QCOMPARE(TunnelStatusText::refusal(problem), expected);
        const std::optional<TunnelOwnership::Holder> holder = ownership.otherHolder();
        QVERIFY(holder);
        QCOMPARE(TunnelStatusText::heldBy(*holder), expected);
        QCOMPARE(holder->pid, 0);

        // The app says the same when it is asked to connect, and starts nothing.
        TunnelFixture fixture;
        QVERIFY(QFile::copy(lock, fixture.env.tunnelPaths.ownerLock));
        QCOMPARE(
            ::chown(QFile::encodeName(fixture.env.tunnelPaths.ownerLock).constData(), OtherUser::kUid, OtherUser::kGid),
            0);
        fixture.installRights();
        fixture.vm().vpnConnect();
        QCOMPARE(fixture.vm().vpnStatus(), QString(expected).replace(lock, fixture.env.tunnelPaths.ownerLock));
        QVERIFY(!fixture.vm().isVpnLoading());
        QVERIFY(fixture.helperRecord().isEmpty());
    }

    void aHardLinkedLockFileIsLockedButNeverWritten()
    {
        TestEnvironment env;
        const QString target = env.path(QStringLiteral("precious"));
        QVERIFY(TestEnvironment::writeFile(target, "keep me"));
        QVERIFY(::link(QFile::encodeName(target).constData(),
                       QFile::encodeName(env.tunnelPaths.ownerLock).constData()) == 0);
        TunnelOwnership ownership(env.tunnelPaths.ownerLock, QStringLiteral("nimbrel"));
        TunnelOwnership::Refusal problem;
        std::shared_ptr<TunnelOwnership::Lease> lease = ownership.acquire(&problem);
        QVERIFY(lease);
        lease->setState(TunnelPhase::connected);
        lease.reset();
        QCOMPARE(TestEnvironment::contentOf(target), QByteArray("keep me"));
    }

    void connectIsRefusedWhileAnotherProcessHoldsTheTunnel()
    {
        TunnelFixture fixture;
        QVERIFY(TestEnvironment::writeFile(fixture.env.tunnelPaths.log, "their log\n"));
        TunnelOwnership other(fixture.env.tunnelPaths.ownerLock, QStringLiteral("nimbrel-cli"));
        TunnelOwnership::Refusal problem;
        const std::shared_ptr<TunnelOwnership::Lease> theirs = other.acquire(&problem);
        QVERIFY(theirs);

        fixture.vm().vpnConnect();
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Tunnel in use by another Nimbrel process (%1)")
                                               .arg(holderText(QStringLiteral("nimbrel-cli"))));
        QVERIFY(!fixture.vm().isVpnLoading());

        // A disconnect from here touches neither their helper nor their routes nor their log, and says
        // who holds the tunnel rather than that it is disconnected.
        fixture.vm().vpnDisconnect();
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Tunnel in use by another Nimbrel process (%1)")
                                               .arg(holderText(QStringLiteral("nimbrel-cli"))));
        QCOMPARE(fixture.vm().vpnPhase(), TunnelPhase::failed);
        QVERIFY(fixture.waitIdle());
        QVERIFY(fixture.env.runner->calls().isEmpty());
        QVERIFY(fixture.prompt->commands().isEmpty());
        QVERIFY(fixture.helperRecord().isEmpty());
        QCOMPARE(TestEnvironment::contentOf(fixture.env.tunnelPaths.log), QByteArray("their log\n"));
    }

    void theTunnelIsHeldFromStartUntilItsCleanupEnds()
    {
        TunnelFixture fixture;
        fixture.installRights();
        TunnelOwnership other(fixture.env.tunnelPaths.ownerLock, QStringLiteral("nimbrel-cli"));
        fixture.vm().vpnConnect();
        QCOMPARE(other.otherHolder().value_or(TunnelOwnership::Holder()).state, QStringLiteral("connecting"));
        QTRY_VERIFY_WITH_TIMEOUT(fixture.vm().isConnected(), 10000);
        const std::optional<TunnelOwnership::Holder> holder = other.otherHolder();
        QVERIFY(holder);
        QCOMPARE(holder->state, QStringLiteral("connected"));
        QCOMPARE(holder->program, TunnelOwnership::currentProgram());

        // The helper outlives us when we crash; it must not keep the tunnel claimed.
        const qint64 helper = fixture.helperPid();
        QVERIFY(helper > 0);
        const QString lockTarget = QFileInfo(fixture.env.tunnelPaths.ownerLock).canonicalFilePath();
        const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(helper));
        for (const QFileInfo &fd : descriptors.entryInfoList(QDir::Files | QDir::System))
            QVERIFY2(fd.symLinkTarget() != lockTarget, "the helper inherited the tunnel lock");

        TunnelOwnership::Refusal problem;
        QVERIFY(!other.acquire(&problem));
        fixture.vm().vpnDisconnect();
        QCOMPARE(other.otherHolder().value_or(TunnelOwnership::Holder()).state, QStringLiteral("disconnecting"));
        QTRY_COMPARE_WITH_TIMEOUT(fixture.vm().vpnStatus(), QStringLiteral("Disconnected"), 10000);
        QVERIFY(fixture.waitIdle());
        QVERIFY(other.acquire(&problem));
    }

    // The record's values that come from the service (the node's name and flag) cannot add lines of their
    // own, and a record written by anybody else says only what it says first, with process ids in range:
    // a made-up pid must never become a signal to every process of the user (kill(-1)).
    void theRecordCannotBeMadeToSayMore()
    {
        TestEnvironment env;
        const QString lock = env.tunnelPaths.ownerLock;
        TunnelOwnership app(lock, QStringLiteral("nimbrel"));
        TunnelOwnership::Refusal problem;
        std::shared_ptr<TunnelOwnership::Lease> lease = app.acquire(&problem);
        QVERIFY(lease);
        lease->setState(TunnelPhase::connecting);
        lease->setTunnel(RunningNode{7, QStringLiteral("Tokyo\npid=4294967295"), QStringLiteral("\nstate=connected")},
                         std::nullopt);
        const std::optional<TunnelOwnership::Holder> holder = TunnelOwnership(lock, QStringLiteral("x")).otherHolder();
        QVERIFY(holder);
        QCOMPARE(holder->pid, QCoreApplication::applicationPid());
        QCOMPARE(holder->state, QStringLiteral("connecting"));
        QCOMPARE(holder->node->name, QStringLiteral("Tokyo pid=4294967295"));
        lease.reset();

        for (const QByteArray &record : {QByteArray("pid=4294967295\nhelper=-1\nstate=connected\nend\n"),
                                         QByteArray("pid=12\npid=1\nend\n")}) {
            QVERIFY(TestEnvironment::writeFile(lock, record, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
            const std::optional<TunnelOwnership::Holder> left = app.leftBehind();
            QVERIFY(left);
            QCOMPARE(left->pid, record.startsWith("pid=12") ? 12 : 0);
            QVERIFY(!left->helper);
        }
    }

    void aFailedOrCrashedStartFreesTheTunnel_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<bool>("installed");
        QTest::newRow("crashed") << "exit-early" << true;
        QTest::newRow("authorisation refused") << "normal" << false;
    }

    void aFailedOrCrashedStartFreesTheTunnel()
    {
        QFETCH(QString, scenario);
        QFETCH(bool, installed);
        TunnelFixture fixture(scenario);
        if (installed)
            fixture.installRights();
        else
            fixture.prompt->setAnswer(false);
        fixture.vm().vpnConnect();
        QTRY_VERIFY_WITH_TIMEOUT(!fixture.vm().isVpnLoading(), 10000);
        TunnelOwnership other(fixture.env.tunnelPaths.ownerLock, QStringLiteral("nimbrel-cli"));
        TunnelOwnership::Refusal problem;
        QVERIFY2(other.acquire(&problem), qPrintable(TunnelStatusText::refusal(problem)));
    }

    void startupCleanupLeavesAnotherProcesssScriptAlone()
    {
        TestEnvironment env;
        QVERIFY(TestEnvironment::writeFile(env.tunnelPaths.cleanupScript, "#!/bin/sh\nexit 0\n",
                                           QFile::ReadOwner | QFile::WriteOwner));
        TunnelOwnership other(env.tunnelPaths.ownerLock, QStringLiteral("nimbrel-cli"));
        TunnelOwnership::Refusal problem;
        const std::shared_ptr<TunnelOwnership::Lease> theirs = other.acquire(&problem);
        QVERIFY(theirs);
        TunnelController tunnel(env.environment().tunnelSettings());
        QCOMPARE(tunnel.recoverLeftovers(), TunnelController::Recovery::HeldElsewhere);
        QTRY_VERIFY(!tunnel.isBusy());
        QVERIFY(QFile::exists(env.tunnelPaths.cleanupScript));
        QVERIFY(env.runner->calls().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestTunnelOwnership)
#include "tst_tunnelownership.moc"
