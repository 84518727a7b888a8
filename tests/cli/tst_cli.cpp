#include "DevService.h"
#include "TestEnvironment.h"
#include "app/AppViewModel.h"
#include "cli/CliCommandTable.h"
#include "i18n/LanguageManager.h"
#include "platform/InstanceChannel.h"
#include "platform/PreferenceStore.h"
#include "platform/SystemInfo.h"
#include "tunnel/TunnelOwnership.h"

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
#include <functional>

using namespace Qt::Literals::StringLiterals;

namespace {

struct CliRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QJsonObject json() const { return QJsonDocument::fromJson(out).object(); }
};

// What a row has in place before its command runs.
enum Setup : int {
    SignedIn = 1 << 0,
    ProbedNodes = 1 << 1,    // the list: Toronto 01 (id 11, its port refuses) and Singapore 01 (id 2, it answers)
    RefusedKey = 1 << 2,     // the helper starts, and its log says the start failed
    AppHoldsTunnel = 1 << 3, // the app holds the tunnel and listens on its channel
};

using RunCheck = std::function<void(const CliRun &)>;

// One run of the client: what is in place, what it is asked, and what it answers. Expected texts are
// looked for with a newline in front of the output, so one that starts with "\n" starts a line; "{dir}"
// stands for the test's folder.
struct Row {
    QStringList args{};
    int setup = 0;
    std::function<void()> prepare{}; // what else is in place, once signed in
    QList<QStringList> before{};     // commands run first, with the same standard input
    QByteArray input{};              // standard input
    int exit = 0;
    QByteArrayList out{};    // each on standard output; none and no check: standard output stays empty
    QByteArrayList err{};    // each on standard error
    QByteArrayList absent{}; // on neither
    QStringList stored{};    // "key=value" in the settings file; "key=": not there; "key": there
    RunCheck check{};        // what the output cannot show
};

} // namespace

Q_DECLARE_METATYPE(Row)

// The real nimbrel-cli process against the local service running in this test, with a preference file,
// the demo platform (so route deletions are recorded, not run) and a copy of the simulated helper.
class TestCli : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<DevService> m_service;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_scenario;
    QString m_delay;

    QString stateFile(const QString &name) const { return m_dir->filePath(name); }
    QString settingsFile() const { return stateFile(u"settings.conf"_s); }
    QString autostartFile() const { return stateFile(u"config/autostart/com.nimbrel.Nimbrel.desktop"_s); }
    QByteArray stateOf(const QString &name) const { return TestEnvironment::contentOf(stateFile(name)); }
    QByteArray privilegedCommands() const { return stateOf(u"privileged-commands.log"_s); }
    QByteArray lockRecord() const { return stateOf(u"tunnel.lock"_s); }
    qint64 helperPid() const { return QJsonDocument::fromJson(stateOf(u"helper.json"_s))["pid"].toInteger(-1); }
    QVariant stored(const QString &key) const { return QSettings(settingsFile(), QSettings::IniFormat).value(key); }

    QProcess *start(const QStringList &arguments, QObject *owner)
    {
        auto *cli = new QProcess(owner);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"NIMBREL_SIMHELPER_SCENARIO"_s, m_scenario);
        environment.insert(u"NIMBREL_SIMHELPER_DELAY_MS"_s, m_delay);
        environment.insert(u"NIMBREL_SIMHELPER_RECORD"_s, stateFile(u"helper.json"_s));
        environment.insert(u"NIMBREL_SIMHELPER_MAX_LIFE_MS"_s, u"20000"_s);
        environment.insert(u"XDG_CONFIG_HOME"_s, stateFile(u"config"_s)); // autostart
        cli->setProcessEnvironment(environment);
        // As a shell starts a job: the client leads a process group, which a terminal signals as one.
        cli->setChildProcessModifier([] { ::setpgid(0, 0); });
        const QString service = m_service->baseUrl().toString();
        cli->start(QStringLiteral(NIMBREL_CLI_BINARY),
                   QStringList{u"--settings"_s, settingsFile(), u"--api-base"_s, service, u"--demo"_s} + arguments);
        return cli;
    }

    // Runs the client to its end while this test's event loop serves its requests.
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
        return {cli->exitStatus() == QProcess::NormalExit ? cli->exitCode() : -1, cli->readAllStandardOutput(),
                cli->readAllStandardError()};
    }

    void signIn() { QCOMPARE(run({u"login"_s, u"demo@nimbrel.test"_s}, "nimbrel-demo\n").exitCode, 0); }

    QJsonObject tunnelStatus() { return run({u"status"_s, u"--json"_s}).json()["tunnel"].toObject(); }

    static QList<QJsonObject> jsonLines(const QByteArray &out)
    {
        QList<QJsonObject> lines;
        for (const QByteArray &line : out.trimmed().split('\n'))
            lines.append(QJsonDocument::fromJson(line).object());
        return lines;
    }

    // Programs read the state words of connect --json; people read the status beside each, in the chosen
    // language: the first, and the start's verdict after it.
    RunCheck saysStates(const QStringList &states, const QString &verdict)
    {
        return [this, states, verdict](const CliRun &connect) {
            const QList<QJsonObject> lines = jsonLines(connect.out);
            QStringList seen;
            for (const QJsonObject &line : lines)
                seen.append(line.value(u"state"_s).toString());
            QCOMPARE(seen, states);
            LanguageManager languages(PreferenceStore::openFile(settingsFile()));
            QCOMPARE(lines.at(0).value(u"status"_s).toString(), languages.localized(u"vpn_connecting"_s));
            QCOMPARE(lines.at(1).value(u"status"_s).toString(), languages.localized(verdict));
        };
    }

private slots:
    void initTestCase() { TestEnvironment::useTemporaryLanguageStore(); }

    void init()
    {
        m_service = std::make_unique<DevService>(DevService::Options{});
        QVERIFY(m_service->listen());
        m_dir = std::make_unique<QTemporaryDir>();
        m_scenario = u"normal"_s;
        m_delay = u"40"_s;
        QVERIFY(QFile::copy(QStringLiteral(NIMBREL_SIMHELPER_BINARY), stateFile(u"nimbrel-macos"_s)));
        QSettings(settingsFile(), QSettings::IniFormat).setValue(u"nimbrelBinaryPath"_s, stateFile(u"nimbrel-macos"_s));
    }

    void commandsExitAndSay_data()
    {
        QTest::addColumn<Row>("row");
        const auto add = [](const QString &name, const Row &row) { QTest::newRow(qPrintable(name)) << row; };
        // Usage errors: exit status 2, one line on standard error and nothing else.
        for (const char *line : {"", "fly", "status --bogus", "select", "select two", "status now", "mode Smart",
                                 "language de", "ping --refresh", "ping 1 --all", "login", "login demo@nimbrel.test",
                                 "--api-base ftp://example.org/ status", "connect 1 --fastest", "config bogus on",
                                 "config launchAtLogin maybe"})
            add(u"usage: "_s + QLatin1String(line),
                {.args = QString::fromLatin1(line).split(u' ', Qt::SkipEmptyParts), .exit = 2});
        // Help for the client and for each command, from the one table the parser uses.
        Row overview{.args = {"-h"}};
        for (const CliCommandTable::Command &command : CliCommandTable::commands()) {
            overview.out.append("  " + command.synopsis.toUtf8());
            const QByteArrayList help{"\nUsage: nimbrel-cli " + command.synopsis.toUtf8() + "\n",
                                      "\nExamples:\n  nimbrel-cli " + command.name.toUtf8()};
            add(u"help "_s + command.name, {.args = {"help", command.name}, .out = help});
            add(command.name + u" --help"_s, {.args = {command.name, "--help"}, .out = help});
        }
        add("help", overview);

        // clang-format off
        add("usage: help for no command", {.args = {"help", "fly"}, .exit = 2,
            .err = {"\nnimbrel-cli: unknown command \"fly\" (try --help)\n"}});
        add("version", {.args = {"-V"}, .out = {"\nnimbrel-cli " NIMBREL_VERSION "\n"}});

        // The account: the password on standard input, the session in the app's own file.
        add("login, wrong password", {.args = {"login", "demo@nimbrel.test"}, .input = "not-the-password\n",
            .exit = 1, .err = {"\nnimbrel-cli: Invalid e-mail or password\n"}, .stored = {"auth.accessToken="}});
        add("login", {.args = {"login", " demo@nimbrel.test ", "--json"}, .input = "nimbrel-demo\n",
            .out = {R"("email":"demo@nimbrel.test")"}, .stored = {"auth.accessToken"}});
        add("status", {.args = {"status", "--json"}, .setup = SignedIn,
            .out = {R"("email":"demo@nimbrel.test")", R"("language":"en")", R"("routingMode":"safe")",
                    R"("signedIn":true)", "\"subscription\":{\"active\":true,\"expiresAt\":\"20",
                    R"("status":"ACTIVE"})", R"("tunnel":{"state":"disconnected")",
                    R"("id":1,"loadPercent":23,"name":"Tokyo 01")"}}); // the first online node
        add("signed out", {.args = {"nodes"}, .exit = 1,
            .err = {"\nnimbrel-cli: not signed in (nimbrel-cli login EMAIL)\n"}});
        add("register, short password", {.args = {"register", "new@nimbrel.test"}, .input = "short\n", .exit = 2,
            .err = {"at least 8 characters"}});
        add("register, the nickname as typed", {.args = {"register", "new@nimbrel.test", "--nickname", " Neo ",
            "--json"}, .input = "long-enough\n", .out = {R"("nickname":" Neo ")"}});
        add("register, taken", {.args = {"register", "new@nimbrel.test"}, .before = {{"register", "new@nimbrel.test"}},
            .input = "long-enough\n", .exit = 1, .err = {"\nnimbrel-cli: This e-mail address is already registered"}});

        // The node list, and probes run in parallel whose results the list remembers: a number, or for a
        // timed-out or refused probe null with "timeout" set.
        add("nodes", {.args = {"nodes"}, .setup = SignedIn,
            .out = {"\n    ID  STATUS    LOAD  LATENCY  NODE\n*    1  ONLINE     23%        -  🇯🇵 Tokyo 01\n",
                    "\n    12  "}});
        add("nodes --json", {.args = {"nodes", "--json"}, .setup = SignedIn, .out = {R"({"nodes":[)"},
            .check = [this](const CliRun &run) { // every node as the service has it, and never probed
                const QJsonArray listed = run.json()["nodes"].toArray();
                QCOMPARE(listed.size(), m_service->nodes().size());
                for (qsizetype i = 0; i < listed.size(); ++i) {
                    const QJsonObject entry = listed.at(i).toObject();
                    const NodeInfo node = m_service->nodes().at(i);
                    QCOMPARE((QVariantList{entry["id"].toInteger(), entry["name"].toString(),
                                           entry["countryCode"].toString(), entry["flagEmoji"].toString(),
                                           entry["host"].toString(), entry["port"].toInteger(),
                                           entry["status"].toString(), entry["loadPercent"].toInteger()}),
                             (QVariantList{node.id, node.name, node.countryCode, node.flagEmoji, node.host, node.port,
                                           node.status, node.loadPercent}));
                    QVERIFY(entry["latencyMs"].isNull() && entry["timeout"] == false);
                }
            }});
        add("nodes after a ping", {.args = {"nodes", "--json"}, .setup = SignedIn | ProbedNodes,
            .before = {{"ping", "--all"}},
            .out = {R"("id":11,"latencyMs":null,)", R"("timeout":true)", R"("id":2,"latencyMs":)"},
            .absent = {R"("id":2,"latencyMs":null)"}});
        add("ping --pick", {.args = {"ping", "--all", "--pick", "--json"}, .setup = SignedIn | ProbedNodes,
            .out = {R"({"id":11,"latencyMs":null,"name":"Toronto 01","timeout":true})", R"({"id":2,"latencyMs":)",
                    R"("name":"Singapore 01","timeout":false})", R"({"selectedNode":{)",
                    R"("id":2,"loadPercent":41,"name":"Singapore 01")"},
            .absent = {R"("id":2,"latencyMs":null)"}, .stored = {"selectedNodeId=2"}});
        // A name from the service that would retitle the terminal, fake a prompt, reverse the line and clear
        // the screen (C1 CSI) shows each of those as U+FFFD.
        add("ping --pick, none reachable", {.args = {"ping", "11", "--pick"}, .setup = SignedIn | ProbedNodes,
            .prepare = [this] { QList<NodeInfo> probed = m_service->nodes(); probed[0].name =
                u"Toronto\x1b]0;owned\x07 01\r$ \u202Eexe.png\x9b" "2J"_s; m_service->setNodes(probed); }, .exit = 1,
            .out = {"Timeout  🇨🇦 Toronto\xef\xbf\xbd]0;owned\xef\xbf\xbd 01\xef\xbf\xbd$ \xef\xbf\xbd" "exe.png\xef\xbf\xbd" "2J\n"},
            .err = {"\nnimbrel-cli: No reachable node\n"}});
        add("ping, no such node", {.args = {"ping", "7"}, .setup = SignedIn | ProbedNodes, .exit = 1,
            .err = {"\nnimbrel-cli: no node with id 7\n"}});

        // Selection, mode and language persist in the app's file; texts come in the chosen language.
        add("mode", {.args = {"mode", "smart"}, .setup = SignedIn, .out = {"\nRouting mode: smart\n"},
            .stored = {"routingMode=smart"}});
        add("language", {.args = {"language", "zh-CN"}, .setup = SignedIn, .out = {"\n语言：简体中文\n"},
            .stored = {"appLanguage=zh-CN"}});
        add("status after select and mode", {.args = {"status", "--json"}, .setup = SignedIn,
            .before = {{"select", "2"}, {"mode", "smart"}},
            .out = {R"("routingMode":"smart")", R"("id":2,"loadPercent":41,"name":"Singapore 01")"},
            .stored = {"selectedNodeId=2", "routingMode=smart"}});
        add("status in Chinese", {.args = {"status"}, .setup = SignedIn, .before = {{"language", "zh-CN"}},
            .out = {"已订阅", "账号:", "路由模式:", "隧道:", "未连接"}, .absent = {"Routing mode"}});
        add("logout, in Chinese", {.args = {"logout"}, .setup = SignedIn, .before = {{"language", "zh-CN"}},
            .out = {"\n已退出登录\n"}, .stored = {"auth.accessToken="}});

        // The switches are off until turned on; "Start at login" is an autostart entry, gone when off.
        add("config", {.args = {"config", "--json"},
            .out = {"\n{\"autoReconnect\":false,\"connectOnLaunch\":false,\"launchAtLogin\":false}\n"},
            .check = [this](const CliRun &) { QVERIFY(!QFile::exists(autostartFile())); }});
        add("launchAtLogin on", {.args = {"config", "launchAtLogin"}, .before = {{"config", "launchAtLogin", "on"}},
            .out = {"\nlaunchAtLogin    on"},
            .check = [this](const CliRun &) { // a valid autostart entry that starts the app in the tray
                QVERIFY(TestEnvironment::contentOf(autostartFile()).contains("/nimbrel\" --tray\n"));
                QProcess validate;
                validate.start(u"desktop-file-validate"_s, {autostartFile()});
                QVERIFY2(validate.waitForFinished(10000) && validate.exitCode() == 0, validate.readAll().constData());
            }});
        add("launchAtLogin off", {.args = {"config", "launchAtLogin", "off"},
            .before = {{"config", "launchAtLogin", "on"}}, .out = {"\nlaunchAtLogin    off"},
            .check = [this](const CliRun &) { QVERIFY(!QFile::exists(autostartFile())); }});
        add("autoReconnect and connectOnLaunch on", {.args = {"config", "autoReconnect", "on"},
            .before = {{"config", "connectOnLaunch", "on"}}, .out = {"\nautoReconnect    on"},
            .stored = {"autoReconnect=true", "connectOnLaunch=true"}});

        // The support report says what a helper needs and no secret: every one planted in every source
        // (the preference file, the node list's key, the helper's log) comes out as "[redacted]".
        add("report", {.args = {"report"}, .setup = SignedIn,
            .prepare = [this] {
                QByteArray log = "line 1 of the helper, too old to be shown\n";
                for (int i = 2; i < 200; ++i)
                    log += "handshake step " + QByteArray::number(i) + '\n';
                log += "GET /api/nodes Authorization: Bearer " + stored(u"auth.accessToken"_s).toByteArray()
                       + "\nrefresh " + stored(u"auth.refreshToken"_s).toByteArray() + " psk="
                       + m_service->psk().toUtf8() + " for demo@nimbrel.test\n"
                       + "password: nimbrel-demo key=Zq7fK2pX9vLm4Rt8Yw3Hb6Nc1Ds5Ge0Ju\nVPN started, last line\n";
                QVERIFY(TestEnvironment::writeFile(stateFile(u"fw.log"_s), log));
            },
            .out = {"\nProgram: nimbrel-cli " NIMBREL_VERSION " (Qt ", "\nHelper: {dir}/nimbrel-macos (",
                    "\nTunnel: Disconnected\n", "\nPrivileges: not installed", "\n  handshake step 199\n",
                    "\n  VPN started, last line\n", "[redacted]"},
            .absent = {"too old to be shown" /* the last 200 lines only */, "demo@nimbrel.test", "nimbrel-demo",
                       "Zq7fK2pX9vLm4Rt8Yw3Hb6Nc1Ds5Ge0Ju"},
            .check = [this](const CliRun &report) {
                for (const QString &secret : {stored(u"auth.accessToken"_s).toString(),
                                              stored(u"auth.refreshToken"_s).toString(), m_service->psk()})
                    QVERIFY(!secret.isEmpty() && !report.out.contains(secret.toUtf8()));
            }});
        add("report, rights installed", {.args = {"report"}, .setup = SignedIn | RefusedKey, .before = {{"connect"}},
            .out = {"\nPrivileges: installed ("}});

        // Connects that end by themselves: exit status 1, every step said, the helper stopped.
        add("connect, key refused", {.args = {"connect"}, .setup = SignedIn | RefusedKey, .exit = 1,
            .out = {"\nConnecting…\nConnection failed, check server and PSK\nDisconnecting…\nDisconnected\n"},
            .check = [this](const CliRun &) {
                QVERIFY(helperPid() > 0 && !SystemInfo::isProcessAlive(pid_t(helperPid())));
            }});
        // Without a helper: the status as the tables have it (once), then every place looked in, in order.
        add("connect, no helper", {.args = {"connect", "--json"}, .setup = SignedIn, .prepare = [this] {
                QSettings(settingsFile(), QSettings::IniFormat)
                    .setValue(u"nimbrelBinaryPath"_s, stateFile(u"gone/nimbrel-macos"_s));
            }, .exit = 1, .out = {R"("status":"nimbrel-macos binary not found")"},
            .err = {"\nnimbrel-cli: nimbrel-macos binary not found\n"
                    "nimbrel-cli: looked for it, in this order, in: {dir}/gone/nimbrel-macos, ",
                    ", /usr/local/bin/nimbrel-macos"}});
        // A clean-up script an earlier smart tunnel left is cleaned up at the client's start; the client's
        // own clean-up never makes it refuse its own connect.
        add("connect, a clean-up script left behind", {.args = {"connect"}, .setup = SignedIn | RefusedKey,
            .prepare = [this] {
                QVERIFY(TestEnvironment::writeFile(stateFile(u"fw_smart_cleanup.sh"_s), "#!/bin/sh\nexit 0\n",
                                                   QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
            }, .exit = 1, .out = {"\nConnecting…\nConnection failed"}, .absent = {"Tunnel in use"}});
        // --fastest probes the nodes and connects to the quickest reachable one, or fails at once.
        add("connect --fastest", {.args = {"connect", "--fastest"}, .setup = SignedIn | ProbedNodes | RefusedKey,
            .exit = 1, .out = {"\nSelected 🇸🇬 Singapore 01 (id 2)\nConnecting…\n"}, .stored = {"selectedNodeId=2"},
            .check = [this](const CliRun &) {
                const QByteArray open = "127.0.0.1:" + QByteArray::number(m_service->nodes().at(1).port);
                QVERIFY(stateOf(u"helper.json"_s).contains(open));
            }});
        add("connect --fastest, none reachable", {.args = {"connect", "--fastest"}, .setup = SignedIn | ProbedNodes,
            .prepare = [this] { m_service->setNodes({m_service->nodes().first()}); }, .exit = 1,
            .err = {"\nnimbrel-cli: No reachable node\n"},
            .check = [this](const CliRun &) { QVERIFY(!QFile::exists(stateFile(u"helper.json"_s))); }});
        for (const char *language : {"en", "zh-CN", "zh-TW", "ru"})
            add(u"connect --json in %1, key refused"_s.arg(QLatin1String(language)), {.args = {"connect", "--json"},
                .setup = SignedIn | RefusedKey, .before = {{"language", language}}, .exit = 1,
                .check = saysStates({"connecting", "failed", "disconnecting", "disconnected"}, "connect_failed")});
        add("connect --json in ru, helper gone once up", {.args = {"connect", "--json"}, .setup = SignedIn,
            .prepare = [this] { // the marker after the first check, the helper's end well after it
                m_scenario = u"die-later"_s;
                m_delay = u"1200"_s;
            }, .before = {{"language", "ru"}}, .exit = 1,
            .check = saysStates({"connecting", "connected", "lost", "disconnecting", "disconnected"},
                                "vpn_connected")});

        // The app holds the tunnel: a connect is refused, a disconnect is handed to it over its channel.
        add("connect while the app holds the tunnel", {.args = {"connect"}, .setup = AppHoldsTunnel, .exit = 1,
            .err = {"(nimbrel, pid "}});
        add("disconnect, handed to the app", {.args = {"disconnect"}, .setup = AppHoldsTunnel,
            .out = {"\nDisconnecting…\nDisconnected\n"}});
        // clang-format on
    }

    void commandsExitAndSay()
    {
        QFETCH(Row, row);
        if (row.setup & ProbedNodes)
            m_service->setNodes({m_service->nodes().at(10), m_service->nodes().at(1)});
        if (row.setup & SignedIn)
            signIn();
        if (row.setup & RefusedKey)
            m_scenario = u"error"_s;
        if (row.prepare)
            row.prepare();
        // The app, as far as the client can tell: it holds the tunnel and listens on its channel.
        TunnelOwnership app(stateFile(u"tunnel.lock"_s), u"nimbrel"_s);
        TunnelOwnership::Refusal problem;
        std::shared_ptr<TunnelOwnership::Lease> lease;
        InstanceChannel channel(InstanceChannel::socketPath(settingsFile()));
        QByteArrayList requests; // what the app was asked over its channel
        if (row.setup & AppHoldsTunnel) {
            lease = app.acquire(&problem);
            QVERIFY(lease);
            lease->setState(TunnelPhase::connected);
            QCOMPARE(channel.claim(), InstanceChannel::Role::Primary);
            channel.setHandler([&](const QByteArray &request) {
                requests.append(request);
                QTimer::singleShot(200, &channel, [&lease] { lease.reset(); }); // its clean-up ends a little later
                return QByteArray("disconnecting");
            });
        }

        for (const QStringList &command : row.before)
            run(command, row.input);
        const CliRun result = run(row.args, row.input);
        const QByteArray out = '\n' + result.out;
        const QByteArray err = '\n' + result.err;
        const QByteArray both = out + "\n---" + err;
        QVERIFY2(result.exitCode == row.exit, both.constData());
        // Every error is a whole line of its own, a usage error is only that, and JSON is one camelCase
        // document a line, each once.
        QVERIFY2(err.count('\n') == err.count("\nnimbrel-cli: ") + 1, both.constData());
        QVERIFY2(row.exit != 0 || result.err.isEmpty(), both.constData());
        QVERIFY2(row.exit != 2 || (result.out.isEmpty() && result.err.count('\n') == 1), both.constData());
        static const QRegularExpression keyNotCamelCase(u"[{,]\"(?![a-z][A-Za-z0-9]*\")[^\"]*\":"_s);
        for (const QByteArray &line :
             row.args.contains(u"--json"_s) ? result.out.trimmed().split('\n') : QByteArrayList())
            QVERIFY2(QJsonDocument::fromJson(line).isObject() && !QString::fromUtf8(line).contains(keyNotCamelCase)
                         && result.out.count(line + '\n') == 1, // nothing said twice
                     line.constData());

        QVERIFY2(!row.out.isEmpty() || row.check || result.out.isEmpty(), both.constData());
        for (const auto &[shown, expected] : {std::pair{out, row.out}, std::pair{err, row.err}}) {
            for (QByteArray text : expected)
                QVERIFY2(shown.contains(text.replace("{dir}", QFile::encodeName(m_dir->path()))),
                         (text + "\n---" + both).constData());
        }
        for (const QByteArray &text : row.absent)
            QVERIFY2(!both.contains(text), (text + "\n---" + both).constData());
        for (const QString &entry : row.stored) {
            const QVariant value = stored(entry.section(u'=', 0, 0));
            QVERIFY2(entry.contains(u'=') ? value.toString() == entry.section(u'=', 1) : value.isValid(),
                     qPrintable(entry));
        }
        if (row.setup & AppHoldsTunnel)
            QCOMPARE(requests, row.args == QStringList{"disconnect"} ? QByteArrayList{"disconnect"} : QByteArrayList{});
        if (row.check)
            row.check(result);
    }

    // The completions offer commands, options and the node ids the last "nodes" listed, without a request
    // to the service; each loads in its shell.
    void completionsOfferCommandsOptionsAndTheListedNodes()
    {
        signIn();
        QCOMPARE(run({u"nodes"_s}).exitCode, 0);
        const int requests = m_service->requestCount(u"/api/nodes"_s);
        QStringList ids;
        for (const NodeInfo &node : m_service->nodes())
            ids.append(QString::number(node.id));
        for (const auto &[line, offered] :
             {std::pair{u"ping"_s, ids + QStringList{"--all"}}, std::pair{u"mode"_s, QStringList{"safe", "smart"}},
              std::pair{QString(), QStringList{"connect", "--json"}}}) {
            QProcess bash;
            const QString script =
                u"PATH=%1:$PATH && source %2 && complete -p nimbrel-cli >/dev/null && "
                "COMP_WORDS=(nimbrel-cli --settings %3 %4 '') && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) "
                "&& _nimbrel_cli && echo \"${COMPREPLY[*]}\""_s;
            bash.start(u"bash"_s, {u"-c"_s, script.arg(QFileInfo(QStringLiteral(NIMBREL_CLI_BINARY)).absolutePath(),
                                                       QStringLiteral(NIMBREL_DOCS_DIR "/nimbrel-cli.bash"),
                                                       settingsFile(), line)});
            QVERIFY2(bash.waitForFinished(10000) && bash.exitCode() == 0, bash.readAllStandardError().constData());
            const QStringList words = QString::fromUtf8(bash.readAllStandardOutput()).trimmed().split(u' ');
            for (const QString &word : offered)
                QVERIFY2(words.contains(word), qPrintable(words.join(u' ')));
        }
        QCOMPARE(m_service->requestCount(u"/api/nodes"_s), requests);
        for (const QStringList &check : {QStringList{"zsh", "-n", NIMBREL_DOCS_DIR "/_nimbrel-cli"},
                                         QStringList{"fish", "--no-execute", NIMBREL_DOCS_DIR "/nimbrel-cli.fish"}}) {
            QProcess shell;
            shell.start(check.first(), check.mid(1));
            QVERIFY2(shell.waitForFinished(10000) && shell.exitCode() == 0, qPrintable(check.join(u' ')));
        }
    }

    // A connect runs until stopped, then leaves nothing behind: by Ctrl-C or a closed terminal (they signal
    // the foreground process group: the client, never the helper, which has a session of its own and is
    // stopped in order), by a disconnect in another terminal (which waits for the client's clean-up), or by
    // the app's Disconnect (the app shows the client's tunnel within a second; the client ends it without a
    // reconnect). A client killed outright leaves its helper and record: status only reports them, the next
    // connect adopts the tunnel as it is (no second helper, no smart clean-up under it), a disconnect stops
    // it. The tunnel is one client's alone, and status --follow prints each change whole until interrupted.
    void aConnectRunsUntilStoppedAndLeavesNothingBehind_data()
    {
        QTest::addColumn<QByteArray>("stoppedBy");
        QTest::newRow("Ctrl-C") << QByteArray("SIGINT");
        QTest::newRow("terminal closed") << QByteArray("SIGHUP");
        QTest::newRow("Ctrl-C while reconnecting") << QByteArray("SIGINT, reconnecting");
        QTest::newRow("disconnect in another terminal") << QByteArray("disconnect");
        QTest::newRow("the app's Disconnect") << QByteArray("app");
        QTest::newRow("killed, then taken over by a connect") << QByteArray("killed, connect");
        QTest::newRow("killed, then taken over by a disconnect") << QByteArray("killed, disconnect");
    }
    void aConnectRunsUntilStoppedAndLeavesNothingBehind()
    {
        QFETCH(QByteArray, stoppedBy);
        const bool lostFirst = stoppedBy.endsWith("reconnecting"); // autoReconnect on, the helper ends once up
        const bool killed = stoppedBy.startsWith("killed");
        signIn();
        if (lostFirst || stoppedBy == "app")
            QCOMPARE(run({u"config"_s, u"autoReconnect"_s, u"on"_s}).exitCode, 0);
        if (killed)
            QCOMPARE(run({u"mode"_s, u"smart"_s}).exitCode, 0);
        QObject owner;
        QProcess *follow = start({u"status"_s, u"--follow"_s, u"--json"_s}, &owner);
        QByteArray followed;
        // The tunnel's state word of each line followed, each a whole status document unlike the one before.
        const auto states = [&] {
            followed += follow->readAllStandardOutput();
            QStringList seen;
            QJsonObject before;
            for (const QJsonObject &line : jsonLines(followed)) {
                if (!line.contains(u"signedIn"_s) || line.value(u"tunnel"_s) == before)
                    return QStringList{u"a line that is no status document, or no change"_s};
                before = line.value(u"tunnel"_s).toObject();
                seen.append(before.value(u"state"_s).toString());
            }
            return seen;
        };
        QTRY_COMPARE_WITH_TIMEOUT(states(), QStringList{u"disconnected"_s}, 15000);

        QProcess *cli = start({u"connect"_s}, &owner);
        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += cli->readAllStandardOutput()).contains("Connected\n"), 15000);
        const CliRun second = run({u"connect"_s});
        QCOMPARE(second.exitCode, 1);
        QCOMPARE(second.err, "nimbrel-cli: Tunnel in use by another Nimbrel process (nimbrel-cli, pid " +
                                 QByteArray::number(cli->processId()) + ")\n");
        QJsonObject tunnel = tunnelStatus();
        QCOMPARE(tunnel.value(u"state"_s).toString(), u"connected"_s);
        QCOMPARE(tunnel.value(u"pid"_s).toInteger(), cli->processId());
        const QDateTime since = QDateTime::fromString(tunnel.value(u"connectedSince"_s).toString(), Qt::ISODate);
        QVERIFY(qAbs(since.secsTo(QDateTime::currentDateTimeUtc())) < 60);
        const QJsonObject node = tunnel.value(u"node"_s).toObject();
        QVERIFY(node.value(u"id"_s).toInteger() > 0 && !node.value(u"name"_s).toString().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(states().contains(u"connected"_s), 15000);
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

        if (killed) {
            const QByteArray record = lockRecord();
            ::kill(pid_t(cli->processId()), SIGKILL);
            QTRY_VERIFY_WITH_TIMEOUT(cli->state() == QProcess::NotRunning, 15000);
            tunnel = tunnelStatus();
            QCOMPARE(tunnel.value(u"helperPid"_s).toInteger(), helper);
            QVERIFY(tunnel.value(u"state"_s) == u"connected"_s && tunnel.value(u"leftBehind"_s).toBool());
            QVERIFY(record.contains("state=connected\n") && record.contains("\nhelper=" + QByteArray::number(helper)));
            QCOMPARE(lockRecord(), record); // status changed nothing
            QVERIFY(SystemInfo::isProcessAlive(pid_t(helper)));
        }
        TestEnvironment env;
        std::unique_ptr<AppViewModel> app;
        if (stoppedBy == "killed, connect") {
            cli = start({u"connect"_s}, &owner);
            out.clear();
            expected = "Connected\n";
            QTRY_VERIFY_WITH_TIMEOUT((out += cli->readAllStandardOutput()).contains("Connected\n"), 15000);
            QVERIFY(helperPid() == helper && !privilegedCommands().contains("smart-cleanup"));
            ::kill(-pid_t(cli->processId()), SIGINT);
        } else if (stoppedBy.endsWith("disconnect")) {
            const CliRun stopped = run({u"disconnect"_s});
            QVERIFY2(stopped.exitCode == 0 && stopped.out == "Disconnecting…\nDisconnected\n", stopped.out.constData());
        } else if (stoppedBy == "app") {
            env.tunnelPaths.ownerLock = stateFile(u"tunnel.lock"_s);
            AppEnvironment environment = env.environment();
            environment.intervals.otherHolderLook = std::chrono::milliseconds(100);
            app = std::make_unique<AppViewModel>(environment);
            app->watchOtherProcesses();
            QTRY_VERIFY_WITH_TIMEOUT(app->isConnected(), 1000);
            QCOMPARE(app->vpnStatus(), u"Connected in a terminal (nimbrel-cli, pid %1)"_s.arg(cli->processId()));
            QCOMPARE(app->vpnPhase(), TunnelPhase::connected);
            QCOMPARE(app->shownNode()->id, node.value(u"id"_s).toInteger());
            QCOMPARE(app->upSince(), since);
            QVERIFY(!app->tunnel().state().isActive()); // shown, not ours to stop on quit
            app->vpnDisconnect();
        } else {
            ::kill(-pid_t(cli->processId()), stoppedBy == "SIGHUP" ? SIGHUP : SIGINT);
        }
        QTRY_VERIFY_WITH_TIMEOUT(cli->state() == QProcess::NotRunning, 15000);
        if (stoppedBy != "killed, disconnect") {
            QCOMPARE(cli->exitCode(), 0);
            QCOMPARE(out + cli->readAllStandardOutput(), expected + "Disconnecting…\nDisconnected\n");
        }
        QTRY_VERIFY(!SystemInfo::isProcessAlive(pid_t(helper))); // one a killed client started is reaped later
        // The control program is asked to stop whatever it runs for us (after a loss: nothing), and the
        // routes go all the same; the smart-mode clean-up only after a smart tunnel.
        const QByteArray commands = privilegedCommands();
        QVERIFY2(commands.contains(" stop\n") && commands.contains(" routes 127.0.0.1\n"), commands.constData());
        QCOMPARE(commands.contains("smart-cleanup"), killed);
        QVERIFY(!QFile::exists(stateFile(u"tunnel.lock"_s))); // nothing left in anybody's way
        if (app) {
            QTRY_COMPARE_WITH_TIMEOUT(app->tunnel().state().cause().reason, TunnelReason::disconnected, 2000);
            QVERIFY(!app->isConnected());
            QVERIFY(!app->tunnel().state().node()); // the card names the selection again
        }
        QTRY_COMPARE_WITH_TIMEOUT(states().last(), u"disconnected"_s, 15000);
        QVERIFY(states().first() == u"disconnected"_s && states().size() >= 3);
        ::kill(-pid_t(follow->processId()), SIGINT);
        QTRY_VERIFY_WITH_TIMEOUT(follow->state() == QProcess::NotRunning, 15000);
        QVERIFY(follow->exitStatus() == QProcess::NormalExit && follow->exitCode() == 0);
    }
};

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
