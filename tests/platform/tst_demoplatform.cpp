#include "TestEnvironment.h"
#include "demo/DemoPlatform.h"
#include "platform/SystemInfo.h"
#include "tunnel/ControlProgram.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
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
        const QString helper = dir.filePath(QStringLiteral("nimbrel-macos"));
        QVERIFY(TestEnvironment::writeFile(helper, "#!/bin/sh\n",
                                           QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        const QString installation = dir.filePath(QStringLiteral("privileges-installed"));
        struct stat before {};
        QCOMPARE(::stat(QFile::encodeName(helper).constData(), &before), 0);

        DemoPrivilegedRunner runner(QString(), installation);
        const auto check = [&runner] {
            return ControlProgram::installationFrom(
                runner.run({QStringLiteral("/c"), QStringLiteral("check")}, PrivilegedRunner::Output::Capture).output);
        };
        QVERIFY(!check());
        DemoAdminPrompt prompt(helper, installation);
        QVERIFY(prompt.runAsAdmin({QStringLiteral("ignored")}).success);
        struct stat after {};
        QCOMPARE(::stat(QFile::encodeName(helper).constData(), &after), 0);
        QCOMPARE(after.st_mode, before.st_mode);
        QCOMPARE(after.st_uid, before.st_uid);
        QCOMPARE(check()->source, helper);
        QCOMPARE(check()->sha256.size(), 64);

        DemoAdminPrompt missing(dir.filePath(QStringLiteral("missing")), installation);
        QVERIFY(!missing.runAsAdmin({}).success);
    }

    // Played as the user, start hands the key over on standard input (never a command line), refuses a
    // second helper while the first runs, and stop ends even a helper that ignores SIGTERM.
    void startAndStopAsTheControlProgramDoes()
    {
        QTemporaryDir dir;
        const QString helper = dir.filePath(QStringLiteral("nimbrel-macos"));
        QVERIFY(TestEnvironment::writeFile(helper, "#!/bin/sh\ntrap '' TERM\nprintf '%s %s\\n' \"$FERNWIRE_PSK\" \"$*\"\n"
                                                   "exec sleep 30\n",
                                           QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        const QString output = dir.filePath(QStringLiteral("out"));
        const int fd = ::open(QFile::encodeName(output).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        QVERIFY(fd >= 0);
        UserControlProgram control(std::chrono::milliseconds(200));
        const QStringList arguments{QStringLiteral("smart"), QStringLiteral("h:443"), QStringLiteral("sni")};
        const HelperProcess::Started started = control.start(helper, arguments, "the-key\n", fd);
        QVERIFY2(started.pid > 0, qPrintable(started.error));
        QVERIFY(control.start(helper, arguments, "the-key\n", fd).pid < 0);
        ::close(fd);
        QTRY_COMPARE(TestEnvironment::contentOf(output), QByteArray("the-key --server-addr h:443 --sni sni --smart\n"));
        QVERIFY(ControlProgram::installationFrom(control.check(helper, {}))->runningPid == started.pid);

        QVERIFY(control.stop());
        QTRY_VERIFY(!SystemInfo::isProcessAlive(started.pid)); // ended at once; reaped a moment later
        QVERIFY(!ControlProgram::installationFrom(control.check(helper, {}))->runningPid);
        QVERIFY(control.stop()); // nothing runs: nothing to do
    }

    void runnerRecordsEverything()
    {
        QTemporaryDir dir;
        const QString record = dir.filePath(QStringLiteral("privileged-commands.log"));
        DemoPrivilegedRunner runner(record);
        QVERIFY(runner.run({QStringLiteral("/c"), QStringLiteral("stop")}, PrivilegedRunner::Output::Inherit).succeeded);
        runner.run({QStringLiteral("/c"), QStringLiteral("routes"), QStringLiteral("203.0.113.7")},
                   PrivilegedRunner::Output::Discard);
        QCOMPARE(runner.commands().size(), 2);
        QCOMPARE(TestEnvironment::contentOf(record), QByteArray("sudo -n /c stop\nsudo -n /c routes 203.0.113.7\n"));
    }
};

QTEST_GUILESS_MAIN(TestDemoPlatform)
#include "tst_demoplatform.moc"
