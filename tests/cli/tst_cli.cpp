#include "DevService.h"
#include "OtherUser.h"
#include "ProbeTargets.h"
#include "TestEnvironment.h"
#include "app/AppViewModel.h"
#include "cli/CliCommandTable.h"
#include "i18n/LanguageManager.h"
#include "platform/InstanceChannel.h"
#include "platform/PreferenceStore.h"
#include "platform/ProcessIdentity.h"
#include "platform/SystemInfo.h"
#include "tunnel/TunnelOwnership.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

namespace {

struct CliRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QList<QByteArray> outLines() const { return out.split('\n').mid(0, out.count('\n')); }
    QJsonObject json() const { return QJsonDocument::fromJson(out).object(); }
};

} // namespace

// The real nimbrel-cli process against the local service running in this test, with a preference file,
// the demo platform (so route deletions are recorded, not run) and a copy of the simulated helper.
class TestCli : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<DevService> m_service;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_helper;
    QString m_scenario;
    QString m_stopDelay = QStringLiteral("0");
    QString m_delay = QStringLiteral("40");

    qint64 helperPid() const
    {
        QFile record(stateFile(QStringLiteral("helper.json")));
        if (!record.open(QIODevice::ReadOnly))
            return -1;
        return QJsonDocument::fromJson(record.readAll()).object().value(QStringLiteral("pid")).toInteger(-1);
    }

    QByteArray privilegedCommands() const
    {
        QFile record(stateFile(QStringLiteral("privileged-commands.log")));
        return record.open(QIODevice::ReadOnly) ? record.readAll() : QByteArray();
    }

    QByteArray lockRecord() const
    {
        QFile lock(stateFile(QStringLiteral("tunnel.lock")));
        return lock.open(QIODevice::ReadOnly) ? lock.readAll() : QByteArray();
    }

    QString settingsFile() const { return m_dir->filePath(QStringLiteral("settings.conf")); }
    QString stateFile(const QString &name) const { return m_dir->filePath(name); }

    QProcess *start(const QStringList &arguments, QObject *owner)
    {
        auto *cli = new QProcess(owner);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("NIMBREL_SIMHELPER_SCENARIO"), m_scenario);
        environment.insert(QStringLiteral("NIMBREL_SIMHELPER_DELAY_MS"), m_delay);
        environment.insert(QStringLiteral("NIMBREL_SIMHELPER_RECORD"), stateFile(QStringLiteral("helper.json")));
        environment.insert(QStringLiteral("NIMBREL_SIMHELPER_MAX_LIFE_MS"), QStringLiteral("20000"));
        environment.insert(QStringLiteral("NIMBREL_SIMHELPER_STOP_DELAY_MS"), m_stopDelay);
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), stateFile(QStringLiteral("config"))); // autostart
        cli->setProcessEnvironment(environment);
        // As a shell starts a job: the client leads a process group, which a terminal signals as one.
        cli->setChildProcessModifier([] { ::setpgid(0, 0); });
        cli->start(QStringLiteral(NIMBREL_CLI_BINARY),
                   QStringList{QStringLiteral("--settings"), settingsFile(), QStringLiteral("--api-base"),
                               m_service->baseUrl().toString(), QStringLiteral("--demo")} +
                       arguments);
        return cli;
    }

    // Runs the client to its end while this test's event loop serves its requests.
    // What status --json says of the tunnel.
    QJsonObject tunnelStatus()
    {
        return run({QStringLiteral("status"), QStringLiteral("--json")})
            .json()
            .value(QStringLiteral("tunnel"))
            .toObject();
    }

    CliRun run(const QStringList &arguments, const QByteArray &input = QByteArray())
    {
        QObject owner;
        QProcess *cli = start(arguments, &owner);
        if (!cli->waitForStarted(5000))
            qFatal("nimbrel-cli did not start");
        cli->write(input);
        cli->closeWriteChannel();
        if (!QTest::qWaitFor([cli] { return cli->state() == QProcess::NotRunning; }, 30000))
            qFatal("nimbrel-cli did not finish");
        CliRun result;
        result.exitCode = cli->exitStatus() == QProcess::NormalExit ? cli->exitCode() : -1;
        result.out = cli->readAllStandardOutput();
        result.err = cli->readAllStandardError();
        return result;
    }

    void signIn()
    {
        const CliRun login = run({QStringLiteral("login"), QStringLiteral("demo@nimbrel.test")}, "nimbrel-demo\n");
        QVERIFY2(login.exitCode == 0, login.err.constData());
    }

    QVariant stored(const QString &key) const { return QSettings(settingsFile(), QSettings::IniFormat).value(key); }

    // An online node on this machine, for the probe targets.
    static NodeInfo onlineNode(qint64 id, const char *name, quint16 port)
    {
        NodeInfo node;
        node.id = id;
        node.name = QString::fromLatin1(name);
        node.host = QStringLiteral("127.0.0.1");
        node.port = port;
        node.status = QStringLiteral("ONLINE");
        return node;
    }

    // The client's one key style: camelCase, in every object however deep.
    static bool keysAreCamelCase(const QJsonValue &value)
    {
        static const QRegularExpression camel(QStringLiteral("^[a-z][A-Za-z0-9]*$"));
        if (value.isArray()) {
            const QJsonArray array = value.toArray();
            return std::all_of(array.begin(), array.end(),
                               [](const QJsonValue &item) { return keysAreCamelCase(item); });
        }
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (!camel.match(it.key()).hasMatch() || !keysAreCamelCase(it.value()))
                return false;
        }
        return true;
    }

    static QList<QJsonObject> jsonLines(const QByteArray &out)
    {
        QList<QJsonObject> lines;
        for (const QByteArray &line : out.split('\n')) {
            if (!line.isEmpty())
                lines.append(QJsonDocument::fromJson(line).object());
        }
        return lines;
    }

private slots:
    void initTestCase() { TestEnvironment::useTemporaryLanguageStore(); }

    void init()
    {
        m_service = std::make_unique<DevService>(DevService::Options{});
        QVERIFY(m_service->listen());
        m_dir = std::make_unique<QTemporaryDir>();
        m_scenario = QStringLiteral("normal");
        m_delay = QStringLiteral("40");
        m_helper = m_dir->filePath(QStringLiteral("nimbrel-macos"));
        QVERIFY(QFile::copy(QStringLiteral(NIMBREL_SIMHELPER_BINARY), m_helper));
        QSettings(settingsFile(), QSettings::IniFormat).setValue(QStringLiteral("nimbrelBinaryPath"), m_helper);
    }

    void cleanup()
    {
        m_service.reset();
        m_dir.reset();
    }

    void signsInWithThePasswordOnStandardInput()
    {
        const CliRun wrong = run({QStringLiteral("login"), QStringLiteral("demo@nimbrel.test")}, "not-the-password\n");
        QCOMPARE(wrong.exitCode, 1);
        QCOMPARE(wrong.out, QByteArray());
        QCOMPARE(wrong.err, QByteArray("nimbrel-cli: Invalid e-mail or password\n"));

        const CliRun login =
            run({QStringLiteral("login"), QStringLiteral(" demo@nimbrel.test "), QStringLiteral("--json")},
                "nimbrel-demo\n");
        QCOMPARE(login.exitCode, 0);
        QCOMPARE(login.json().value(QStringLiteral("email")).toString(), QStringLiteral("demo@nimbrel.test"));
        QVERIFY(stored(QStringLiteral("auth.accessToken")).isValid()); // the app's session, in the app's file
        QCOMPARE(QFile(settingsFile()).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());

        const CliRun status = run({QStringLiteral("status"), QStringLiteral("--json")});
        QCOMPARE(status.exitCode, 0);
        const QJsonObject json = status.json();
        QCOMPARE(json.value(QStringLiteral("signedIn")).toBool(), true);
        QCOMPARE(json.value(QStringLiteral("email")).toString(), QStringLiteral("demo@nimbrel.test"));
        const QJsonObject subscription = json.value(QStringLiteral("subscription")).toObject();
        QCOMPARE(subscription.value(QStringLiteral("status")).toString(), QStringLiteral("ACTIVE"));
        QCOMPARE(subscription.value(QStringLiteral("active")).toBool(), true);
        QVERIFY(!subscription.value(QStringLiteral("expiresAt")).toString().isEmpty());
        QCOMPARE(json.value(QStringLiteral("selectedNode")).toObject().value(QStringLiteral("id")).toInteger(),
                 m_service->nodes().first().id); // the first online node
        QCOMPARE(json.value(QStringLiteral("routingMode")).toString(), QStringLiteral("safe"));
        QCOMPARE(json.value(QStringLiteral("language")).toString(), QStringLiteral("en"));
        QCOMPARE(json.value(QStringLiteral("tunnel")).toObject().value(QStringLiteral("state")).toString(),
                 QStringLiteral("disconnected"));

        const CliRun logout = run({QStringLiteral("logout")});
        QCOMPARE(logout.exitCode, 0);
        QVERIFY(!stored(QStringLiteral("auth.accessToken")).isValid());
        const CliRun signedOut = run({QStringLiteral("nodes")});
        QCOMPARE(signedOut.exitCode, 1);
        QCOMPARE(signedOut.err.count('\n'), 1);
    }

    void registersAndRefusesAShortPassword()
    {
        const CliRun shortPassword = run({QStringLiteral("register"), QStringLiteral("new@nimbrel.test")}, "short\n");
        QCOMPARE(shortPassword.exitCode, 2);
        const CliRun created = run({QStringLiteral("register"), QStringLiteral("new@nimbrel.test"),
                                    QStringLiteral("--nickname"), QStringLiteral(" Neo "), QStringLiteral("--json")},
                                   "long-enough\n");
        QCOMPARE(created.exitCode, 0);
        // Sent as typed, as the registration screen sends it.
        QCOMPARE(created.json().value(QStringLiteral("nickname")).toString(), QStringLiteral(" Neo "));
        const CliRun taken = run({QStringLiteral("register"), QStringLiteral("new@nimbrel.test")}, "long-enough\n");
        QCOMPARE(taken.exitCode, 1);
    }

    void nodesMatchTheServicesList()
    {
        signIn();
        const CliRun nodes = run({QStringLiteral("nodes"), QStringLiteral("--json")});
        QCOMPARE(nodes.exitCode, 0);
        const QJsonArray listed = nodes.json().value(QStringLiteral("nodes")).toArray();
        const QList<NodeInfo> expected = m_service->nodes();
        QCOMPARE(listed.size(), expected.size());
        QVERIFY(keysAreCamelCase(nodes.json()));
        for (qsizetype i = 0; i < expected.size(); ++i) {
            const QJsonObject entry = listed.at(i).toObject();
            const NodeInfo &node = expected.at(i);
            QCOMPARE(entry.value(QStringLiteral("id")).toInteger(), node.id);
            QCOMPARE(entry.value(QStringLiteral("name")).toString(), node.name);
            QCOMPARE(entry.value(QStringLiteral("countryCode")).toString(), node.countryCode);
            QCOMPARE(entry.value(QStringLiteral("flagEmoji")).toString(), node.flagEmoji);
            QCOMPARE(entry.value(QStringLiteral("host")).toString(), node.host);
            QCOMPARE(entry.value(QStringLiteral("port")).toInt(), node.port);
            QCOMPARE(entry.value(QStringLiteral("status")).toString(), node.status);
            QCOMPARE(entry.value(QStringLiteral("loadPercent")).toInt(), node.loadPercent);
            QCOMPARE(entry.value(QStringLiteral("latencyMs")), QJsonValue(QJsonValue::Null)); // never probed
            QCOMPARE(entry.value(QStringLiteral("timeout")).toBool(), false);
        }

        const CliRun table = run({QStringLiteral("nodes")});
        QCOMPARE(table.outLines().size(), expected.size() + 1); // a header and one row per node
        QVERIFY(table.outLines().at(1).startsWith("*"));        // the selected node is marked
    }

    void pingProbesInParallelAndRemembersTheResults()
    {
        ProbeTargets targets;
        m_service->setNodes(
            {onlineNode(1, "Open", targets.openListener()), onlineNode(2, "Dead", targets.refusingPort())});
        signIn();

        const CliRun ping = run({QStringLiteral("ping"), QStringLiteral("--all"), QStringLiteral("--json")});
        QCOMPARE(ping.exitCode, 0);
        QHash<qint64, QJsonObject> results;
        for (const QJsonObject &line : jsonLines(ping.out))
            results.insert(line.value(QStringLiteral("id")).toInteger(), line);
        QCOMPARE(results.size(), 2);
        // A number for the open port; a timed-out or refused probe is null with "timeout" set.
        QVERIFY(results.value(1).value(QStringLiteral("latencyMs")).toInteger(-1) >= 0);
        QCOMPARE(results.value(1).value(QStringLiteral("timeout")).toBool(), false);
        QCOMPARE(results.value(2).value(QStringLiteral("latencyMs")), QJsonValue(QJsonValue::Null));
        QCOMPARE(results.value(2).value(QStringLiteral("timeout")).toBool(), true);

        const CliRun nodes = run({QStringLiteral("nodes"), QStringLiteral("--json")});
        const QJsonArray listed = nodes.json().value(QStringLiteral("nodes")).toArray();
        QCOMPARE(listed.at(1).toObject().value(QStringLiteral("timeout")).toBool(), true);
        QVERIFY(listed.at(0).toObject().value(QStringLiteral("latencyMs")).isDouble());

        // --pick selects the fastest reachable of those probed; with none reachable it fails.
        const CliRun picked =
            run({QStringLiteral("ping"), QStringLiteral("--all"), QStringLiteral("--pick"), QStringLiteral("--json")});
        QCOMPARE(picked.exitCode, 0);
        QCOMPARE(
            jsonLines(picked.out).last().value(QStringLiteral("selectedNode")).toObject().value(QStringLiteral("id")),
            QJsonValue(1));
        QCOMPARE(stored(QStringLiteral("selectedNodeId")).toString(), QStringLiteral("1"));
        const CliRun none = run({QStringLiteral("ping"), QStringLiteral("2"), QStringLiteral("--pick")});
        QCOMPARE(none.exitCode, 1);
        QCOMPARE(none.err, QByteArray("nimbrel-cli: No reachable node\n"));

        const CliRun unknown = run({QStringLiteral("ping"), QStringLiteral("7")});
        QCOMPARE(unknown.exitCode, 1);
        QCOMPARE(unknown.err, QByteArray("nimbrel-cli: no node with id 7\n"));
    }

    void selectModeAndLanguagePersistInTheAppsFile()
    {
        signIn();
        const qint64 second = m_service->nodes().at(1).id;
        QCOMPARE(run({QStringLiteral("select"), QString::number(second)}).exitCode, 0);
        QCOMPARE(run({QStringLiteral("mode"), QStringLiteral("smart")}).exitCode, 0);
        QCOMPARE(run({QStringLiteral("language"), QStringLiteral("zh-CN")}).exitCode, 0);
        QCOMPARE(stored(QStringLiteral("selectedNodeId")).toString(), QString::number(second));
        QCOMPARE(stored(QStringLiteral("routingMode")).toString(), QStringLiteral("smart"));
        QCOMPARE(stored(QStringLiteral("appLanguage")).toString(), QStringLiteral("zh-CN"));

        const QJsonObject status = run({QStringLiteral("status"), QStringLiteral("--json")}).json();
        QCOMPARE(status.value(QStringLiteral("selectedNode")).toObject().value(QStringLiteral("id")).toInteger(),
                 second);
        QCOMPARE(status.value(QStringLiteral("routingMode")).toString(), QStringLiteral("smart"));
        // The app's texts and the client's own lines come in the chosen language.
        const CliRun text = run({QStringLiteral("status")});
        for (const char *shown : {"已订阅", "账号:", "路由模式:", "隧道:", "未连接"})
            QVERIFY2(text.out.contains(shown), text.out.constData());
        QVERIFY2(!text.out.contains("Routing mode"), text.out.constData());
        QCOMPARE(run({QStringLiteral("logout")}).out, QStringLiteral("已退出登录\n").toUtf8());
    }

    void badUsageExitsWithTwo_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no command") << QStringList{};
        QTest::newRow("unknown command") << QStringList{"fly"};
        QTest::newRow("unknown option") << QStringList{"status", "--bogus"};
        QTest::newRow("missing id") << QStringList{"select"};
        QTest::newRow("id not a number") << QStringList{"select", "two"};
        QTest::newRow("extra operand") << QStringList{"status", "now"};
        QTest::newRow("mode in capitals") << QStringList{"mode", "Smart"};
        QTest::newRow("unknown language") << QStringList{"language", "de"};
        QTest::newRow("flag of another command") << QStringList{"ping", "--refresh"};
        QTest::newRow("ids and --all") << QStringList{"ping", "1", "--all"};
        QTest::newRow("login without e-mail") << QStringList{"login"};
        QTest::newRow("no password") << QStringList{"login", "demo@nimbrel.test"};
        QTest::newRow("api base not https") << QStringList{"--api-base", "ftp://example.org/", "status"};
    }

    void badUsageExitsWithTwo()
    {
        QFETCH(QStringList, arguments);
        const CliRun result = run(arguments);
        QCOMPARE(result.exitCode, 2);
        QCOMPARE(result.out, QByteArray());
        QVERIFY2(result.err.startsWith("nimbrel-cli: ") && result.err.count('\n') == 1, result.err.constData());
    }

    // Help for the client and for each command, from the one table the parser uses.
    void everyCommandHasHelpWithExamples()
    {
        const CliRun overview = run({QStringLiteral("-h")});
        QCOMPARE(overview.exitCode, 0);
        for (const CliCommandTable::Command &command : CliCommandTable::commands()) {
            QVERIFY(overview.out.contains("  " + command.synopsis.toUtf8()));
            for (const QStringList &asked : {QStringList{QStringLiteral("help"), command.name},
                                             QStringList{command.name, QStringLiteral("--help")}}) {
                const CliRun help = run(asked);
                QCOMPARE(help.exitCode, 0);
                QVERIFY2(help.out.startsWith("Usage: nimbrel-cli " + command.synopsis.toUtf8() + "\n"),
                         help.out.constData());
                QVERIFY(help.out.contains("\nExamples:\n  nimbrel-cli " + command.name.toUtf8()));
                QCOMPARE(help.err, QByteArray());
            }
        }
        QCOMPARE(run({QStringLiteral("-V")}).out, QByteArray("nimbrel-cli " NIMBREL_VERSION "\n"));
        const CliRun unknown = run({QStringLiteral("help"), QStringLiteral("fly")});
        QCOMPARE(unknown.exitCode, 2);
        QCOMPARE(unknown.err, QByteArray("nimbrel-cli: unknown command \"fly\" (try --help)\n"));
    }

    // The completions offer commands, options and the node ids the last "nodes" listed, without a request
    // to the service; each loads in its shell.
    void completionsOfferCommandsOptionsAndTheListedNodes()
    {
        signIn();
        QCOMPARE(run({QStringLiteral("nodes")}).exitCode, 0);
        const int requests = m_service->requestCount(QStringLiteral("/api/nodes"));
        const auto complete = [this](const QString &line) {
            QProcess bash;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("PATH"), QFileInfo(QStringLiteral(NIMBREL_CLI_BINARY)).absolutePath() +
                                                           QLatin1Char(':') +
                                                           environment.value(QStringLiteral("PATH")));
            bash.setProcessEnvironment(environment);
            bash.start(QStringLiteral("bash"),
                       {QStringLiteral("-c"),
                        QStringLiteral(
                            "source %1 && complete -p nimbrel-cli >/dev/null && "
                            "COMP_WORDS=(nimbrel-cli --settings %2 %3 '') && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && "
                            "_nimbrel_cli && echo \"${COMPREPLY[*]}\"")
                            .arg(QStringLiteral(NIMBREL_DOCS_DIR "/nimbrel-cli.bash"), settingsFile(), line)});
            if (!bash.waitForFinished(10000) || bash.exitCode() != 0)
                return QStringList{QStringLiteral("bash failed: ") +
                                   QString::fromLocal8Bit(bash.readAllStandardError())};
            return QString::fromUtf8(bash.readAllStandardOutput())
                .trimmed()
                .split(QLatin1Char(' '), Qt::SkipEmptyParts);
        };
        QStringList ids;
        for (const NodeInfo &node : m_service->nodes())
            ids.append(QString::number(node.id));
        QStringList words = complete(QStringLiteral("ping"));
        QVERIFY2(words.contains(QStringLiteral("--all")), qPrintable(words.join(QLatin1Char(' '))));
        for (const QString &id : ids)
            QVERIFY2(words.contains(id), qPrintable(words.join(QLatin1Char(' '))));
        words = complete(QStringLiteral("mode"));
        QVERIFY(words.contains(QStringLiteral("safe")) && words.contains(QStringLiteral("smart")));
        words = complete(QString());
        QVERIFY(words.contains(QStringLiteral("connect")) && words.contains(QStringLiteral("--json")));
        QCOMPARE(m_service->requestCount(QStringLiteral("/api/nodes")), requests);

        for (const QStringList &check : {QStringList{"zsh", "-n", NIMBREL_DOCS_DIR "/_nimbrel-cli"},
                                         QStringList{"fish", "--no-execute", NIMBREL_DOCS_DIR "/nimbrel-cli.fish"}}) {
            QProcess shell;
            shell.start(check.first(), check.mid(1));
            QVERIFY2(shell.waitForFinished(10000) && shell.exitCode() == 0, qPrintable(check.join(QLatin1Char(' '))));
        }
    }

    // connect --fastest probes the nodes and connects to the quickest reachable one, or fails at once.
    void connectFastestTakesTheQuickestReachableNode()
    {
        ProbeTargets targets;
        const NodeInfo dead = onlineNode(1, "Dead", targets.refusingPort());
        const NodeInfo open = onlineNode(2, "Open", targets.openListener());
        m_service->setNodes({dead, open});
        signIn();
        m_scenario = QStringLiteral("error"); // the start fails soon, its target recorded
        const CliRun fastest = run({QStringLiteral("connect"), QStringLiteral("--fastest")});
        QCOMPARE(fastest.exitCode, 1);
        QVERIFY2(fastest.out.startsWith("Selected  Open (id 2)\nConnecting…\n"), fastest.out.constData());
        QCOMPARE(stored(QStringLiteral("selectedNodeId")).toString(), QStringLiteral("2"));
        QVERIFY(TestEnvironment::contentOf(stateFile(QStringLiteral("helper.json")))
                    .contains(QStringLiteral("127.0.0.1:%1").arg(open.port).toUtf8()));

        m_service->setNodes({dead});
        QVERIFY(QFile::remove(stateFile(QStringLiteral("helper.json"))));
        const CliRun none = run({QStringLiteral("connect"), QStringLiteral("--fastest")});
        QCOMPARE(none.exitCode, 1);
        QCOMPARE(none.err, QByteArray("nimbrel-cli: No reachable node\n"));
        QVERIFY(!QFile::exists(stateFile(QStringLiteral("helper.json")))); // no helper was started
        QCOMPARE(run({QStringLiteral("connect"), QStringLiteral("1"), QStringLiteral("--fastest")}).exitCode, 2);
    }

    // The switches are off until turned on; "Start at login" is a valid XDG autostart entry that starts the
    // app in the tray, and goes again when turned off.
    void configSwitchesAreOffUntilTurnedOn()
    {
        const CliRun defaults = run({QStringLiteral("config"), QStringLiteral("--json")});
        QCOMPARE(defaults.exitCode, 0);
        QCOMPARE(defaults.json(), (QJsonObject{{QStringLiteral("launchAtLogin"), false},
                                               {QStringLiteral("connectOnLaunch"), false},
                                               {QStringLiteral("autoReconnect"), false}}));
        const QString entry = stateFile(QStringLiteral("config/autostart/com.nimbrel.Nimbrel.desktop"));
        QVERIFY(!QFile::exists(entry));

        QCOMPARE(run({QStringLiteral("config"), QStringLiteral("launchAtLogin"), QStringLiteral("on")}).exitCode, 0);
        QVERIFY(TestEnvironment::contentOf(entry).contains("/nimbrel\" --tray\n"));
        QProcess validate;
        validate.start(QStringLiteral("desktop-file-validate"), {entry});
        QVERIFY(validate.waitForFinished(10000));
        QVERIFY2(validate.exitCode() == 0, validate.readAllStandardOutput().constData());
        QCOMPARE(run({QStringLiteral("config"), QStringLiteral("connectOnLaunch"), QStringLiteral("on")}).exitCode, 0);
        QCOMPARE(stored(QStringLiteral("connectOnLaunch")).toString(), QStringLiteral("true"));
        QCOMPARE(run({QStringLiteral("config"), QStringLiteral("autoReconnect"), QStringLiteral("on")}).exitCode, 0);
        QCOMPARE(stored(QStringLiteral("autoReconnect")).toString(), QStringLiteral("true"));
        QCOMPARE(run({QStringLiteral("config"), QStringLiteral("launchAtLogin")}).out.left(19),
                 QByteArray("launchAtLogin    on"));

        QCOMPARE(run({QStringLiteral("config"), QStringLiteral("launchAtLogin"), QStringLiteral("off")}).exitCode, 0);
        QVERIFY(!QFile::exists(entry));
        QCOMPARE(run({QStringLiteral("config"), QStringLiteral("bogus"), QStringLiteral("on")}).exitCode, 2);
        QCOMPARE(run({QStringLiteral("config"), QStringLiteral("launchAtLogin"), QStringLiteral("maybe")}).exitCode, 2);
    }

    // The support report says what a helper needs and no secret: every one planted in every source (the
    // preference file, the node list's key, the helper's log) comes out as "[redacted]".
    void aSupportReportCarriesNoSecret()
    {
        signIn();
        const QString accessToken = stored(QStringLiteral("auth.accessToken")).toString();
        const QString refreshToken = stored(QStringLiteral("auth.refreshToken")).toString();
        const QString psk = m_service->psk();
        QVERIFY(!accessToken.isEmpty() && !refreshToken.isEmpty() && !psk.isEmpty());
        QFile log(stateFile(QStringLiteral("fw.log")));
        QVERIFY(log.open(QIODevice::WriteOnly));
        log.write("line 1 of the helper, too old to be shown\n");
        for (int i = 2; i < 200; ++i)
            log.write(QByteArray("handshake step ") + QByteArray::number(i) + '\n');
        log.write(("GET /api/nodes Authorization: Bearer " + accessToken + "\n").toUtf8());
        log.write(("refresh " + refreshToken + " psk=" + psk + " for demo@nimbrel.test\n").toUtf8());
        log.write("password: nimbrel-demo key=Zq7fK2pX9vLm4Rt8Yw3Hb6Nc1Ds5Ge0Ju\n");
        log.write("VPN started, last line\n");
        log.close();

        const CliRun report = run({QStringLiteral("report")});
        QCOMPARE(report.exitCode, 0);
        const QString text = QString::fromUtf8(report.out);
        for (const QString &secret :
             {accessToken, refreshToken, psk, QStringLiteral("demo@nimbrel.test"), QStringLiteral("nimbrel-demo"),
              QStringLiteral("Zq7fK2pX9vLm4Rt8Yw3Hb6Nc1Ds5Ge0Ju")})
            QVERIFY2(!text.contains(secret), qPrintable(secret));
        QVERIFY(text.contains(QLatin1String("[redacted]")));
        for (const QString &part : {QStringLiteral("nimbrel-cli " NIMBREL_VERSION), QStringLiteral("Qt "),
                                    QStringLiteral("Helper: ") + QFileInfo(m_helper).canonicalFilePath(),
                                    QStringLiteral("Tunnel: Disconnected"), QStringLiteral("Privileges: not installed"),
                                    QStringLiteral("handshake step 199"), QStringLiteral("VPN started, last line")})
            QVERIFY2(text.contains(part), qPrintable(part + QLatin1String("\n---\n") + text));
        QVERIFY(!text.contains(QLatin1String("too old to be shown"))); // the last 200 lines only

        m_scenario = QStringLiteral("error"); // a start that fails, once the rights are installed
        QCOMPARE(run({QStringLiteral("connect")}).exitCode, 1);
        QVERIFY(run({QStringLiteral("report")}).out.contains("\nPrivileges: installed ("));
    }

    // Programs read the state word; people read the status text, in the chosen language.
    void connectReportsAStateWordBesideTheText_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QStringList>("states");
        const QStringList failed{"connecting", "failed", "disconnecting", "disconnected"};
        const QStringList lost{"connecting", "connected", "lost", "disconnecting", "disconnected"}; // routes go too
        for (const char *language : {"en", "zh-CN", "zh-TW", "ru"})
            QTest::newRow(qPrintable(QStringLiteral("%1, refused key").arg(QLatin1String(language))))
                << language << "error" << failed;
        QTest::newRow("ru, helper gone once up") << "ru"
                                                 << "die-later" << lost;
    }
    void connectReportsAStateWordBesideTheText()
    {
        QFETCH(QString, language);
        QFETCH(QString, scenario);
        QFETCH(QStringList, states);
        signIn();
        QCOMPARE(run({QStringLiteral("language"), language}).exitCode, 0);
        m_scenario = scenario;
        if (scenario == QLatin1String("die-later"))
            m_delay = QStringLiteral("1200"); // the marker after the first check, the death well after it
        const CliRun connect = run({QStringLiteral("connect"), QStringLiteral("--json")});
        QCOMPARE(connect.exitCode, 1);
        QStringList seen;
        QStringList texts;
        for (const QJsonObject &line : jsonLines(connect.out)) {
            QVERIFY(keysAreCamelCase(line));
            seen.append(line.value(QStringLiteral("state")).toString());
            texts.append(line.value(QStringLiteral("status")).toString());
        }
        QVERIFY2(seen == states,
                 qPrintable(seen.join(QLatin1Char(' ')) + QLatin1String(" / ") + texts.join(QLatin1Char('|'))));
        LanguageManager languages(PreferenceStore::openFile(settingsFile()));
        QCOMPARE(texts.first(), languages.localized(QStringLiteral("vpn_connecting")));
        QCOMPARE(texts.at(1),
                 languages.localized(scenario == QLatin1String("error") ? QStringLiteral("connect_failed")
                                                                        : QStringLiteral("vpn_connected")));
    }

    // status --follow prints a whole status document at every change of the tunnel, until interrupted.
    void statusFollowsTheTunnelUntilInterrupted()
    {
        signIn();
        QObject owner;
        QProcess *follow =
            start({QStringLiteral("status"), QStringLiteral("--follow"), QStringLiteral("--json")}, &owner);
        QByteArray followed;
        // The tunnel's state word of each line; every line a whole status document that differs from the one
        // before.
        const auto states = [&] {
            followed += follow->readAllStandardOutput();
            QStringList seen;
            QJsonObject before;
            for (const QJsonObject &line : jsonLines(followed)) {
                const QJsonObject tunnel = line.value(QStringLiteral("tunnel")).toObject();
                if (!line.contains(QStringLiteral("signedIn")) || tunnel == before)
                    return QStringList{QStringLiteral("a line that is no status document, or no change")};
                before = tunnel;
                seen.append(tunnel.value(QStringLiteral("state")).toString());
            }
            return seen;
        };
        QTRY_COMPARE_WITH_TIMEOUT(states(), QStringList{QStringLiteral("disconnected")}, 15000);

        QProcess *cli = start({QStringLiteral("connect")}, &owner);
        QTRY_VERIFY_WITH_TIMEOUT(states().contains(QStringLiteral("connected")), 15000);
        ::kill(-pid_t(cli->processId()), SIGINT);
        QTRY_VERIFY_WITH_TIMEOUT(cli->state() == QProcess::NotRunning, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(states().last(), QStringLiteral("disconnected"), 15000);
        QCOMPARE(states().first(), QStringLiteral("disconnected"));
        QVERIFY(states().size() >= 3);

        ::kill(-pid_t(follow->processId()), SIGINT);
        QTRY_VERIFY_WITH_TIMEOUT(follow->state() == QProcess::NotRunning, 15000);
        QCOMPARE(follow->exitStatus(), QProcess::NormalExit);
        QCOMPARE(follow->exitCode(), 0);
    }

    // Ctrl-C in the client's terminal, or the terminal closing, reaches the whole foreground process
    // group: the client, never the helper, which runs in a session of its own and is stopped in order.
    void connectRunsUntilCtrlCAndLeavesNothingBehind_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("lostFirst"); // with autoReconnect on, the helper ends while the tunnel is up
        QTest::newRow("Ctrl-C") << SIGINT << false;
        QTest::newRow("terminal closed") << SIGHUP << false;
        QTest::newRow("Ctrl-C while reconnecting") << SIGINT << true;
    }
    void connectRunsUntilCtrlCAndLeavesNothingBehind()
    {
        QFETCH(int, signal);
        QFETCH(bool, lostFirst);
        signIn();
        if (lostFirst)
            QCOMPARE(run({QStringLiteral("config"), QStringLiteral("autoReconnect"), QStringLiteral("on")}).exitCode,
                     0);
        QObject owner;
        QProcess *cli = start({QStringLiteral("connect")}, &owner);
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += cli->readAllStandardOutput()).contains("Connected\n"), 15000);

        // While it runs, the tunnel is its own: a second client may not connect.
        const CliRun second = run({QStringLiteral("connect")});
        QCOMPARE(second.exitCode, 1);
        QCOMPARE(second.err,
                 QStringLiteral("nimbrel-cli: Tunnel in use by another Nimbrel process (nimbrel-cli, pid %1)\n")
                     .arg(cli->processId())
                     .toUtf8());
        const QJsonObject tunnel = tunnelStatus();
        QCOMPARE(tunnel.value(QStringLiteral("state")).toString(), QStringLiteral("connected"));
        QCOMPARE(tunnel.value(QStringLiteral("pid")).toInteger(), cli->processId());

        const qint64 helper = helperPid();
        QVERIFY(helper > 0 && SystemInfo::isProcessAlive(pid_t(helper)));
        QCOMPARE(::getsid(pid_t(helper)), pid_t(helper));
        QByteArray expected = "Connecting…\nConnected\n";
        if (lostFirst) { // the client goes on through the wait before the first attempt
            ::kill(pid_t(helper), SIGTERM);
            expected += "Connection lost\nReconnecting… (1/3)\n";
            QTRY_VERIFY2_WITH_TIMEOUT((out += cli->readAllStandardOutput()) == expected, out.constData(), 15000);
            QCOMPARE(cli->state(), QProcess::Running);
        }

        ::kill(-pid_t(cli->processId()), signal); // the client leads a process group of its own
        QTRY_VERIFY_WITH_TIMEOUT(cli->state() == QProcess::NotRunning, 15000);
        out += cli->readAllStandardOutput();
        QCOMPARE(cli->exitCode(), 0);
        QCOMPARE(out, expected + "Disconnecting…\nDisconnected\n");
        QVERIFY(!SystemInfo::isProcessAlive(pid_t(helper)));

        // The control program is asked to stop whatever it runs for us (after a loss: nothing), and the
        // routes go all the same.
        const QByteArray commands = privilegedCommands();
        QVERIFY(commands.contains(" stop\n"));
        QVERIFY(commands.contains(" routes 127.0.0.1\n"));
        QCOMPARE(tunnelStatus().value(QStringLiteral("state")).toString(), QStringLiteral("disconnected"));
    }

    // A disconnect from another terminal stops the tunnel another client of this user drives: that
    // client is told to stop (as Ctrl-C would) and the disconnect waits until it has cleaned up.
    void disconnectFromAnotherTerminalStopsAnotherClientsTunnel()
    {
        signIn();
        QObject owner;
        QProcess *cli = start({QStringLiteral("connect")}, &owner);
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += cli->readAllStandardOutput()).contains("Connected\n"), 15000);
        const qint64 helper = helperPid();

        const CliRun stopped = run({QStringLiteral("disconnect")});
        QCOMPARE(stopped.exitCode, 0);
        QCOMPARE(stopped.out, QStringLiteral("Disconnecting…\nDisconnected\n").toUtf8());
        QTRY_VERIFY_WITH_TIMEOUT(cli->state() == QProcess::NotRunning, 15000);
        out += cli->readAllStandardOutput();
        QCOMPARE(cli->exitCode(), 0);
        QCOMPARE(out, QStringLiteral("Connecting…\nConnected\nDisconnecting…\nDisconnected\n").toUtf8());
        QVERIFY(!SystemInfo::isProcessAlive(pid_t(helper)));
    }

    // The app beside a client in a terminal: it shows the client's tunnel (its node, since when) within
    // a second, and its Disconnect has the client end its own tunnel, without a reconnect.
    void theAppShowsAndStopsATunnelTheClientHolds()
    {
        signIn();
        QCOMPARE(run({QStringLiteral("config"), QStringLiteral("autoReconnect"), QStringLiteral("on")}).exitCode, 0);
        QObject owner;
        QProcess *cli = start({QStringLiteral("connect")}, &owner);
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += cli->readAllStandardOutput()).contains("Connected\n"), 15000);
        const QJsonObject tunnel = tunnelStatus();
        QCOMPARE(tunnel.value(QStringLiteral("state")).toString(), QStringLiteral("connected"));
        const QDateTime since =
            QDateTime::fromString(tunnel.value(QStringLiteral("connectedSince")).toString(), Qt::ISODate);
        QVERIFY(qAbs(since.secsTo(QDateTime::currentDateTimeUtc())) < 60);
        const QJsonObject node = tunnel.value(QStringLiteral("node")).toObject();
        QVERIFY(node.value(QStringLiteral("id")).toInteger() > 0);
        QVERIFY(!node.value(QStringLiteral("name")).toString().isEmpty());

        TestEnvironment env;
        env.tunnelPaths.ownerLock = stateFile(QStringLiteral("tunnel.lock"));
        AppEnvironment environment = env.environment();
        environment.intervals.otherHolderLook = std::chrono::milliseconds(100);
        AppViewModel app(environment);
        app.watchOtherProcesses();
        QTRY_VERIFY_WITH_TIMEOUT(app.isConnected(), 1000);
        QCOMPARE(app.vpnPhase(), TunnelPhase::connected);
        QCOMPARE(app.vpnStatus(),
                 QStringLiteral("Connected in a terminal (nimbrel-cli, pid %1)").arg(cli->processId()));
        QCOMPARE(app.shownNode()->id, node.value(QStringLiteral("id")).toInteger());
        QCOMPARE(app.upSince(), since);
        QVERIFY(!app.tunnel().state().isActive()); // shown, not ours to stop on quit

        app.vpnDisconnect();
        QTRY_VERIFY_WITH_TIMEOUT(cli->state() == QProcess::NotRunning, 15000);
        out += cli->readAllStandardOutput();
        QCOMPARE(cli->exitCode(), 0);
        QCOMPARE(out, QStringLiteral("Connecting…\nConnected\nDisconnecting…\nDisconnected\n").toUtf8());
        QTRY_COMPARE_WITH_TIMEOUT(app.tunnel().state().cause().reason, TunnelReason::disconnected, 2000);
        QVERIFY(!app.isConnected());
        QVERIFY(!app.tunnel().state().node()); // the card names the selection again
    }

    // A clean-up script left behind by an earlier smart tunnel is cleaned up at the client's start;
    // the client's own clean-up never makes it refuse its own connect.
    void aLeftBehindScriptDoesNotMakeTheClientRefuseItself()
    {
        signIn();
        QVERIFY(TestEnvironment::writeFile(stateFile(QStringLiteral("fw_smart_cleanup.sh")), "#!/bin/sh\nexit 0\n",
                                           QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        m_scenario = QStringLiteral("error");
        const CliRun failed = run({QStringLiteral("connect")});
        QVERIFY2(!failed.err.contains("Tunnel in use"), failed.err.constData());
        QVERIFY2(failed.out.startsWith("Connecting…\n"), failed.out.constData());
    }

    void aFailedConnectExitsWithOneAndStopsTheHelper()
    {
        signIn();
        m_scenario = QStringLiteral("error");
        const CliRun failed = run({QStringLiteral("connect")});
        QCOMPARE(failed.exitCode, 1);
        QCOMPARE(failed.out,
                 QStringLiteral("Connecting…\nConnection failed, check server and PSK\nDisconnecting…\nDisconnected\n")
                     .toUtf8());
        const qint64 helper = helperPid();
        QVERIFY(helper > 0);
        QVERIFY(!SystemInfo::isProcessAlive(pid_t(helper)));

        // Without a helper: the status as the tables have it, then every place looked in, in order.
        const QString missing = m_dir->filePath(QStringLiteral("gone/nimbrel-macos"));
        QSettings(settingsFile(), QSettings::IniFormat).setValue(QStringLiteral("nimbrelBinaryPath"), missing);
        const CliRun noHelper = run({QStringLiteral("connect")});
        QCOMPARE(noHelper.exitCode, 1);
        const QList<QByteArray> errors = noHelper.err.split('\n');
        QCOMPARE(errors.value(0), QByteArray("nimbrel-cli: nimbrel-macos binary not found"));
        QVERIFY2(
            errors.value(1).startsWith("nimbrel-cli: looked for it, in this order, in: " + missing.toUtf8() + ", "),
            noHelper.err.constData());
        QVERIFY(errors.value(1).contains(", /usr/local/bin/nimbrel-macos"));
    }

    // A client killed outright (kill -9) leaves its helper running in a session of its own, and its
    // record in the lock file. Status only reports it; the next connect or disconnect takes it over: a
    // tunnel that was up is adopted as it is (no second helper, no smart-mode clean-up under it), one
    // that was starting or being stopped is stopped, with its routes.
    void aKilledClientsTunnelIsTakenOverByTheNext_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QByteArray>("killedWhile");
        QTest::addColumn<QString>("next");
        QTest::newRow("up, then connect") << "normal"
                                          << "safe" << QByteArray("connected") << "connect";
        QTest::newRow("up in smart mode, then connect") << "normal"
                                                        << "smart" << QByteArray("connected") << "connect";
        QTest::newRow("up, then disconnect") << "normal"
                                             << "safe" << QByteArray("connected") << "disconnect";
        QTest::newRow("starting, then connect") << "silent"
                                                << "safe" << QByteArray("connecting") << "connect";
        QTest::newRow("stopping, then disconnect") << "normal"
                                                   << "safe" << QByteArray("disconnecting") << "disconnect";
    }
    void aKilledClientsTunnelIsTakenOverByTheNext()
    {
        QFETCH(QString, scenario);
        QFETCH(QString, mode);
        QFETCH(QByteArray, killedWhile);
        QFETCH(QString, next);
        signIn();
        QCOMPARE(run({QStringLiteral("mode"), mode}).exitCode, 0);
        m_scenario = scenario;
        m_stopDelay = killedWhile == "disconnecting" ? QStringLiteral("1500") : QStringLiteral("0");
        QObject owner;
        QProcess *first = start({QStringLiteral("connect")}, &owner);
        const QByteArray helperLine = "\nhelper=";
        QTRY_VERIFY_WITH_TIMEOUT(lockRecord().contains(helperLine) && helperPid() > 0, 15000);
        if (killedWhile != "connecting")
            QTRY_VERIFY_WITH_TIMEOUT(lockRecord().contains("state=connected"), 15000);
        if (killedWhile == "disconnecting") {
            ::kill(pid_t(first->processId()), SIGINT);
            QTRY_VERIFY_WITH_TIMEOUT(lockRecord().contains("state=disconnecting"), 15000);
            QTRY_VERIFY_WITH_TIMEOUT(privilegedCommands().contains(" stop\n"), 15000);
        }
        const qint64 helper = helperPid();
        ::kill(pid_t(first->processId()), SIGKILL);
        QTRY_VERIFY_WITH_TIMEOUT(first->state() == QProcess::NotRunning, 15000);
        QVERIFY(SystemInfo::isProcessAlive(pid_t(helper)));
        const QByteArray left = lockRecord();
        QVERIFY2(left.contains("state=" + killedWhile + "\n"), left.constData());

        const QJsonObject tunnel = tunnelStatus();
        QCOMPARE(tunnel.value(QStringLiteral("state")).toString(), QString::fromLatin1(killedWhile));
        QCOMPARE(tunnel.value(QStringLiteral("leftBehind")).toBool(), true);
        QCOMPARE(tunnel.value(QStringLiteral("helperPid")).toInteger(), helper);
        QCOMPARE(lockRecord(), left); // status changed nothing
        const qsizetype commandsBefore = privilegedCommands().size();

        m_scenario = QStringLiteral("normal");
        m_stopDelay = QStringLiteral("0");
        if (next == QLatin1String("disconnect")) {
            const CliRun stopped = run({QStringLiteral("disconnect")});
            QCOMPARE(stopped.exitCode, 0);
            QCOMPARE(stopped.out, QStringLiteral("Disconnecting…\nDisconnected\n").toUtf8());
        } else {
            QProcess *second = start({QStringLiteral("connect")}, &owner);
            QByteArray out;
            QTRY_VERIFY_WITH_TIMEOUT((out += second->readAllStandardOutput()).contains("Connected\n"), 15000);
            const bool adopted = killedWhile == "connected";
            QCOMPARE(out, QByteArray(adopted ? "Connected\n" : "Connecting…\nConnected\n"));
            QCOMPARE(helperPid() == helper, adopted); // no second helper, or a new one after the old went
            QCOMPARE(ProcessIdentity::of(helper).has_value(), adopted); // a zombie until the first process reaps it
            QVERIFY(!privilegedCommands().mid(commandsBefore).contains("smart-cleanup"));
            ::kill(pid_t(second->processId()), SIGINT);
            QTRY_VERIFY_WITH_TIMEOUT(second->state() == QProcess::NotRunning, 15000);
            QCOMPARE(second->exitCode(), 0);
        }
        QTRY_VERIFY(!SystemInfo::isProcessAlive(pid_t(helper)));
        const QByteArray commands = privilegedCommands().mid(commandsBefore);
        if (killedWhile != "disconnecting") // the killed client had stopped it already
            QVERIFY2(commands.contains(" stop\n"), commands.constData());
        QVERIFY2(commands.contains(" routes 127.0.0.1\n"), commands.constData());
        QCOMPARE(commands.contains("smart-cleanup"), mode == QLatin1String("smart"));
        QCOMPARE(lockRecord(), QByteArray()); // let go
    }

    void disconnectIsHandedToTheAppThatHoldsTheTunnel()
    {
        // The app, as far as the client can tell: it holds the tunnel and listens on its channel.
        TunnelOwnership app(stateFile(QStringLiteral("tunnel.lock")), QStringLiteral("nimbrel"));
        TunnelOwnership::Refusal problem;
        std::shared_ptr<TunnelOwnership::Lease> lease = app.acquire(&problem);
        QVERIFY(lease);
        lease->setState(TunnelPhase::connected);
        InstanceChannel channel(InstanceChannel::socketPath(settingsFile()));
        QCOMPARE(channel.claim(), InstanceChannel::Role::Primary);
        QByteArrayList requests;
        channel.setHandler([&](const QByteArray &request) {
            requests.append(request);
            QTimer::singleShot(200, [&lease] { lease.reset(); }); // its clean-up ends a little later
            return QByteArray("disconnecting");
        });

        const CliRun refused = run({QStringLiteral("connect")});
        QCOMPARE(refused.exitCode, 1);
        QVERIFY(refused.err.contains("(nimbrel, pid "));

        const CliRun handed = run({QStringLiteral("disconnect")});
        QCOMPARE(handed.exitCode, 0);
        QCOMPARE(requests, QByteArrayList{"disconnect"});
        QCOMPARE(handed.out, QStringLiteral("Disconnecting…\nDisconnected\n").toUtf8());
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
