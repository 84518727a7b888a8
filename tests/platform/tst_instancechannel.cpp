#include "OtherUser.h"
#include "platform/InstanceChannel.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent>

#include <QElapsedTimer>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The other launch runs in a thread of its own: its blocking calls must not stall our event loop,
// which answers it.
template <typename Fn>
auto fromOtherLaunch(Fn fn)
{
    QFuture<decltype(fn())> future = QtConcurrent::run(fn);
    if (!QTest::qWaitFor([&] { return future.isFinished(); }, 10000))
        qFatal("the other launch did not finish");
    return future.result();
}

sockaddr_un addressOf(const QByteArray &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof(address.sun_path) - 1);
    return address;
}

// What another user does at path, in a child process that has become that user (plain sockets: no Qt
// after fork). As a listener: listens there (made under another name and moved into place once
// listening) and answers the next two connections with "raised", as a running app would; true once
// both came without a word. Else: sends a request and is dropped unheard; true when the connection ends
// with nothing said (an answer, or silence, is a failure).
bool theirPeer(bool listen, const QByteArray &path)
{
    const QByteArray bound = path + ".new";
    const sockaddr_un address = addressOf(listen ? bound : path);
    const auto *name = reinterpret_cast<const sockaddr *>(&address);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    char byte = 0;
    if (!listen) {
        pollfd wait{fd, POLLIN, 0};
        return ::connect(fd, name, sizeof(address)) == 0 && ::write(fd, "disconnect\n", 11) == 11 &&
               ::poll(&wait, 1, 3000) == 1 && ::read(fd, &byte, 1) <= 0;
    }
    if (::bind(fd, name, sizeof(address)) != 0 || ::chmod(bound.constData(), 0777) != 0 || ::listen(fd, 4) != 0 ||
        ::rename(bound.constData(), path.constData()) != 0)
        return false;
    bool unasked = true;
    for (int served = 0; served < 2; ++served) {
        pollfd incoming{fd, POLLIN, 0};
        if (::poll(&incoming, 1, 5000) != 1)
            return false;
        const int peer = ::accept(fd, nullptr, nullptr);
        pollfd request{peer, POLLIN, 0};
        unasked = unasked && (::poll(&request, 1, 300) == 0 || ::read(peer, &byte, 1) <= 0);
        // The other side may have hung up already.
        static_cast<void>(::send(peer, "raised\n", 7, MSG_NOSIGNAL));
        ::close(peer);
    }
    return unasked;
}

} // namespace

class TestInstanceChannel : public QObject {
    Q_OBJECT

private slots:
    void eachPreferenceFileHasItsOwnShortSocketPath()
    {
        const QString a = InstanceChannel::socketPath(QStringLiteral("/home/u/.config/Nimbrel/Nimbrel.conf"));
        const QString b = InstanceChannel::socketPath(QStringLiteral("/home/u/demo/settings.conf"));
        QVERIFY(a.startsWith(QLatin1String("/home/u/.config/Nimbrel/.nimbrel/.nimbrel-")));
        QVERIFY(b.startsWith(QLatin1String("/home/u/demo/")));
        QVERIFY(a != b);
        QCOMPARE(InstanceChannel::socketPath(QStringLiteral("/home/u/demo/settings.conf")), b);

        // Too long for a socket: a folder of this user's own in /tmp, whatever the environment says.
        const QString deep = QStringLiteral("/tmp/") + QString(120, QLatin1Char('d')) + QStringLiteral("/s.conf");
        qputenv("TMPDIR", "/somewhere/else");
        const QString fallback = InstanceChannel::socketPath(deep, 1234);
        qunsetenv("TMPDIR");
        QVERIFY2(fallback.startsWith(QLatin1String("/tmp/nimbrel-1234/.nimbrel-")), qPrintable(fallback));
        QVERIFY(QFile::encodeName(fallback).size() <= 100);
        QVERIFY(InstanceChannel::socketPath(deep, 1235) != fallback);
    }

    // The fallback folder (%1, in %2) is made private on first use; one somebody else made, or could
    // change, is never used, and the error names it (and its owner, when that is somebody else).
    void theSocketsFolderIsThisUsersAlone_data()
    {
        QTest::addColumn<QString>("squat");
        QTest::addColumn<QString>("error");
        QTest::newRow("missing") << "true" << QString();
        QTest::newRow("link to a folder") << "mkdir %2/theirs && ln -s %2/theirs %1"
                                          << "%1";
        QTest::newRow("open to all") << "mkdir -m 777 %1"
                                     << "%1";
        QTest::newRow("another user's") << "mkdir %1 && chown 65534:65534 %1"
                                        << "%1 belongs to nobody";
        QTest::newRow("a file") << ": >%1"
                                << "%1";
    }
    void theSocketsFolderIsThisUsersAlone()
    {
        QFETCH(QString, squat);
        QFETCH(QString, error);
        if (squat.contains(QLatin1String("chown")) && ::geteuid() != 0)
            QSKIP("only root can give a folder to another user");
        QTemporaryDir root;
        const QString deep = root.filePath(QString(120, QLatin1Char('d')) + QStringLiteral("/s.conf"));
        const QString path = InstanceChannel::socketPath(deep, ::geteuid(), root.path());
        const QString folder = QFileInfo(path).absolutePath();
        QCOMPARE(folder, root.filePath(QStringLiteral("nimbrel-%1").arg(::geteuid())));
        QCOMPARE(QProcess::execute(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), squat.arg(folder, root.path())}),
                 0);

        InstanceChannel channel(path);
        if (error.isEmpty()) {
            QCOMPARE(channel.claim(), InstanceChannel::Role::Primary);
            struct stat made {};
            QCOMPARE(::lstat(QFile::encodeName(folder).constData(), &made), 0);
            QCOMPARE(made.st_mode & 07777, mode_t(0700));
            return;
        }
        QCOMPARE(channel.claim(), InstanceChannel::Role::Unavailable);
        QVERIFY2(channel.errorString().contains(error.arg(folder)), qPrintable(channel.errorString()));
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("theirs/") + QFileInfo(path).fileName())));
    }

    // Another user at the app's socket is trusted neither way. Their request (folder and socket opened
    // up, as on a system that ignores a socket's permissions) is dropped unheard, and the app is none the
    // wiser. Their listener, moved into a folder of ours (the kernel still connects to it), gets no
    // request, and a launch does not take it for the running app.
    void anotherUserAtTheSocketIsNotTrusted_data()
    {
        QTest::addColumn<bool>("theyListen");
        QTest::newRow("their request to the running app") << false;
        QTest::newRow("their listener at the app's path") << true;
    }

    void anotherUserAtTheSocketIsNotTrusted()
    {
        QFETCH(bool, theyListen);
        if (::geteuid() != 0)
            QSKIP("only root can become another user");
        QTemporaryDir dir;
        QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
        const QString path = dir.filePath(QStringLiteral("s.sock"));
        InstanceChannel app(path);
        QByteArrayList received;
        app.setHandler([&received](const QByteArray &request) {
            received.append(request);
            return QByteArray("done");
        });
        const QString theirs = dir.filePath(QStringLiteral("theirs"));
        const QString theirPath = theyListen ? theirs + QStringLiteral("/s.sock") : path;
        if (theyListen) {
            QVERIFY(QDir().mkdir(theirs));
            QCOMPARE(::chown(QFile::encodeName(theirs).constData(), OtherUser::kUid, OtherUser::kGid), 0);
        } else {
            QCOMPARE(app.claim(), InstanceChannel::Role::Primary);
            QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0777), 0);
        }

        const QByteArray native = QFile::encodeName(theirPath);
        QFuture<bool> them = QtConcurrent::run(
            [theyListen, native] { return OtherUser::run([&] { return theirPeer(theyListen, native); }); });
        if (theyListen) {
            QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(theirPath); }, 5000));
            QCOMPARE(::rename(native.constData(), QFile::encodeName(path).constData()), 0);
            QCOMPARE(InstanceChannel::send(path, "raise"), std::nullopt);
            QCOMPARE(app.claim(), InstanceChannel::Role::Unavailable);
            QVERIFY2(app.errorString().contains(QLatin1String("another user")), qPrintable(app.errorString()));
        }
        QVERIFY(QTest::qWaitFor([&] { return them.isFinished(); }, 10000));
        QVERIFY(them.result()); // they got what the row says, and no request
        QVERIFY(received.isEmpty());
        if (!theyListen) // the app itself is still there for its own user
            QCOMPARE(fromOtherLaunch([path] { return InstanceChannel::send(path, "raise"); }),
                     std::optional<QByteArray>("done"));
    }

    void theSecondLaunchTalksToTheFirst()
    {
        QTemporaryDir dir;
        // A preference folder made under umask 002: the socket's own folder is private all the same.
        QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 0775), 0);
        const QString path = InstanceChannel::socketPath(dir.filePath(QStringLiteral("settings.conf")));
        InstanceChannel first(path);
        QCOMPARE(first.claim(), InstanceChannel::Role::Primary);
        QByteArrayList received;
        first.setHandler([&received](const QByteArray &request) {
            received.append(request);
            return request == "raise" ? QByteArray("raised") : QByteArray("unknown-request\nsecond line");
        });

        QCOMPARE(fromOtherLaunch([path] { return InstanceChannel(path).claim(); }), InstanceChannel::Role::Secondary);
        QCOMPARE(fromOtherLaunch([path] { return InstanceChannel::send(path, "raise"); }),
                 std::optional<QByteArray>("raised"));
        // One line per answer, whatever the handler says.
        QCOMPARE(fromOtherLaunch([path] { return InstanceChannel::send(path, "other"); }),
                 std::optional<QByteArray>("unknown-request second line"));
        QCOMPARE(received, (QByteArrayList{"raise", "other"})); // the claim's ping is answered by the channel
    }

    void anInstanceTooBusyToAnswerKeepsItsSocket()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.sock"));
        InstanceChannel first(path);
        QCOMPARE(first.claim(), InstanceChannel::Role::Primary);
        // The first instance is still building its window: its event loop does not run meanwhile.
        QFuture<InstanceChannel::Role> second = QtConcurrent::run([path] { return InstanceChannel(path).claim(); });
        second.waitForFinished();
        QCOMPARE(second.result(), InstanceChannel::Role::Secondary);
        QVERIFY(QFile::exists(path));
        QCOMPARE(fromOtherLaunch([path] { return InstanceChannel::send(path, "ping"); }),
                 std::optional<QByteArray>("ok"));
    }

    // The app listens before its window exists: a "raise" that comes meanwhile is answered once the
    // app can answer it, not with a bare acknowledgement, and not cut off by the silence limit.
    // Peers that give up or send too much meanwhile are dropped, their requests with them.
    void aRequestBeforeTheHandlerWaitsForIt()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.sock"));
        InstanceChannel first(path);
        first.setSilenceLimit(std::chrono::milliseconds(100));
        QCOMPARE(first.claim(), InstanceChannel::Role::Primary);
        QFuture<std::optional<QByteArray>> raise =
            QtConcurrent::run([path] { return InstanceChannel::send(path, "raise", 8000); });
        QFuture<std::optional<QByteArray>> gone =
            QtConcurrent::run([path] { return InstanceChannel::send(path, "disconnect", 200); });
        // Unanswered, and given up: that peer's socket closes while its request waits.
        QVERIFY(QTest::qWaitFor([&] { return gone.isFinished(); }, 5000));
        QCOMPARE(gone.result(), std::nullopt);
        QTest::qWait(300); // past the limit for a peer that says nothing
        QVERIFY(!raise.isFinished());
        // A waiting peer that goes on talking is still dropped.
        QLocalSocket chatter;
        chatter.connectToServer(path);
        QVERIFY(chatter.waitForConnected(2000));
        chatter.write("raise\n" + QByteArray(4 * InstanceChannel::kMaxLineBytes, 'x'));
        QTRY_COMPARE(chatter.state(), QLocalSocket::UnconnectedState);

        QByteArrayList received;
        first.setHandler([&received](const QByteArray &request) {
            received.append(request);
            return QByteArray("raised");
        });
        QTRY_VERIFY(raise.isFinished());
        QCOMPARE(raise.result(), std::optional<QByteArray>("raised"));
        QCOMPARE(received, QByteArrayList{"raise"}); // what the dropped peers asked is not done
    }

    void aPeerSendingTooMuchIsDroppedAndTheNextIsServed()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.sock"));
        InstanceChannel first(path);
        QCOMPARE(first.claim(), InstanceChannel::Role::Primary);
        first.setHandler([](const QByteArray &) { return QByteArray("raised"); });

        QLocalSocket flood;
        flood.connectToServer(path);
        QVERIFY(flood.waitForConnected(2000));
        flood.write(QByteArray(4 * InstanceChannel::kMaxLineBytes, 'x'));
        QTRY_COMPARE(flood.state(), QLocalSocket::UnconnectedState);

        QCOMPARE(fromOtherLaunch([path] { return InstanceChannel::send(path, "raise"); }),
                 std::optional<QByteArray>("raised"));
    }

    void aSocketLeftByACrashedInstanceIsReplaced()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.sock"));
        // A bound socket nobody listens on any more: what a killed instance leaves.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un address = addressOf(QFile::encodeName(path));
        QCOMPARE(::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)), 0);
        ::close(fd);
        QVERIFY(QFile::exists(path));

        QCOMPARE(fromOtherLaunch([path] { return InstanceChannel::send(path, "raise"); }), std::nullopt);
        InstanceChannel channel(path);
        QCOMPARE(channel.claim(), InstanceChannel::Role::Primary);
        QCOMPARE(fromOtherLaunch([path] { return InstanceChannel::send(path, "ping"); }),
                 std::optional<QByteArray>("ok"));
    }

    // Two launches at the same moment: the second waits for the first to be listening, then finds it.
    void aLaunchWaitsWhileAnotherIsDeciding()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.sock"));
        const int held =
            ::open(QFile::encodeName(path + QStringLiteral(".lock")).constData(), O_RDONLY | O_CREAT, 0600);
        QVERIFY(held >= 0);
        QCOMPARE(::flock(held, LOCK_EX), 0);
        QFuture<void> release = QtConcurrent::run([held] {
            QThread::msleep(150);
            ::close(held); // drops the lock, as a first launch does once it listens
        });
        QElapsedTimer clock;
        clock.start();
        InstanceChannel channel(path);
        QCOMPARE(channel.claim(), InstanceChannel::Role::Primary);
        QVERIFY2(clock.elapsed() >= 100, qPrintable(QString::number(clock.elapsed())));
        release.waitForFinished();

        // The lock is not held any more once a launch has decided.
        InstanceChannel second(path);
        QCOMPARE(fromOtherLaunch([&second] { return second.claim(); }), InstanceChannel::Role::Secondary);
    }

    void aLinkAtTheLockIsNotFollowed()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.sock"));
        const QString target = dir.filePath(QStringLiteral("elsewhere"));
        QVERIFY(QFile::link(target, path + QStringLiteral(".lock")));
        InstanceChannel channel(path);
        QCOMPARE(channel.claim(), InstanceChannel::Role::Unavailable);
        QVERIFY(channel.errorString().contains(QStringLiteral(".lock")));
        QVERIFY(!QFile::exists(target)); // nothing created through the link
    }
};

QTEST_GUILESS_MAIN(TestInstanceChannel)
#include "tst_instancechannel.moc"
