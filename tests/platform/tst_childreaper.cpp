#include "platform/HelperProcess.h"
#include "platform/SystemInfo.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QTest>
#include <QThread>

#include <csignal>

// Started helpers are reaped as they end, by one thread for all of them, without the event loop's help.
class TestChildReaper : public QObject {
    Q_OBJECT

    // Blocks the event loop on purpose: the reaping must not depend on it.
    static bool goneWithin(pid_t pid, std::chrono::milliseconds limit)
    {
        const QDeadlineTimer deadline(limit);
        while (SystemInfo::isProcessAlive(pid)) {
            if (deadline.hasExpired())
                return false;
            QThread::msleep(5);
        }
        return true;
    }

private slots:
    void everyEndedChildIsReapedByOneThread()
    {
        const auto start = [](const QString &program, const QStringList &arguments) {
            return HelperProcess::spawn(program, arguments, QProcessEnvironment::systemEnvironment(), -1).pid;
        };
        // One that has ended before it could be watched, which also starts the reaper.
        const pid_t quick = start(QStringLiteral("/bin/true"), {});
        QVERIFY(quick > 0);
        QVERIFY(goneWithin(quick, std::chrono::seconds(5)));

        const auto threadCount = [] { return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs).size(); };
        const qsizetype threadsBefore = threadCount();
        QList<pid_t> sleepers;
        for (int i = 0; i < 8; ++i) {
            sleepers.append(start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")}));
            QVERIFY(sleepers.last() > 0);
        }
        QCOMPARE(threadCount(), threadsBefore); // no thread waits for any one of them
        for (pid_t pid : sleepers)
            ::kill(pid, SIGKILL);
        for (pid_t pid : sleepers)
            QVERIFY2(goneWithin(pid, std::chrono::seconds(5)), "an ended child is left a zombie");
        QVERIFY(start(QStringLiteral("/nonexistent/helper"), {}) <= 0);
    }
};

QTEST_GUILESS_MAIN(TestChildReaper)
#include "tst_childreaper.moc"
