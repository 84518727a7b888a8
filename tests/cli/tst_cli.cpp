#include "CliFixture.h"

// The client's commands apart from the node list (tst_clinodes): help and usage, the account, the
// settings, the report, and the tunnel.
class TestCli : public CliFixture {
    Q_OBJECT

private slots:
    void initTestCase() { TestEnvironment::useTemporaryLanguageStore(); }
    void init() { setUp(); }

    void commandsExitAndSay_data()
    {
        QTest::addColumn<Row>("row");
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
        add("usage: a command mistyped", {.args = {"conect"}, .exit = 2,
            .err = {"\nnimbrel-cli: unknown command \"conect\" (did you mean \"connect\"?)\n"}});
        add("version", {.args = {"-V"}, .out = {"\nnimbrel-cli " NIMBREL_VERSION "\n"}});

        // The account: the password on standard input, the session in the app's own file.
        add("login, wrong password", {.args = {"login", "demo@nimbrel.test"}, .input = "not-the-password\n",
            .exit = 1, .err = {"\nnimbrel-cli: Invalid e-mail or password\n"}, .stored = {"auth.accessToken="}});
        add("login", {.args = {"login", " demo@nimbrel.test "}, .input = "nimbrel-demo\n",
            .out = {"\nSigned in as demo@nimbrel.test (Demo)\nAccount:"}, .stored = {"auth.accessToken"}});
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
        add("autoReconnect and connectOnLaunch on, keys in any case", {.args = {"config", "AutoReconnect", "on"},
            .before = {{"config", "CONNECTONLAUNCH", "on"}}, .out = {"\nautoReconnect    on"},
            .stored = {"autoReconnect=true", "connectOnLaunch=true"}});

        // The support report says what a helper needs and no secret: every one planted in every source
        // (the preference file, the node list's key, the helper's log) comes out as "[redacted]". A "%1" in a
        // node's name stays as it is.
        add("report", {.args = {"report"}, .setup = SignedIn,
            .prepare = [this] {
                renameFirstNode(u"%1 Tokyo"_s);
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
                    "\nNode: %1 Tokyo (id 1); routing mode: safe\n",
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

        // Connects that end by themselves: exit status 1, every step said, the helper stopped. A name (not all
        // digits) that finds one node selects it (tst_clinodes: none or several found).
        add("connect NAME, key refused", {.args = {"connect", "singapore"}, .setup = SignedIn | RefusedKey, .exit = 1,
            .out = {"\nSelected 🇸🇬 Singapore 01 (id 2)\nConnecting…\nConnection failed, check server and PSK\n"
                    "Disconnecting…\nDisconnected\n"}, .stored = {"selectedNodeId=2"},
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
        // own clean-up never makes it refuse its own connect. Digits are an id, though every name holds "01".
        add("connect 01, a clean-up script left behind", {.args = {"connect", "01"}, .setup = SignedIn | RefusedKey,
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
        // Status names the app's tunnel, its node and since when; a "%1" in the name stays as it is.
        add("status while the app runs a tunnel", {.args = {"status"}, .setup = SignedIn | AppHoldsTunnel,
            .prepare = [this] { renameFirstNode(u"%1 Tokyo"_s); },
            .out = {"\nNode:          🇯🇵 %1 Tokyo (id 1)\n", "\nRunning:       %1 Tokyo (id 1) · "}});
        // clang-format on
    }

    void commandsExitAndSay() { checkRow(); }

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
