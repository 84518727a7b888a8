#include "OtherUser.h"
#include "platform/InstanceChannel.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
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

// A plain client socket, for a child process that has become somebody else (no Qt after fork).
int connectTo(const QByteArray &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof(address.sun_path) - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0)
        return -1;
    return fd;
}

// Listens at path and answers the next two connections with "raised", as a running app would; true
// once both came.
bool answerTwice(const QByteArray &path)
{
    // Made under another name and moved into place once listening: whoever sees the path can connect.
    const QByteArray making = path + ".new";
    const int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, making.constData(), sizeof(address.sun_path) - 1);
    if (server < 0 || ::bind(server, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        ::chmod(making.constData(), 0777) != 0 || ::listen(server, 4) != 0 ||
        ::rename(making.constData(), path.constData()) != 0)
        return false;
    for (int served = 0; served < 2; ++served) {
        pollfd incoming{server, POLLIN, 0};
        if (::poll(&incoming, 1, 5000) != 1)
            return false;
        const int peer = ::accept(server, nullptr, nullptr);
        pollfd request{peer, POLLIN, 0};
        ::poll(&request, 1, 300);
        // The other side may have hung up already.
        static_cast<void>(::send(peer, "raised\n", 7, MSG_NOSIGNAL));
        ::close(peer);
    }
    return true;
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

    // The fallback folder is made private on first use; one somebody else made, or could change, is
    // never used.
    void theSocketsFolderIsThisUsersAlone_data()
    {
        QTest::addColumn<QString>("squat");
        QTest::newRow("missing") << QString();
        QTest::newRow("link to a folder") << "link";
        QTest::newRow("open to all") << "open";
        QTest::newRow("another user's") << "foreign";
        QTest::newRow("a file") << "file";
    }
    void theSocketsFolderIsThisUsersAlone()
    {
        QFETCH(QString, squat);
        QTemporaryDir root;
        const QString deep = root.filePath(QString(120, QLatin1Char('d')) + QStringLiteral("/s.conf"));
        const QString path = InstanceChannel::socketPath(deep, ::geteuid(), root.path());
        const QString folder = QFileInfo(path).absolutePath();
        QCOMPARE(folder, root.filePath(QStringLiteral("nimbrel-%1").arg(::geteuid())));
        if (squat == QLatin1String("link")) {
            QVERIFY(QDir().mkdir(root.filePath(QStringLiteral("theirs"))));
            QVERIFY(QFile::link(root.filePath(QStringLiteral("theirs")), folder));
        } else if (squat == QLatin1String("open")) {
            QVERIFY(QDir().mkdir(folder));
            QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 0777), 0);
        } else if (squat == QLatin1String("foreign")) {
            if (::geteuid() != 0)
                QSKIP("only root can give a folder to another user");
            QVERIFY(QDir().mkdir(folder));
            QCOMPARE(::chown(QFile::encodeName(folder).constData(), OtherUser::kUid, OtherUser::kGid), 0);
        } else if (squat == QLatin1String("file")) {
            QVERIFY(QFile(folder).open(QIODevice::WriteOnly));
        }

        InstanceChannel channel(path);
        if (squat.isEmpty()) {
            QCOMPARE(channel.claim(), InstanceChannel::Role::Primary);
            struct stat made {};
            QCOMPARE(::lstat(QFile::encodeName(folder).constData(), &made), 0);
            QCOMPARE(made.st_mode & 07777, mode_t(0700));
            return;
        }
        QCOMPARE(channel.claim(), InstanceChannel::Role::Unavailable);
        QVERIFY2(channel.errorString().contains(folder), qPrintable(channel.errorString()));
        if (squat == QLatin1String("foreign"))
            QVERIFY(channel.errorString().contains(QLatin1String("belongs to nobody")));
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("theirs/") + QFileInfo(path).fileName())));
    }

    // The socket is reachable by another user (folder and socket opened up, as on a system that
    // ignores a socket's permissions): they are dropped unheard, and the app is none the wiser.
    void anotherUsersRequestIsNeitherAnsweredNorCarriedOut()
    {
        if (::geteuid() != 0)
            QSKIP("only root can become another user");
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("s.sock"));
        InstanceChannel app(path);
        QCOMPARE(app.claim(), InstanceChannel::Role::Primary);
        QByteArrayList received;
        app.setHandler([&received](const QByteArray &request) {
            received.append(request);
            return QByteArray("done");
        });
        QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0777), 0);

        const QByteArray native = QFile::encodeName(path);
        QFuture<bool> attack = QtConcurrent::run([native] {
            return OtherUser::run([&native] {
                const int fd = connectTo(native);
                if (fd < 0 || ::write(fd, "disconnect\n", 11) != 11)
                    return false;
                // Dropped: the connection ends with nothing said. An answer, or silence, is a failure.
                pollfd wait{fd, POLLIN, 0};
                char byte = 0;
                return ::poll(&wait, 1, 3000) == 1 && ::read(fd, &byte, 1) <= 0;
            });
        });
        QVERIFY(QTest::qWaitFor([&] { return attack.isFinished(); }, 10000));
        QVERIFY(attack.result());
        QVERIFY(received.isEmpty());
        // The app itself is still there for its own user.
        QCOMPARE(fromOtherLaunch([path] { return InstanceChannel::send(path, "raise"); }),
                 std::optional<QByteArray>("done"));
    }

    // Whoever listens on the path must be this user: another user's listener gets no request, and a
    // launch does not take it for the running app.
    void aListenerOfAnotherUserIsNotTrusted()
    {
        if (::geteuid() != 0)
            QSKIP("only root can become another user");
        QTemporaryDir dir;
        QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
        const QString theirs = dir.filePath(QStringLiteral("theirs"));
        QVERIFY(QDir().mkdir(theirs));
        QCOMPARE(::chown(QFile::encodeName(theirs).constData(), OtherUser::kUid, OtherUser::kGid), 0);
        const QByteArray planted = QFile::encodeName(theirs + QStringLiteral("/s.sock"));
        QFuture<bool> listener =
            QtConcurrent::run([planted] { return OtherUser::run([&planted] { return answerTwice(planted); }); });
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(QFile::decodeName(planted)); }, 5000));
        // Moved into a folder of ours: the kernel still connects to their listener.
        const QString path = dir.filePath(QStringLiteral("s.sock"));
        QCOMPARE(::rename(planted.constData(), QFile::encodeName(path).constData()), 0);

        QCOMPARE(InstanceChannel::send(path, "raise"), std::nullopt);
        InstanceChannel launch(path);
        QCOMPARE(launch.claim(), InstanceChannel::Role::Unavailable);
        QVERIFY2(launch.errorString().contains(QLatin1String("another user")), qPrintable(launch.errorString()));
        listener.waitForFinished();
        QVERIFY(listener.result()); // both reached it: it was there to answer
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
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof(address.sun_path) - 1);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
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
