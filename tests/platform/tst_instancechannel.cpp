#include "platform/InstanceChannel.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent>

#include <QElapsedTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
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

} // namespace

class TestInstanceChannel : public QObject {
    Q_OBJECT

private slots:
    void eachPreferenceFileHasItsOwnShortSocketPath()
    {
        const QString a = InstanceChannel::socketPath(QStringLiteral("/home/u/.config/Nimbrel/Nimbrel.conf"));
        const QString b = InstanceChannel::socketPath(QStringLiteral("/home/u/demo/settings.conf"));
        QVERIFY(a.startsWith(QLatin1String("/home/u/.config/Nimbrel/.nimbrel-")));
        QVERIFY(b.startsWith(QLatin1String("/home/u/demo/")));
        QVERIFY(a != b);
        QCOMPARE(InstanceChannel::socketPath(QStringLiteral("/home/u/demo/settings.conf")), b);

        const QString deep = QStringLiteral("/tmp/") + QString(120, QLatin1Char('d')) + QStringLiteral("/s.conf");
        const QString fallback = InstanceChannel::socketPath(deep);
        QVERIFY(fallback.startsWith(QDir::tempPath()));
        QVERIFY(QFile::encodeName(fallback).size() <= 100);
    }

    void theSecondLaunchTalksToTheFirst()
    {
        QTemporaryDir dir;
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
