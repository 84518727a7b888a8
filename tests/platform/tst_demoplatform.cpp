#include "TestEnvironment.h"
#include "platform/DemoPlatform.h"
#include "tunnel/ControlProgram.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

class TestDemoPlatform : public QObject {
    Q_OBJECT

private slots:
    // The demo's "installation" changes no file's mode: it is a record in the demo's folder, and the
    // demo runner's "check" answers from it the way the control program does.
    void installationIsARecordAndChangesNoMode()
    {
        QTemporaryDir dir;
        const QString helper = dir.filePath(QStringLiteral("nimbrel-simhelper"));
        QVERIFY(TestEnvironment::writeFile(helper, QByteArray(),
                                           QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        const QString installation = dir.filePath(QStringLiteral("privileges-installed"));
        struct stat before {};
        QCOMPARE(::stat(QFile::encodeName(helper).constData(), &before), 0);

        DemoPrivilegedRunner runner(QString(), installation);
        QVERIFY(!ControlProgram::readyHelperFrom(
            runner.run({QStringLiteral("/c"), QStringLiteral("check")}, PrivilegedRunner::Output::Capture).output));
        DemoAdminPrompt prompt(helper, installation);
        QVERIFY(prompt.runAsAdmin(QStringLiteral("ignored")).success);
        struct stat after {};
        QCOMPARE(::stat(QFile::encodeName(helper).constData(), &after), 0);
        QCOMPARE(after.st_mode, before.st_mode);
        QCOMPARE(after.st_uid, before.st_uid);
        QCOMPARE(
            ControlProgram::readyHelperFrom(
                runner.run({QStringLiteral("/c"), QStringLiteral("check")}, PrivilegedRunner::Output::Capture).output),
            std::optional(helper));

        DemoAdminPrompt missing(dir.filePath(QStringLiteral("missing")), installation);
        QVERIFY(!missing.runAsAdmin(QString()).success);
    }

    void runnerRecordsEverythingAndOnlyStops()
    {
        QTemporaryDir dir;
        const QString record = dir.filePath(QStringLiteral("privileged-commands.log"));
        DemoPrivilegedRunner runner(record);
        QProcess sleeper;
        sleeper.start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
        QVERIFY(sleeper.waitForStarted());
        QVERIFY(runner
                    .run({QStringLiteral("/c"), QStringLiteral("stop"), QString::number(sleeper.processId())},
                         PrivilegedRunner::Output::Inherit)
                    .succeeded);
        QVERIFY(sleeper.waitForFinished(5000));
        runner.run({QStringLiteral("/c"), QStringLiteral("routes"), QStringLiteral("203.0.113.7")},
                   PrivilegedRunner::Output::Discard);
        QCOMPARE(runner.commands().size(), 2);
        const QByteArray lines = TestEnvironment::contentOf(record);
        QVERIFY(lines.contains("sudo -n /c routes 203.0.113.7\n"));
        QVERIFY(lines.startsWith("sudo -n /c stop "));
    }
};

QTEST_GUILESS_MAIN(TestDemoPlatform)
#include "tst_demoplatform.moc"
