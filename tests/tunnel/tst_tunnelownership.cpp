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

        QVERIFY(!cli.acquire(&problem) && problem.holder); // its text: where a connect shows it, below
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

    // Another process holding the tunnel, or another user's file at the lock path (held or not: what it
    // says is never believed, and the refusal names its owner and the remedy instead of a holder it may
    // have made up): the start-up clean-up leaves their script alone, a connect says who holds it (or whose
    // file it is) and starts nothing, and a disconnect from here touches neither their helper nor their
    // routes nor their log, and says the same rather than that it is disconnected.
    void nothingIsDoneWhileTheTunnelIsNotOurs_data()
    {
        QTest::addColumn<QString>("foreignFile"); // empty: another process of ours holds it
        QTest::newRow("another process holds it") << "";
        QTest::newRow("another user's file, held") << "held";
        QTest::newRow("another user's file, not held") << "not held";
    }
    void nothingIsDoneWhileTheTunnelIsNotOurs()
    {
        QFETCH(QString, foreignFile);
        if (!foreignFile.isEmpty() && ::geteuid() != 0)
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
        QFile squatter(paths.ownerLock);
        QString expected = QStringLiteral("Tunnel in use by another Nimbrel process (nimbrel-cli, pid %1)")
                               .arg(QCoreApplication::applicationPid());
        if (!foreignFile.isEmpty()) {
            QVERIFY(TestEnvironment::writeFile(paths.ownerLock, "pid=1\nprogram=nimbrel\nstate=connected\n"));
            QCOMPARE(::chown(QFile::encodeName(paths.ownerLock).constData(), OtherUser::kUid, OtherUser::kGid), 0);
            QVERIFY(squatter.open(QIODevice::ReadOnly));
            if (foreignFile == QLatin1String("held"))
                QCOMPARE(::flock(squatter.handle(), LOCK_EX), 0);
            expected = QStringLiteral("%1 belongs to user %2; an administrator can remove it")
                           .arg(paths.ownerLock, QString::fromLocal8Bit(::getpwuid(OtherUser::kUid)->pw_name));
            const std::optional<TunnelOwnership::Holder> holder = other.otherHolder();
            QVERIFY(holder);
            QCOMPARE(TunnelStatusText::heldBy(*holder), expected);
            QCOMPARE(holder->pid, 0);
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
        QCOMPARE(vm.vpnPhase(), foreignFile.isEmpty() ? TunnelPhase::failed : TunnelPhase::blocked);
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
