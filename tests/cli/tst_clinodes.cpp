#include "CliFixture.h"

// The node list through the client: listing and searching it, probing nodes, choosing one by its name.
class TestCliNodes : public CliFixture {
    Q_OBJECT

private slots:
    void initTestCase() { TestEnvironment::useTemporaryLanguageStore(); }
    void init() { setUp(); }

    void nodeCommandsExitAndSay_data()
    {
        QTest::addColumn<Row>("row");
        // clang-format off
        // The node list, and probes run in parallel whose results the list remembers: a number, or for a
        // timed-out or refused probe null with "timeout" set.
        add("nodes", {.args = {"nodes"}, .setup = SignedIn,
            .out = {"\n    ID  STATUS    LOAD  LATENCY  NODE\n*    1  ONLINE     23%        -  🇯🇵 Tokyo 01\n",
                    "\n    12  "}});
        // A filter finds as the window's search does: a name or a country's name whatever the case and the
        // accents of Latin letters, or a country code; finding none is an answer, not a failure.
        add("nodes, a filter", {.args = {"nodes", " SAO "}, .setup = SignedIn,
            .out = {"\n    ID  STATUS    LOAD  LATENCY  NODE\n    12  ONLINE     30%        -  🇧🇷 São Paulo 01\n"}});
        add("nodes --json, a country code", {.args = {"nodes", "jp", "--json"}, .setup = SignedIn,
            .out = {R"({"nodes":[{"countryCode":"JP",)"}, .absent = {"},{"}});
        add("nodes, none found", {.args = {"nodes", "atlantis"}, .setup = SignedIn,
            .out = {"\nNo nodes match \"atlantis\"\n"}});
        // Without a subscription: where to subscribe, without the token the app's own button sends.
        add("nodes, not subscribed", {.args = {"nodes", "--web-site", "https://shop.example.org/"},
            .before = {{"login", "free@nimbrel.test"}}, .input = "nimbrel-free\n", .exit = 1,
            .err = {"\nnimbrel-cli: Subscribe to use nodes: https://shop.example.org/en\n"}});
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
        // --all: one table once every probe has ended, the fastest first and timeouts last, whatever the
        // order of the list (Toronto first) or of the answers.
        add("ping --all", {.args = {"ping", "--all"}, .setup = SignedIn | ProbedNodes,
            .out = {"\n  ID   LATENCY  NODE\n   2  ", " ms  🇸🇬 Singapore 01\n  11   Timeout  🇨🇦 Toronto 01\n"}});
        add("ping --pick", {.args = {"ping", "--all", "--pick", "--json"}, .setup = SignedIn | ProbedNodes,
            .out = {R"({"id":11,"latencyMs":null,"name":"Toronto 01","timeout":true})", R"({"id":2,"latencyMs":)",
                    R"("name":"Singapore 01","timeout":false})", R"({"selectedNode":{)",
                    R"("id":2,"loadPercent":41,"name":"Singapore 01")"},
            .absent = {R"("id":2,"latencyMs":null)"}, .stored = {"selectedNodeId=2"}});
        // A name from the service that would retitle the terminal, fake a prompt, reverse the line and clear
        // the screen (C1 CSI) shows each of those as U+FFFD.
        add("ping --pick, none reachable", {.args = {"ping", "11", "--pick"}, .setup = SignedIn | ProbedNodes,
            .prepare = [this] { renameFirstNode(u"Toronto\x1b]0;owned\x07 01\r$ \u202Eexe.png\x9b" "2J"_s); },
            .exit = 1,
            .out = {"Timeout  🇨🇦 Toronto\xef\xbf\xbd]0;owned\xef\xbf\xbd 01\xef\xbf\xbd$ \xef\xbf\xbd" "exe.png\xef\xbf\xbd" "2J\n"},
            .err = {"\nnimbrel-cli: No reachable node\n"}});
        add("ping, no such node", {.args = {"ping", "7"}, .setup = SignedIn | ProbedNodes, .exit = 1,
            .err = {"\nnimbrel-cli: no node with id 7\n"}});

        // Connect by name: text that is not all digits must find one node (tst_cli connects to one found);
        // several found are listed as nodes lists them.
        add("connect, several found", {.args = {"connect", "United"}, .setup = SignedIn, .exit = 1,
            .out = {"\n    ID  STATUS    LOAD  LATENCY  NODE\n     4  ONLINE     67%        -  🇬🇧 London 01\n"
                    "     5  ONLINE     78%        -  🇺🇸 New York 01\n"
                    "     6  ONLINE     12%        -  🇺🇸 Los Angeles 01\n"},
            .err = {"\nnimbrel-cli: \"United\" is ambiguous: 3 nodes match (connect ID picks one)\n"}});
        add("connect, none found", {.args = {"connect", "atlantis"}, .setup = SignedIn, .exit = 1,
            .err = {"\nnimbrel-cli: no node matches \"atlantis\"\n"}});
        // clang-format on
    }

    void nodeCommandsExitAndSay() { checkRow(); }
};

QTEST_GUILESS_MAIN(TestCliNodes)
#include "tst_clinodes.moc"
