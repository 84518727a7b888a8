#include "TestEnvironment.h"
#include "demo/DemoPlatform.h"
#include "platform/FileTrust.h"
#include "platform/SystemInfo.h"
#include "tunnel/ControlProgram.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

class TestDemoPlatform : public QObject {
    Q_OBJECT

private slots:
    // The demo's "installation" changes no file's mode: it is a record in the demo's folder, and the demo
    // runner's "check" answers from it the way the control program does. The runner records every command
    // it is asked for, in memory and one line each in its record file.
    void installationIsARecordAndChangesNoMode()
    {
        QTemporaryDir dir;
        const QString helper = dir.filePath(u"nimbrel-macos"_s);
        QVERIFY(TestEnvironment::writeFile(helper, "#!/bin/sh\n",
                                           QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        struct stat before {};
        QCOMPARE(::stat(QFile::encodeName(helper).constData(), &before), 0);
        const QString installation = dir.filePath(u"privileges-installed"_s);
        const QString record = dir.filePath(u"privileged-commands.log"_s);
        DemoPrivilegedRunner runner(record, installation);
        const auto check = [&runner] {
            return ControlProgram::installationFrom(
                runner.run({u"/c"_s, u"check"_s}, PrivilegedRunner::Output::Capture).output);
        };
        QVERIFY(!check());
        QVERIFY(DemoAdminPrompt(helper, installation).runAsAdmin({u"ignored"_s}).success);
        struct stat after {};
        QCOMPARE(::stat(QFile::encodeName(helper).constData(), &after), 0);
        QCOMPARE(std::pair(after.st_mode, after.st_uid), std::pair(before.st_mode, before.st_uid));
        const std::optional<ControlProgram::Installation> installed = check();
        QCOMPARE(installed->source, helper);
        QCOMPARE(installed->sha256, FileTrust::sha256Of(helper));
        QVERIFY(!DemoAdminPrompt(dir.filePath(u"missing"_s), installation).runAsAdmin({}).success);

        QVERIFY(runner.run({u"/c"_s, u"stop"_s}, PrivilegedRunner::Output::Inherit).succeeded);
        runner.run({u"/c"_s, u"routes"_s, u"203.0.113.7"_s}, PrivilegedRunner::Output::Discard);
        QCOMPARE(runner.commands().size(), 4);
        QCOMPARE(TestEnvironment::contentOf(record),
                 QByteArray("sudo -n /c check\nsudo -n /c check\nsudo -n /c stop\nsudo -n /c routes 203.0.113.7\n"));
    }

    // Played as the user, start hands the key over on standard input (never a command line), refuses a
    // second helper while the first runs, and stop ends even a helper that ignores SIGTERM.
    void startAndStopAsTheControlProgramDoes()
    {
        QTemporaryDir dir;
        const QString helper = dir.filePath(u"nimbrel-macos"_s);
        QVERIFY(TestEnvironment::writeFile(helper,
                                           "#!/bin/sh\ntrap '' TERM\nprintf '%s %s\\n' \"$FERNWIRE_PSK\" \"$*\"\n"
                                           "exec sleep 30\n",
                                           QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        const QString output = dir.filePath(u"out"_s);
        const int fd = ::open(QFile::encodeName(output).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        QVERIFY(fd >= 0);
        UserControlProgram control(std::chrono::milliseconds(200));
        const QStringList arguments{u"smart"_s, u"h:443"_s, u"sni"_s};
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
};

QTEST_GUILESS_MAIN(TestDemoPlatform)
#include "tst_demoplatform.moc"
