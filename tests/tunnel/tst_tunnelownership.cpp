#include "OtherUser.h"
#include "TestEnvironment.h"
#include "TunnelFixture.h"
#include "app/AppViewModel.h"
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

// What is shown when another user's file lies at the lock path.
QString foreignFileText(const QString &lock)
{
    return QStringLiteral("%1 belongs to user %2; an administrator can remove it")
        .arg(lock, QString::fromLocal8Bit(::getpwuid(OtherUser::kUid)->pw_name));
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
        // The values that come from the service (the node's name and flag) cannot add lines of their own.
        lease->setState(TunnelPhase::connecting);
        lease->setTunnel(RunningNode{7, QStringLiteral("Tokyo\npid=4294967295"), QStringLiteral("\nstate=connected")},
                         std::nullopt);
        const std::optional<TunnelOwnership::Holder> holder = cli.otherHolder();
        QVERIFY(holder);
        QCOMPARE(holder->pid, QCoreApplication::applicationPid());
        QCOMPARE(holder->state, QStringLiteral("connecting"));
        QCOMPARE(holder->node->name, QStringLiteral("Tokyo pid=4294967295"));
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
        QVERIFY2(ownership.acquire(&problem),
                 qPrintable(TunnelStatusText::refusal(problem))); // the folder is made, private
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

    // Something else at the lock path is refused (and a FIFO does not block); a second name of another file
    // is locked but never written.
    void somethingElseAtTheLockPathIsNeverWritten_data()
    {
        QTest::addColumn<QString>("kind");
        for (const char *kind : {"link", "fifo", "folder", "hard link"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }

    void somethingElseAtTheLockPathIsNeverWritten()
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
        else if (kind == QLatin1String("folder"))
            QVERIFY(QDir().mkdir(lock));
        else
            QCOMPARE(::link(QFile::encodeName(target).constData(), QFile::encodeName(lock).constData()), 0);

        TunnelOwnership ownership(lock, QStringLiteral("nimbrel"));
        TunnelOwnership::Refusal problem;
        std::shared_ptr<TunnelOwnership::Lease> lease = ownership.acquire(&problem);
        QCOMPARE(bool(lease), kind == QLatin1String("hard link"));
        if (lease)
            lease->setState(TunnelPhase::connected);
        else
            QVERIFY2(!problem.holder && problem.file.path == lock, qPrintable(kind));
        lease.reset();
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

        const QString expected = foreignFileText(lock);
        TunnelOwnership ownership(lock, QStringLiteral("nimbrel"));
        TunnelOwnership::Refusal problem;
        QVERIFY(!ownership.acquire(&problem));
        QCOMPARE(TunnelStatusText::refusal(problem), expected);
        const std::optional<TunnelOwnership::Holder> holder = ownership.otherHolder();
        QVERIFY(holder);
        QCOMPARE(TunnelStatusText::heldBy(*holder), expected);
        QCOMPARE(holder->pid, 0);
    }

    // Another process holding the tunnel, or another user's file at the lock path: the start-up clean-up
    // leaves their script alone, a connect says who holds it (or whose file it is) and starts nothing, and
    // a disconnect from here touches neither their helper nor their routes nor their log, and says the
    // same rather than that it is disconnected.
    void nothingIsDoneWhileTheTunnelIsNotOurs_data()
    {
        QTest::addColumn<bool>("foreignFile");
        QTest::newRow("another process holds it") << false;
        QTest::newRow("another user's file") << true;
    }
    void nothingIsDoneWhileTheTunnelIsNotOurs()
    {
        QFETCH(bool, foreignFile);
        if (foreignFile && ::geteuid() != 0)
            QSKIP("only root can give a file to another user");
        TunnelFixture fixture;
        fixture.installRights();
        const TunnelPaths &paths = fixture.env.tunnelPaths;
        QVERIFY(TestEnvironment::writeFile(paths.log, "their log\n"));
        QVERIFY(TestEnvironment::writeFile(paths.cleanupScript, "#!/bin/sh\nexit 0\n",
                                           QFile::ReadOwner | QFile::WriteOwner));
        TunnelOwnership other(paths.ownerLock, QStringLiteral("nimbrel-cli"));
        TunnelOwnership::Refusal problem;
        std::shared_ptr<TunnelOwnership::Lease> theirs;
        QString expected =
            QStringLiteral("Tunnel in use by another Nimbrel process (%1)").arg(holderText("nimbrel-cli"));
        if (foreignFile) {
            QVERIFY(TestEnvironment::writeFile(paths.ownerLock, "pid=1\nprogram=nimbrel\nstate=connected\n"));
            QCOMPARE(::chown(QFile::encodeName(paths.ownerLock).constData(), OtherUser::kUid, OtherUser::kGid), 0);
            expected = foreignFileText(paths.ownerLock);
        } else {
            theirs = other.acquire(&problem);
            QVERIFY(theirs);
        }
        AppViewModel &vm = fixture.vm();
        QCOMPARE(vm.recoverTunnel(), TunnelController::Recovery::HeldElsewhere);
        QVERIFY(fixture.waitIdle());

        vm.vpnConnect();
        QCOMPARE(vm.vpnStatus(), expected);
        QVERIFY(!vm.isVpnLoading());
        vm.vpnDisconnect();
        QCOMPARE(vm.vpnStatus(), expected);
        QCOMPARE(vm.vpnPhase(), foreignFile ? TunnelPhase::blocked : TunnelPhase::failed);
        QVERIFY(fixture.waitIdle());
        QVERIFY(fixture.env.runner->calls().isEmpty());
        QVERIFY(fixture.prompt->commands().isEmpty());
        QVERIFY(fixture.helperRecord().isEmpty());
        QCOMPARE(TestEnvironment::contentOf(paths.log), QByteArray("their log\n"));
        QVERIFY(QFile::exists(paths.cleanupScript));
    }

    // A record written by anybody else says only what it says first, with process ids in range: a made-up
    // pid must never become a signal to every process of the user (kill(-1)).
    void aRecordLeftBehindCannotBeMadeToSayMore()
    {
        TestEnvironment env;
        const TunnelOwnership app(env.tunnelPaths.ownerLock, QStringLiteral("nimbrel"));
        for (const QByteArray &record :
             {QByteArray("pid=4294967295\nhelper=-1\nstate=connected\nend\n"), QByteArray("pid=12\npid=1\nend\n")}) {
            QVERIFY(TestEnvironment::writeFile(env.tunnelPaths.ownerLock, record,
                                               QFileDevice::ReadOwner | QFileDevice::WriteOwner));
            const std::optional<TunnelOwnership::Holder> left = app.leftBehind();
            QVERIFY(left);
            QCOMPARE(left->pid, record.startsWith("pid=12") ? 12 : 0);
            QVERIFY(!left->helper);
        }
    }
};

QTEST_GUILESS_MAIN(TestTunnelOwnership)
#include "tst_tunnelownership.moc"
