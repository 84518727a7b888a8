#include "TestEnvironment.h"
#include "platform/DemoPlatform.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

class TestDemoPlatform : public QObject {
    Q_OBJECT

private slots:
    void installationMarksOnlyTheUsersOwnHelper()
    {
        QTemporaryDir dir;
        const QString helper = dir.filePath(QStringLiteral("nimbrel-macos"));
        QVERIFY(TestEnvironment::writeFile(helper, QByteArray(),
                                           QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        DemoAdminPrompt prompt(helper);
        QVERIFY(prompt.runAsAdmin(QStringLiteral("ignored")).success);
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(helper).constData(), &info), 0);
        // Never a set-user-ID root copy of the simulated helper; the user's own copy gets the bit.
        QCOMPARE((info.st_mode & S_ISUID) != 0, ::geteuid() != 0);

        DemoAdminPrompt missing(dir.filePath(QStringLiteral("missing")));
        QVERIFY(!missing.runAsAdmin(QString()).success);
    }

    void runnerRecordsEverythingAndOnlyKills()
    {
        QTemporaryDir dir;
        const QString record = dir.filePath(QStringLiteral("privileged-commands.log"));
        DemoPrivilegedRunner runner(record);
        QProcess sleeper;
        sleeper.start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
        QVERIFY(sleeper.waitForStarted());
        runner.run({QStringLiteral("/bin/kill"), QString::number(sleeper.processId())},
                   PrivilegedRunner::Output::Inherit);
        QVERIFY(sleeper.waitForFinished(5000));
        runner.run({QStringLiteral("/sbin/route"), QStringLiteral("delete"), QStringLiteral("-net"),
                    QStringLiteral("0.0.0.0/1")},
                   PrivilegedRunner::Output::Discard);
        QCOMPARE(runner.commands().size(), 2);
        QFile log(record);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray lines = log.readAll();
        QVERIFY(lines.contains("sudo -n /sbin/route delete -net 0.0.0.0/1\n"));
        QVERIFY(lines.startsWith("sudo -n /bin/kill "));
    }
};

QTEST_GUILESS_MAIN(TestDemoPlatform)
#include "tst_demoplatform.moc"
