#include "TestEnvironment.h"
#include "platform/AdminPrompt.h"
#include "platform/PreferenceStore.h"
#include "tunnel/HelperLocator.h"
#include "tunnel/PrivilegeInstaller.h"
#include "tunnel/RouteCleanup.h"

#include <QFile>
#include <QProcess>
#include <QTest>

#include <sys/stat.h>

namespace {

// Runs the installation command under a real POSIX shell with chown and chmod replaced by functions
// that print the argument vectors they were given, one "<arg>" per argument. The sudoers lines go to
// the file the settings name. Returns what the shims printed.
QString runUnderShell(const QString &command)
{
    const QString shims = QStringLiteral("chown() { printf 'chown'; printf ' <%s>' \"$@\"; printf '\\n'; }\n"
                                         "chmod() { printf 'chmod'; printf ' <%s>' \"$@\"; printf '\\n'; }\n");
    QProcess shell;
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), shims + command});
    shell.waitForFinished(10000);
    return QString::fromUtf8(shell.readAllStandardOutput());
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
            text.append(body.at(++i));
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
        QTest::newRow("leading dash") << "-rf";
        QTest::newRow("glob") << "/tmp/*/nimbrel-macos";
    }

    void hostilePathsReachTheShellIntact()
    {
        QFETCH(QString, path);
        TestEnvironment env;
        PrivilegeInstaller::Settings settings;
        settings.sudoersFile = env.path(QStringLiteral("sudoers"));
        settings.ownerGroup = QStringLiteral("root");
        const std::optional<QString> command =
            PrivilegeInstaller::installCommand(path, QStringLiteral("alice"), settings);
        QVERIFY(command);
        const QString printed = runUnderShell(*command);
        QCOMPARE(printed, QStringLiteral("chown <root:root> <%1>\nchmod <4755> <%1>\nchmod <440> <%2>\n")
                              .arg(path, settings.sudoersFile));
        QFile sudoers(settings.sudoersFile);
        QVERIFY(sudoers.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(sudoers.readAll()),
                 QStringLiteral("alice ALL=(ALL) NOPASSWD: /bin/kill\n"
                                "alice ALL=(ALL) NOPASSWD: /sbin/route delete *\n"
                                "alice ALL=(ALL) NOPASSWD: /bin/sh /tmp/fw_smart_cleanup.sh\n"));
        // And through the AppleScript string literal, the shell gets the same command back.
        QCOMPARE(appleScriptLiteral(SystemAdminPrompt::appleScriptFor(*command)), *command);
        QVERIFY(!QFile::exists(QStringLiteral("/tmp/pwned")));
    }

    void unsafeValuesAreRefusedBeforeAnyPrompt_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("user");
        QTest::newRow("newline in path") << "/tmp/a\nb/nimbrel-macos"
                                         << "alice";
        QTest::newRow("NUL in path") << QStringLiteral("/tmp/a") + QChar(0) + QStringLiteral("b") << "alice";
        QTest::newRow("empty path") << ""
                                    << "alice";
        QTest::newRow("newline in user") << "/tmp/nimbrel-macos"
                                         << "alice\nALL ALL=(ALL) ALL";
        QTest::newRow("space in user") << "/tmp/nimbrel-macos"
                                       << "alice bob";
        QTest::newRow("quote in user") << "/tmp/nimbrel-macos"
                                       << "o'brien";
        QTest::newRow("comma in user") << "/tmp/nimbrel-macos"
                                       << "a,b";
        QTest::newRow("leading dash in user") << "/tmp/nimbrel-macos"
                                              << "-alice";
        QTest::newRow("empty user") << "/tmp/nimbrel-macos"
                                    << "";
    }

    void unsafeValuesAreRefusedBeforeAnyPrompt()
    {
        QFETCH(QString, path);
        QFETCH(QString, user);
        QVERIFY(!PrivilegeInstaller::installCommand(path, user, PrivilegeInstaller::Settings{}));
    }

    void macCommandKeepsTheWheelGroupAndTheFixedFile()
    {
        PrivilegeInstaller::Settings settings;
        settings.ownerGroup = QStringLiteral("wheel");
        const QString command =
            *PrivilegeInstaller::installCommand(QStringLiteral("/p/nimbrel-macos"), QStringLiteral("bob"), settings);
        QVERIFY(
            command.startsWith(QLatin1String("chown root:wheel '/p/nimbrel-macos' && chmod 4755 '/p/nimbrel-macos'")));
        QVERIFY(
            command.contains(QLatin1String(" && echo 'bob ALL=(ALL) NOPASSWD: /bin/kill' > '/etc/sudoers.d/nimbrel'")));
        QVERIFY(command.endsWith(QLatin1String(" && chmod 440 '/etc/sudoers.d/nimbrel'")));
    }

    void rightsAreCheckedForThisVeryPath()
    {
        TestEnvironment env;
        const QString helper = env.path(QStringLiteral("nimbrel-macos"));
        QVERIFY(TestEnvironment::writeFile(helper, QByteArray()));
        const PrivilegeInstaller installer(env.preferences, nullptr, {});
        ::chmod(QFile::encodeName(helper).constData(), 04755);
        QVERIFY(!installer.checkPrivilegesInstalled(helper)); // nothing stored yet: install anyway
        env.preferences->setString(PrivilegeInstaller::setupBinaryPathKey, helper);
        QVERIFY(installer.checkPrivilegesInstalled(helper));
        QVERIFY(!installer.checkPrivilegesInstalled(helper + QStringLiteral("/"))); // no normalising
        ::chmod(QFile::encodeName(helper).constData(), 0755);
        QVERIFY(!installer.checkPrivilegesInstalled(helper)); // replaced file lost its bit
        QFile::remove(helper);
        QVERIFY(!installer.checkPrivilegesInstalled(helper));
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
