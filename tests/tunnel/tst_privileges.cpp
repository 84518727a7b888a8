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
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The words a real POSIX shell reads from command: printf prints each as <word> on its own line. Started
// the way the client starts its children (QProcess's fork would trip the thread sanitizer later on).
QStringList shellWords(const QString &command)
{
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        return {};
    const HelperProcess::Started shell = HelperProcess::spawn(
        QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("printf '<%s>\\n' ") + command},
        QProcessEnvironment::systemEnvironment(), pipe[1]);
    ::close(pipe[1]);
    QByteArray output;
    char buffer[4096];
    for (ssize_t got; shell.pid > 0 && (got = ::read(pipe[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, got);
    ::close(pipe[0]);
    const QString printed = QString::fromUtf8(output);
    QStringList words;
    for (qsizetype at = 0; at < printed.size();) {
        const qsizetype end = printed.indexOf(QLatin1String(">\n<"), at);
        const qsizetype stop = end < 0 ? printed.size() - 2 : end;
        words.append(printed.mid(at + 1, stop - at - 1));
        at = stop + 2;
    }
    return words;
}

// Undoes the escaping of an AppleScript string literal.
QString appleScriptLiteral(const QString &source)
{
    const QString prefix = QStringLiteral("do shell script \"");
    const QString suffix = QStringLiteral("\" with administrator privileges");
    if (!source.startsWith(prefix) || !source.endsWith(suffix))
        return QStringLiteral("<malformed>");
    const QString body = source.mid(prefix.size(), source.size() - prefix.size() - suffix.size());
    QString text;
    for (qsizetype i = 0; i < body.size(); ++i) {
        if (body.at(i) == QLatin1Char('\\') && i + 1 < body.size()) {
            const QChar escaped = body.at(++i);
            text.append(escaped == QLatin1Char('n')   ? QChar(u'\n')
                        : escaped == QLatin1Char('r') ? QChar(u'\r')
                                                      : escaped);
        } else if (body.at(i) == QLatin1Char('"')) {
            return QStringLiteral("<unescaped quote>");
        } else {
            text.append(body.at(i));
        }
    }
    return text;
}

} // namespace

class TestPrivileges : public QObject {
    Q_OBJECT

private slots:
    void hostilePathsReachTheShellIntact_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("plain") << "/Applications/Nimbrel.app/nimbrel-macos";
        QTest::newRow("spaces") << "/Users/a b/Library/Application Support/Nimbrel/nimbrel-macos";
        QTest::newRow("single quote") << "/tmp/it's/nimbrel-macos";
        QTest::newRow("double quote") << "/tmp/say \"hi\"/nimbrel-macos";
        QTest::newRow("backslash") << "/tmp/back\\slash/nimbrel-macos";
        QTest::newRow("command substitution") << "/tmp/$(touch /tmp/pwned)/nimbrel-macos";
        QTest::newRow("backticks") << "/tmp/`id`/nimbrel-macos";
        QTest::newRow("semicolon and ampersand") << "/tmp/a;b&&c|d/nimbrel-macos";
        QTest::newRow("leading dash") << "/-rf";
        QTest::newRow("glob") << "/tmp/*/nimbrel-macos";
    }

    // Every value is a word of its own: pkexec gets the words, and the macOS prompt's shell reads the
    // same words back from the quoted command line inside the AppleScript string literal.
    void hostilePathsReachTheShellIntact()
    {
        QFETCH(QString, path);
        const PrivilegeInstaller::Settings settings;
        const QByteArray text = ControlProgram::text();
        const QString hash(64, QLatin1Char('a'));
        const std::optional<QStringList> command =
            PrivilegeInstaller::installCommand(path, hash, 4242, settings.control.program, text, settings);
        QVERIFY(command);
        QCOMPARE(command->mid(0, 2), (QStringList{QStringLiteral("/bin/sh"), QStringLiteral("-c")}));
        QCOMPARE(command->at(2), QString::fromUtf8(ControlProgram::installText()));
        QCOMPARE(command->mid(3),
                 (QStringList{QStringLiteral("nimbrel-install"), path, hash, QStringLiteral("4242"),
                              settings.sudoersFile, settings.control.program, QString::fromUtf8(text),
                              settings.control.configFile, settings.control.helperCopy, settings.ownerGroup}));
        const QString shellCommand = SystemAdminPrompt::shellCommandFor(*command);
        QCOMPARE(shellWords(shellCommand), *command);
        QCOMPARE(appleScriptLiteral(SystemAdminPrompt::appleScriptFor(shellCommand)), shellCommand);
        QVERIFY(!QFile::exists(QStringLiteral("/tmp/pwned")));
        // A package's installation program is named instead of the shell, with the same values.
        const std::optional<QStringList> packaged = PrivilegeInstaller::installCommand(
            path, hash, 4242, settings.control.program, text, settings, QStringLiteral("/usr/lib/nimbrel/nimbrel-install"));
        QCOMPARE(packaged->first(), QStringLiteral("/usr/lib/nimbrel/nimbrel-install"));
        QCOMPARE(packaged->mid(1), command->mid(4));
    }

    void unsafeValuesAreRefused_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("hash");
        const QString hash(64, QLatin1Char('0'));
        QTest::newRow("newline in path") << "/tmp/a\nb/nimbrel-macos" << hash;
        QTest::newRow("NUL in path") << QStringLiteral("/tmp/a") + QChar(0) + QStringLiteral("b") << hash;
        QTest::newRow("empty path") << "" << hash;
        QTest::newRow("relative path") << "nimbrel-macos" << hash;
        QTest::newRow("no hash (unreadable helper)") << "/tmp/nimbrel-macos" << "";
        QTest::newRow("not a hash") << "/tmp/nimbrel-macos" << QString(63, QLatin1Char('0')) + QLatin1Char(';');
    }

    void unsafeValuesAreRefused()
    {
        QFETCH(QString, path);
        QFETCH(QString, hash);
        const PrivilegeInstaller::Settings settings;
        QVERIFY(!PrivilegeInstaller::installCommand(path, hash, 4242, settings.control.program, {}, settings));
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
            helper = QStringLiteral("/bin/sh");
        } else if (kind == QLatin1String("other-name")) {
            helper = fixture.env.path(QStringLiteral("bash"));
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
            QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("Cannot safely grant nimbrel-macos its rights"));
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
        QCOMPARE(installer.doInstallPrivileges(QStringLiteral("/usr/local/bin/nimbrel-macos"), 4242),
                 PrivilegeInstaller::Outcome::Refused);
        QVERIFY(!env.preferences->string(PrivilegeInstaller::setupBinaryPathKey));
    }

    // Installed means: installed for this path, and root's copy has this very file's hash. An updated
    // helper (new content at the same path) gets one new prompt.
    void rightsAreCheckedForThisVeryFile()
    {
        TestEnvironment env;
        const QString helper = env.path(QStringLiteral("nimbrel-macos"));
        QVERIFY(TestEnvironment::writeFile(helper, "version 1"));
        const PrivilegeInstaller installer(env.preferences, nullptr, env.runner, {});
        env.runner->setServedHelper(helper);
        QVERIFY(!installer.checkPrivilegesInstalled(helper)); // nothing stored yet: install anyway
        env.preferences->setString(PrivilegeInstaller::setupBinaryPathKey, helper);
        QVERIFY(installer.checkPrivilegesInstalled(helper));
        QVERIFY(!installer.checkPrivilegesInstalled(helper + QStringLiteral("/"))); // no normalising
        env.runner->setServedHelper(env.path(QStringLiteral("another")));
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
        QTest::addColumn<bool>("read");
        QTest::addColumn<QString>("sha256");
        QTest::addColumn<qint64>("runningPid");
        const QByteArray hash(64, 'b');
        QTest::newRow("installed, nothing runs")
            << QByteArray("version 2\nhelper /h\nsource /a b/nimbrel-macos\nsha256 " + hash + "\n") << true
            << QString::fromLatin1(hash) << qint64(0);
        QTest::newRow("running") << QByteArray("version 2\nhelper /h\nsource /s\nsha256 " + hash +
                                               "\nrunning 42 7 Dec 2026\n")
                                 << true << QString::fromLatin1(hash) << qint64(42);
        QTest::newRow("no copy") << QByteArray("version 2\nhelper /h\nsource /s\n") << true << QString() << qint64(0);
        QTest::newRow("a short hash") << QByteArray("version 2\nhelper /h\nsource /s\nsha256 abc\n") << true
                                      << QString() << qint64(0);
        QTest::newRow("the set-user-ID program") << QByteArray("helper /h\nversion 1\nstate ready\n") << false
                                                 << QString() << qint64(0);
        QTest::newRow("nothing") << QByteArray() << false << QString() << qint64(0);
    }

    void checkAnswersAreReadStrictly()
    {
        QFETCH(QByteArray, output);
        QFETCH(bool, read);
        QFETCH(QString, sha256);
        QFETCH(qint64, runningPid);
        const std::optional<ControlProgram::Installation> installation = ControlProgram::installationFrom(output);
        QCOMPARE(installation.has_value(), read);
        if (!read)
            return;
        QCOMPARE(installation->sha256, sha256);
        QCOMPARE(installation->runningPid.value_or(0), runningPid);
    }

    void helperIsFoundInOrder()
    {
        TestEnvironment env;
        auto make = [&](const QString &relative) {
            const QString path = env.path(relative);
            QDir().mkpath(QFileInfo(path).absolutePath());
            TestEnvironment::writeFile(path, QByteArray(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            return path;
        };
        HelperLocator::Places places;
        places.programPath = env.path(QStringLiteral("app/bin/nimbrel"));
        places.currentDirectory = env.path(QStringLiteral("work/sub"));
        places.homeDirectory = env.path(QStringLiteral("home"));
        const HelperLocator locator(env.preferences, places);
        // Nothing stored under the preference key: that empty candidate is dropped.
        QCOMPARE(locator.candidates().mid(0, 4),
                 (QStringList{env.path(QStringLiteral("app/bin/nimbrel-macos")),
                              env.path(QStringLiteral("work/sub/../dist/macos/nimbrel-macos")),
                              env.path(QStringLiteral("work/sub/dist/macos/nimbrel-macos")),
                              env.path(QStringLiteral("home/Library/Application Support/Nimbrel/nimbrel-macos"))}));

        const QString home = make(QStringLiteral("home/Library/Application Support/Nimbrel/nimbrel-macos"));
        QCOMPARE(locator.binaryPath(), home);
        const QString dist = make(QStringLiteral("work/sub/dist/macos/nimbrel-macos"));
        QCOMPARE(locator.binaryPath(), dist);
        const QString up = make(QStringLiteral("work/dist/macos/nimbrel-macos"));
        QCOMPARE(locator.binaryPath(), up); // canonical: no "/../" reaches the prompt
        const QString besideProgram = make(QStringLiteral("app/bin/nimbrel-macos"));
        QCOMPARE(locator.binaryPath(), besideProgram);

        // A stored path that is missing, or not executable, is passed over.
        env.preferences->setString(HelperLocator::binaryPathKey, env.path(QStringLiteral("missing")));
        QCOMPARE(locator.binaryPath(), besideProgram);
        const QString notExecutable = make(QStringLiteral("plain"));
        QFile(notExecutable).setPermissions(QFileDevice::ReadOwner);
        env.preferences->setString(HelperLocator::binaryPathKey, notExecutable);
        QCOMPARE(locator.binaryPath(), besideProgram);
        const QString chosen = make(QStringLiteral("chosen/nimbrel-macos"));
        env.preferences->setString(HelperLocator::binaryPathKey, chosen);
        QCOMPARE(locator.binaryPath(), chosen);
        // A link to the user's own helper is followed to the file itself.
        QVERIFY(QFile::link(chosen, env.path(QStringLiteral("link"))));
        env.preferences->setString(HelperLocator::binaryPathKey, env.path(QStringLiteral("link")));
        QCOMPARE(locator.binaryPath(), chosen);
    }

    // Started through PATH, the program's name has no folder: nothing may then come from the current
    // folder, and "beside the program" is the real executable's folder.
    void aBareProgramNameNeverMeansTheCurrentFolder()
    {
        TestEnvironment env;
        HelperLocator::Places places;
        places.programPath = QStringLiteral("nimbrel-cli");
        places.currentDirectory = env.path(QString());
        const QStringList candidates = HelperLocator(env.preferences, places).candidates();
        QVERIFY(!candidates.contains(QStringLiteral("nimbrel-macos")));
        for (const QString &candidate : candidates)
            QVERIFY2(QFileInfo(candidate).isAbsolute(), qPrintable(candidate));
        const AppEnvironment production = AppEnvironment::production(env.preferences);
        QCOMPARE(production.helperPlaces.programPath,
                 QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
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
        const QString shared = env.path(QStringLiteral("shared"));
        QVERIFY(QDir().mkpath(shared + QStringLiteral("/dist/macos")));
        // A shared sticky folder like /tmp, in a folder everybody may enter.
        ::chmod(QFile::encodeName(env.path(QString())).constData(), 0755);
        ::chmod(QFile::encodeName(shared).constData(), 01777);
        ::chmod(QFile::encodeName(shared + QStringLiteral("/dist")).constData(), 01777);
        ::chmod(QFile::encodeName(shared + QStringLiteral("/dist/macos")).constData(), 01777);
        const QByteArray planted = QFile::encodeName(shared + QStringLiteral("/dist/macos/nimbrel-macos"));
        const QByteArray theirs = QFile::encodeName(shared + QStringLiteral("/theirs"));
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
                ::chmod(QFile::encodeName(shared + QStringLiteral("/dist/macos")).constData(), 0777);
        }

        TunnelFixture fixture(QStringLiteral("normal"), std::chrono::milliseconds(10), [&](AppEnvironment &e) {
            e.helperPlaces.currentDirectory = shared;
            e.helperPlaces.programPath = QStringLiteral("nimbrel-cli");
        });
        fixture.env.preferences->remove(HelperLocator::binaryPathKey);
        fixture.env.preferences->setString(HelperLocator::binaryPathKey, QFile::decodeName(planted));
        QCOMPARE(fixture.vm().binaryPath(), QString());
        fixture.vm().vpnConnect();
        QCOMPARE(fixture.vm().vpnStatus(), QStringLiteral("nimbrel-macos binary not found"));
        QVERIFY(fixture.waitIdle());
        QVERIFY(fixture.prompt->commands().isEmpty());
    }

    // No build puts the simulated helper where the client looks for the real one: next to the app.
    void noSimulatedHelperLiesBesideTheApp()
    {
        const QDir appFolder(QStringLiteral(NIMBREL_APP_BINARY_DIR));
        QVERIFY(appFolder.exists(QStringLiteral("nimbrel")));
        QVERIFY(!appFolder.exists(QStringLiteral("nimbrel-macos")));
        const QByteArray simulatedBytes = TestEnvironment::contentOf(QStringLiteral(NIMBREL_SIMHELPER_BINARY));
        QVERIFY(QFileInfo(QStringLiteral(NIMBREL_SIMHELPER_BINARY)).absolutePath() != appFolder.absolutePath());
        for (const QFileInfo &file : appFolder.entryInfoList(QDir::Files)) {
            QFile candidate(file.absoluteFilePath());
            QVERIFY(candidate.open(QIODevice::ReadOnly));
            QVERIFY2(candidate.size() != simulatedBytes.size() || candidate.readAll() != simulatedBytes,
                     qPrintable(file.fileName()));
        }
    }

    void theLinuxPackageLocationComesAfterTheUsualPlaces()
    {
        TestEnvironment env;
        const AppEnvironment production = AppEnvironment::production(env.preferences);
#if defined(Q_OS_LINUX)
        const QString packaged = QStringLiteral("/usr/lib/nimbrel/nimbrel-macos");
        QCOMPARE(production.helperPlaces.extraCandidates, QStringList{packaged});
        const QStringList candidates = HelperLocator(env.preferences, production.helperPlaces).candidates();
        QCOMPARE(candidates.last(), packaged);
        QCOMPARE(candidates.count(packaged), 1);
#else
        QVERIFY(production.helperPlaces.extraCandidates.isEmpty());
#endif
    }

    void onlyPlainHostsReachRoute_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("passed");
        QTest::newRow("default") << "default" << false;
        QTest::newRow("DEFAULT.") << "DEFAULT." << false;
        QTest::newRow("unspecified") << "0.0.0.0" << false;
        QTest::newRow("number as name") << "0" << false;
        QTest::newRow("hex address") << "0x0" << false;
        QTest::newRow("short address") << "127.1" << false;
        QTest::newRow("octet too large") << "256.1.1.1" << false;
        QTest::newRow("ipv6 unspecified") << "::" << false;
        QTest::newRow("trailing dot") << "example.com." << true;
        QTest::newRow("empty label") << "a..b" << false;
        QTest::newRow("ipv4") << "203.0.113.7" << true;
        QTest::newRow("ipv6") << "2001:db8::1" << true;
        QTest::newRow("name") << "vpn-1.example.net" << true;
        QTest::newRow("option") << "-net" << false;
        QTest::newRow("double dash") << "--" << false;
        QTest::newRow("space") << "a b" << false;
        QTest::newRow("substitution") << "$(id)" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("underscore") << "bad_name.example" << false;
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
