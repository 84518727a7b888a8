#include "OtherUser.h"
#include "RecordingAdminPrompt.h"
#include "TestEnvironment.h"
#include "TunnelFixture.h"
#include "platform/AdminPrompt.h"
#include "platform/FileTrust.h"
#include "platform/HelperProcess.h"
#include "platform/PreferenceStore.h"
#include "tunnel/HelperLocator.h"
#include "tunnel/PrivilegeInstaller.h"
#include "tunnel/RouteCleanup.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {

// The words a real POSIX shell reads from command: printf ends each with a NUL, which no word can hold.
// Started the way the client starts its children (QProcess's fork would trip the thread sanitizer later on).
QStringList shellWords(const QString &command)
{
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        return {};
    const HelperProcess::Started shell = HelperProcess::spawn(u"/bin/sh"_s, {u"-c"_s, u"printf '%s\\000' "_s + command},
                                                              QProcessEnvironment::systemEnvironment(), pipe[1]);
    ::close(pipe[1]);
    QByteArray output;
    char buffer[4096];
    for (ssize_t got; shell.pid > 0 && (got = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, got);
    ::close(pipe[0]);
    QStringList words = QString::fromUtf8(output).split(QChar(0));
    words.removeLast(); // what follows the last word's NUL
    return words;
}

// The text of the AppleScript string literal in source, each escape undone; "<malformed>" when a quote
// inside is not escaped.
QString appleScriptLiteral(const QString &source)
{
    static const QRegularExpression script(
        u"^do shell script \"((?:[^\"\\\\]|\\\\.)*)\" with administrator privileges$"_s);
    const QRegularExpressionMatch match = script.match(source);
    const QString body = match.captured(1);
    QString text;
    for (qsizetype i = 0; i < body.size(); ++i) {
        const bool escaped = body.at(i) == u'\\';
        const QChar c = body.at(escaped ? ++i : i);
        text.append(escaped && c == u'n' ? QChar(u'\n') : escaped && c == u'r' ? QChar(u'\r') : c);
    }
    return match.hasMatch() ? text : u"<malformed>"_s;
}

} // namespace

class TestPrivileges : public QObject {
    Q_OBJECT

private slots:
    void installCommandsCarryEveryValueIntact_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("hash");
        QTest::addColumn<bool>("safe");
        const QString hash(64, u'a');
        QTest::newRow("plain") << "/Applications/Nimbrel.app/nimbrel-macos" << hash << true;
        QTest::newRow("spaces") << "/Users/a b/Library/Application Support/Nimbrel/nimbrel-macos" << hash << true;
        QTest::newRow("single quote") << "/tmp/it's/nimbrel-macos" << hash << true;
        QTest::newRow("double quote") << "/tmp/say \"hi\"/nimbrel-macos" << hash << true;
        QTest::newRow("backslash") << "/tmp/back\\slash/nimbrel-macos" << hash << true;
        QTest::newRow("command substitution") << "/tmp/$(touch /tmp/pwned)/nimbrel-macos" << hash << true;
        QTest::newRow("backticks") << "/tmp/`id`/nimbrel-macos" << hash << true;
        QTest::newRow("semicolon and ampersand") << "/tmp/a;b&&c|d/nimbrel-macos" << hash << true;
        QTest::newRow("leading dash") << "/-rf" << hash << true;
        QTest::newRow("glob") << "/tmp/*/nimbrel-macos" << hash << true;
        QTest::newRow("newline in path") << "/tmp/a\nb/nimbrel-macos" << hash << false;
        QTest::newRow("NUL in path") << u"/tmp/a"_s + QChar(0) + u"b"_s << hash << false;
        QTest::newRow("empty path") << "" << hash << false;
        QTest::newRow("relative path") << "nimbrel-macos" << hash << false;
        QTest::newRow("no hash (unreadable helper)") << "/tmp/nimbrel-macos" << QString() << false;
        QTest::newRow("not a hash") << "/tmp/nimbrel-macos" << hash.chopped(1) + u';' << false;
    }

    // A value the command cannot carry safely is refused. Every other value is a word of its own: pkexec
    // gets the words, and the macOS prompt's shell reads the same words back from the quoted command line
    // inside the AppleScript string literal.
    void installCommandsCarryEveryValueIntact()
    {
        QFETCH(QString, path);
        QFETCH(QString, hash);
        QFETCH(bool, safe);
        const PrivilegeInstaller::Settings settings;
        const QByteArray text = ControlProgram::text();
        const std::optional<QStringList> command =
            PrivilegeInstaller::installCommand(path, hash, 4242, settings.control.program, text, settings);
        QCOMPARE(command.has_value(), safe);
        if (!safe)
            return;
        QCOMPARE(command->mid(0, 2), (QStringList{u"/bin/sh"_s, u"-c"_s}));
        QCOMPARE(command->at(2), QString::fromUtf8(ControlProgram::installText()));
        QCOMPARE(command->mid(3),
                 (QStringList{u"nimbrel-install"_s, path, hash, u"4242"_s, settings.sudoersFile,
                              settings.control.program, QString::fromUtf8(text), settings.control.configFile,
                              settings.control.helperCopy, settings.ownerGroup}));
        const QString shellCommand = SystemAdminPrompt::shellCommandFor(*command);
        QCOMPARE(shellWords(shellCommand), *command);
        QCOMPARE(appleScriptLiteral(SystemAdminPrompt::appleScriptFor(shellCommand)), shellCommand);
        QVERIFY(!QFile::exists(u"/tmp/pwned"_s));
        // A package's installation program is named instead of the shell, with the same values.
        const std::optional<QStringList> packaged = PrivilegeInstaller::installCommand(
            path, hash, 4242, settings.control.program, text, settings, u"/usr/lib/nimbrel/nimbrel-install"_s);
        QCOMPARE(packaged->first(), u"/usr/lib/nimbrel/nimbrel-install"_s);
        QCOMPARE(packaged->mid(1), command->mid(4));
    }

    // Finding: the helper preference named a root-owned program of the system (a shell), and the one
    // prompt made it root's for everybody. Only a file called nimbrel-macos is offered, and a root-owned
    // one only from a folder only root can change; nothing else reaches the dialog.
    void onlyAHelperFileIsOfferedToTheAdministrator_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("offered");
        QTest::newRow("a root-owned shell of the system") << "system-shell" << false;
        QTest::newRow("the user's own program under another name") << "other-name" << false;
        QTest::newRow("root's program put in the user's folder as nimbrel-macos") << "root-in-user-folder" << false;
        QTest::newRow("the user's own nimbrel-macos") << "own" << true;
    }

    void onlyAHelperFileIsOfferedToTheAdministrator()
    {
        QFETCH(QString, kind);
        QFETCH(bool, offered);
        TunnelFixture fixture;
        QString helper = fixture.helperPath();
        if (kind == QLatin1String("system-shell")) {
            helper = u"/bin/sh"_s;
        } else if (kind == QLatin1String("other-name")) {
            helper = fixture.env.path(u"bash"_s);
            QVERIFY(QFile::copy(fixture.helperPath(), helper));
        } else if (kind == QLatin1String("root-in-user-folder")) {
            if (::geteuid() != 0)
                QSKIP("needs root to make a root-owned file in a folder of another user");
            // The user is not root: the file is root's, its folder the user's.
            QCOMPARE(::chown(QFile::encodeName(fixture.env.path(QString())).constData(), OtherUser::kUid, 0), 0);
            QVERIFY(!PrivilegeInstaller::isAcceptableHelper(helper, OtherUser::kUid, {}));
            QVERIFY(PrivilegeInstaller::isAcceptableHelper(helper, 0, {}));
            ::chown(QFile::encodeName(fixture.env.path(QString())).constData(), 0, 0);
            return;
        }
        fixture.env.preferences->setString(HelperLocator::binaryPathKey, helper);
        fixture.vm().vpnConnect();
        QTRY_VERIFY(!fixture.vm().isVpnLoading());
        QVERIFY(fixture.waitIdle());
        QCOMPARE(fixture.prompt->commands().size(), offered ? 1 : 0);
        if (!offered)
            QCOMPARE(fixture.vm().vpnStatus(), u"Cannot safely grant nimbrel-macos its rights"_s);
    }

    void noDialogProgramIsARefusal()
    {
        class MissingDialog final : public AdminPrompt {
        public:
            ScriptResult runAsAdmin(const QStringList &) override { return {true, {}, {}}; }
            bool isAvailable() const override { return false; }
        };
        TestEnvironment env;
        const PrivilegeInstaller installer(env.preferences, std::make_shared<MissingDialog>(), env.runner, {});
        QCOMPARE(installer.doInstallPrivileges(u"/usr/local/bin/nimbrel-macos"_s, 4242),
                 PrivilegeInstaller::Outcome::Refused);
        QVERIFY(!env.preferences->string(PrivilegeInstaller::setupBinaryPathKey));
    }

    // Installed means: installed for this path, and root's copy has this very file's hash. An updated
    // helper (new content at the same path) gets one new prompt.
    void rightsAreCheckedForThisVeryFile()
    {
        TestEnvironment env;
        const QString helper = env.path(u"nimbrel-macos"_s);
        QVERIFY(TestEnvironment::writeFile(helper, "version 1"));
        const PrivilegeInstaller installer(env.preferences, nullptr, env.runner, {});
        env.runner->setServedHelper(helper);
        QVERIFY(!installer.checkPrivilegesInstalled(helper)); // nothing stored yet: install anyway
        env.preferences->setString(PrivilegeInstaller::setupBinaryPathKey, helper);
        QVERIFY(installer.checkPrivilegesInstalled(helper));
        QVERIFY(!installer.checkPrivilegesInstalled(helper + u"/"_s)); // no normalising
        env.runner->setServedHelper(env.path(u"another"_s));
        QVERIFY(!installer.checkPrivilegesInstalled(helper)); // root's copy came from another file
        env.runner->setServedHelper(helper);
        const ControlProgram::Installation before = *ControlProgram(env.runner, {}).check();
        QVERIFY(TestEnvironment::writeFile(helper, "version 2"));
        QVERIFY(!PrivilegeInstaller::isInstalledFor(helper, FileTrust::sha256Of(helper), helper, before));
        QFile::remove(helper);
        QVERIFY(!installer.checkPrivilegesInstalled(helper));
    }

    void checkAnswersAreReadStrictly_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QByteArray>("read"); // helper|source|copy's hash|running pid|since; empty: refused
        const QByteArray hash(64, 'b');
        const QByteArray installed = "version 2\nhelper /h\nsource /a b/nimbrel-macos\n";
        QTest::newRow("installed, nothing runs") << installed + "sha256 " + hash + "\n"
                                                 << "/h|/a b/nimbrel-macos|" + hash + "|0|";
        QTest::newRow("running") << installed + "sha256 " + hash + "\nrunning 42 7 Dec 2026\n"
                                 << "/h|/a b/nimbrel-macos|" + hash + "|42|7 Dec 2026";
        QTest::newRow("no copy") << installed << QByteArray("/h|/a b/nimbrel-macos||0|");
        QTest::newRow("a short hash") << installed + "sha256 abc\n" << QByteArray("/h|/a b/nimbrel-macos||0|");
        QTest::newRow("the set-user-ID program") << QByteArray("helper /h\nversion 1\nstate ready\n") << QByteArray();
        QTest::newRow("nothing") << QByteArray() << QByteArray();
    }

    void checkAnswersAreReadStrictly()
    {
        QFETCH(QByteArray, output);
        QFETCH(QByteArray, read);
        const std::optional<ControlProgram::Installation> seen = ControlProgram::installationFrom(output);
        QStringList fields;
        if (seen)
            fields = {seen->helper, seen->source, seen->sha256, QString::number(seen->runningPid.value_or(0)),
                      seen->runningStarted};
        QCOMPARE(fields.join(u'|').toUtf8(), read);
    }

    void helperIsFoundInOrder()
    {
        TestEnvironment env;
        auto make = [](const QString &path) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            TestEnvironment::writeFile(path, QByteArray(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            return path;
        };
        HelperLocator::Places places;
        places.programPath = env.path(u"app/bin/nimbrel"_s);
        places.currentDirectory = env.path(u"work/sub"_s);
        places.homeDirectory = env.path(u"home"_s);
        const HelperLocator locator(env.preferences, places);
        // Nothing stored under the preference key: that empty candidate is dropped.
        const QStringList fixed{env.path(u"app/bin/nimbrel-macos"_s),
                                env.path(u"work/sub/../dist/macos/nimbrel-macos"_s),
                                env.path(u"work/sub/dist/macos/nimbrel-macos"_s),
                                env.path(u"home/Library/Application Support/Nimbrel/nimbrel-macos"_s)};
        QCOMPARE(locator.candidates().mid(0, 4), fixed);
        // A helper put in each place, from the last, is chosen over those after it, as its canonical path:
        // no "/../" reaches the prompt.
        for (qsizetype i = fixed.size() - 1; i >= 0; --i)
            QCOMPARE(locator.binaryPath(), QFileInfo(make(fixed.at(i))).canonicalFilePath());

        // A stored path that is missing, or not executable, is passed over; a link to the user's own helper
        // is followed to the file itself.
        const QString chosen = make(env.path(u"chosen/nimbrel-macos"_s));
        QVERIFY(QFile::link(chosen, env.path(u"link"_s)));
        QFile(make(env.path(u"plain"_s))).setPermissions(QFileDevice::ReadOwner);
        const QList<std::pair<QString, QString>> stored{{env.path(u"missing"_s), fixed.first()},
                                                        {env.path(u"plain"_s), fixed.first()},
                                                        {chosen, chosen},
                                                        {env.path(u"link"_s), chosen}};
        for (const auto &[path, found] : stored) {
            env.preferences->setString(HelperLocator::binaryPathKey, path);
            QCOMPARE(locator.binaryPath(), found);
        }
    }

    // Started through PATH, the program's name has no folder: nothing may then come from the current
    // folder, and "beside the program" is the real executable's folder. The Linux package's place is
    // tried last.
    void aBareProgramNameNeverMeansTheCurrentFolder()
    {
        TestEnvironment env;
        HelperLocator::Places places;
        places.programPath = u"nimbrel-cli"_s;
        places.currentDirectory = env.path(QString());
        for (const QString &candidate : HelperLocator(env.preferences, places).candidates())
            QVERIFY2(QFileInfo(candidate).isAbsolute(), qPrintable(candidate));
        const AppEnvironment production = AppEnvironment::production(env.preferences);
        QCOMPARE(production.helperPlaces.programPath,
                 QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
#if defined(Q_OS_LINUX)
        const QStringList candidates = HelperLocator(env.preferences, production.helperPlaces).candidates();
        QCOMPARE(candidates.indexOf(u"/usr/lib/nimbrel/nimbrel-macos"_s), candidates.size() - 1); // and only there
#else
        QVERIFY(production.helperPlaces.extraCandidates.isEmpty());
#endif
    }

    // Another user plants a helper where the client looks: in a shared folder it can write, in the
    // current folder, or behind a link. None of them is chosen or reaches the prompt.
    void anotherUsersHelperIsNeverChosen_data()
    {
        QTest::addColumn<QString>("where");
        QTest::newRow("their file in the current folder") << "theirs";
        QTest::newRow("my file in a folder others can write") << "open-folder";
        QTest::newRow("a link to their file") << "link";
        QTest::newRow("my file writable by others") << "writable";
    }

    void anotherUsersHelperIsNeverChosen()
    {
        QFETCH(QString, where);
        if (::geteuid() != 0)
            QSKIP("needs root to act as another user (CI runs as root)");
        TestEnvironment env;
        const QString shared = env.path(u"shared"_s);
        QVERIFY(QDir().mkpath(shared + u"/dist/macos"_s));
        // A shared sticky folder like /tmp, in a folder everybody may enter.
        ::chmod(QFile::encodeName(env.path(QString())).constData(), 0755);
        for (const QString &folder : {shared, shared + u"/dist"_s, shared + u"/dist/macos"_s})
            ::chmod(QFile::encodeName(folder).constData(), 01777);
        const QByteArray planted = QFile::encodeName(shared + u"/dist/macos/nimbrel-macos"_s);
        const QByteArray theirs = QFile::encodeName(shared + u"/theirs"_s);
        QVERIFY(OtherUser::run([&] {
            return TestEnvironment::writeFile(QFile::decodeName(theirs), "#!/bin/sh\n",
                                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                                  QFileDevice::ExeOther | QFileDevice::ReadOther);
        }));
        if (where == QLatin1String("theirs")) {
            QVERIFY(OtherUser::run([&] { return ::rename(theirs.constData(), planted.constData()) == 0; }));
        } else if (where == QLatin1String("link")) {
            QVERIFY(OtherUser::run([&] { return ::symlink(theirs.constData(), planted.constData()) == 0; }));
        } else {
            // The user's own file: in an open folder that is not root's sticky one, or open itself.
            QVERIFY(TestEnvironment::writeFile(QFile::decodeName(planted), "#!/bin/sh\n"));
            ::chmod(planted.constData(), where == QLatin1String("writable") ? 0777 : 0755);
            if (where == QLatin1String("open-folder"))
                ::chmod(QFile::encodeName(shared + u"/dist/macos"_s).constData(), 0777);
        }

        TunnelFixture fixture(u"normal"_s, std::chrono::milliseconds(10), [&](AppEnvironment &e) {
            e.helperPlaces.currentDirectory = shared;
            e.helperPlaces.programPath = u"nimbrel-cli"_s;
        });
        fixture.env.preferences->setString(HelperLocator::binaryPathKey, QFile::decodeName(planted));
        QCOMPARE(fixture.vm().binaryPath(), QString());
        fixture.vm().vpnConnect();
        QCOMPARE(fixture.vm().vpnStatus(), u"nimbrel-macos binary not found"_s);
        QVERIFY(fixture.waitIdle());
        QVERIFY(fixture.prompt->commands().isEmpty());
    }

    // No build puts the simulated helper where the client looks for the real one: next to the app.
    void noSimulatedHelperLiesBesideTheApp()
    {
        const QDir appFolder(QStringLiteral(NIMBREL_APP_BINARY_DIR));
        QVERIFY(appFolder.exists(u"nimbrel"_s));
        QVERIFY(!appFolder.exists(u"nimbrel-macos"_s));
        const QByteArray simulatedBytes = TestEnvironment::contentOf(QStringLiteral(NIMBREL_SIMHELPER_BINARY));
        QVERIFY(QFileInfo(QStringLiteral(NIMBREL_SIMHELPER_BINARY)).absolutePath() != appFolder.absolutePath());
        for (const QFileInfo &file : appFolder.entryInfoList(QDir::Files))
            QVERIFY2(file.size() != simulatedBytes.size() ||
                         TestEnvironment::contentOf(file.absoluteFilePath()) != simulatedBytes,
                     qPrintable(file.fileName()));
    }

    void onlyPlainHostsReachRoute_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("passed");
        // Words the route command reads as "all", addresses in forms other than four plain numbers,
        // options, and anything a shell would read.
        for (const char *host : {"default", "DEFAULT.", "0.0.0.0", "0", "0x0", "127.1", "256.1.1.1", "::", "a..b",
                                 "-net", "--", "a b", "$(id)", "", "bad_name.example"})
            QTest::addRow("refused: %s", host) << QString::fromUtf8(host) << false;
        for (const char *host : {"example.com.", "203.0.113.7", "2001:db8::1", "vpn-1.example.net"})
            QTest::addRow("passed: %s", host) << QString::fromUtf8(host) << true;
    }

    void onlyPlainHostsReachRoute()
    {
        QFETCH(QString, host);
        QFETCH(bool, passed);
        QCOMPARE(RouteCleanup::isRoutableHost(host), passed);
    }
};

QTEST_GUILESS_MAIN(TestPrivileges)
#include "tst_privileges.moc"
