#include "OtherUser.h"
#include "platform/ProcessIdentity.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#include <unistd.h>

// A pid alone may be reused; start time and command line tell the process apart.
class TestProcessIdentity : public QObject {
    Q_OBJECT

private slots:
    void identitiesTellProcessesApart()
    {
        const std::optional<ProcessIdentity> self = ProcessIdentity::of(QCoreApplication::applicationPid());
        QVERIFY(self);
        QVERIFY(!self->startTime.isEmpty());
        QCOMPARE(ProcessIdentity::of(QCoreApplication::applicationPid()), self);

        QProcess child;
        child.start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
        QVERIFY(child.waitForStarted());
        const qint64 pid = child.processId();
        const std::optional<ProcessIdentity> running = ProcessIdentity::ofStarted(pid, std::chrono::seconds(5));
        QVERIFY(running);
        QVERIFY(running != self);
        QProcess other;
        other.start(QStringLiteral("/bin/sleep"), {QStringLiteral("31")});
        QVERIFY(other.waitForStarted());
        const std::optional<ProcessIdentity> second =
            ProcessIdentity::ofStarted(other.processId(), std::chrono::seconds(5));
        QVERIFY(second);
        QVERIFY(second->commandDigest != running->commandDigest);
        other.kill();
        other.waitForFinished();

        // What another user sees of a root-owned process (as of a set-user-ID helper) is the same.
        if (::geteuid() == 0) {
            QVERIFY(OtherUser::run([pid, expected = *running] { return ProcessIdentity::of(pid) == expected; }));
        }
        child.kill();
        QVERIFY(child.waitForFinished());
        QCOMPARE(ProcessIdentity::of(pid), std::nullopt); // gone and reaped
        QCOMPARE(ProcessIdentity::of(0), std::nullopt);
        QCOMPARE(ProcessIdentity::of(-1), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(TestProcessIdentity)
#include "tst_processidentity.moc"
