#include "ProbeTargets.h"
#include "ServiceFixture.h"
#include "TestEnvironment.h"
#include "app/AppViewModel.h"
#include "app/NodeCatalog.h"
#include "i18n/LanguageManager.h"
#include "nodes/LatencyProbe.h"
#include "nodes/NodeFilterModel.h"
#include "nodes/NodeListModel.h"
#include "platform/PreferenceStore.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;

namespace {

NodeInfo node(qint64 id, const QString &status, const QString &host = QStringLiteral("127.0.0.1"), qint64 port = 9)
{
    NodeInfo info;
    info.id = id;
    info.name = QStringLiteral("Node %1").arg(id);
    info.countryCode = QStringLiteral("XX");
    info.countryName = QStringLiteral("Nowhere");
    info.flagEmoji = QStringLiteral("🏳");
    info.host = host;
    info.port = port;
    info.status = status;
    info.loadPercent = 10;
    return info;
}

// "1 2:OFFLINE 3@moved.example": nodes by id, "ONLINE" unless a status follows, on 127.0.0.1 unless a
// host follows.
QList<NodeInfo> nodesOf(const QString &text)
{
    QList<NodeInfo> nodes;
    for (const QString &entry : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QString idAndStatus = entry.section(QLatin1Char('@'), 0, 0);
        const QString status = idAndStatus.section(QLatin1Char(':'), 1);
        const QString host = entry.section(QLatin1Char('@'), 1);
        nodes.append(node(idAndStatus.section(QLatin1Char(':'), 0, 0).toLongLong(),
                          status.isEmpty() ? QStringLiteral("ONLINE") : status,
                          host.isEmpty() ? QStringLiteral("127.0.0.1") : host));
    }
    return nodes;
}

QList<qint64> ids(const QList<NodeInfo> &nodes)
{
    QList<qint64> list;
    for (const NodeInfo &info : nodes)
        list.append(info.id);
    return list;
}

} // namespace

// Loading the node list from the local service, and the list model QML draws from.
class TestNodeList : public QObject {
    Q_OBJECT

private:
    // Signed in with an active subscription; the first load (started by the sign-in) has finished.
    static std::unique_ptr<AppViewModel> signedIn(ServiceFixture &fixture)
    {
        auto vm = fixture.launch();
        vm->login(QStringLiteral("demo@nimbrel.test"), QStringLiteral("nimbrel-demo"));
        if (!QTest::qWaitFor([&] { return vm->screen() == AppViewModel::Screen::Home && !vm->nodesLoading(); }, 5000))
            qFatal("sign-in did not finish");
        return vm;
    }

    static void reload(AppViewModel &vm)
    {
        vm.loadNodes();
        QVERIFY(vm.nodesLoading());
        QTRY_VERIFY(!vm.nodesLoading());
    }

private slots:
    void initTestCase() { TestEnvironment::useTemporaryLanguageStore(); }

    void withoutATokenNothingIsSent()
    {
        ServiceFixture fixture;
        auto vm = fixture.launch();
        QSignalSpy loading(vm.get(), &AppViewModel::nodesLoadingChanged);
        vm->loadNodes();
        QCOMPARE(loading.count(), 0);
        QCOMPARE(vm->nodesError(), std::nullopt);
        QVERIFY(!QTest::qWaitFor([&] { return fixture.service->requestCount(QStringLiteral("/api/nodes")) > 0; }, 50));
    }

    // The first load lists, selects and keeps the version and key. A reload the service answers "cached"
    // keeps the list and takes the key again; one it refuses keeps list, selection, key and version and
    // says why, until the next load.
    void aReloadKeepsTheList_data()
    {
        QTest::addColumn<bool>("refused");
        QTest::newRow("cached") << false;
        QTest::newRow("refused") << true;
    }
    void aReloadKeepsTheList()
    {
        QFETCH(bool, refused);
        ServiceFixture fixture;
        fixture.service->setNodes({node(1, "OFFLINE"), node(2, "ONLINE"), node(3, "ONLINE")});
        auto vm = signedIn(fixture);
        const auto kept = [&] {
            QCOMPARE(ids(vm->nodes()), (QList<qint64>{1, 2, 3}));
            QCOMPARE(vm->selectedNode()->id, 2); // the first node that is exactly ONLINE
            QCOMPARE(vm->cachedNodeVersion(), std::optional(fixture.service->nodesVersion()));
            QCOMPARE(vm->psk(), fixture.service->psk());
        };
        kept();
        QSignalSpy nodesChanged(vm.get(), &AppViewModel::nodesChanged);
        QSignalSpy pskChanged(&vm->nodeCatalog(), &NodeCatalog::pskChanged);
        if (refused)
            fixture.service->setSubscription(QStringLiteral("demo@nimbrel.test"), std::nullopt); // now 403
        reload(*vm);
        QCOMPARE(fixture.service->requestCount(QStringLiteral("/api/nodes")), 2);
        kept();
        QCOMPARE(nodesChanged.count(), 0);
        QCOMPARE(pskChanged.count(), refused ? 0 : 1);
        QCOMPARE(vm->nodesError(),
                 refused ? std::optional(QStringLiteral("An active subscription is required")) : std::nullopt);
        vm->loadNodes();
        QCOMPARE(vm->nodesError(), std::nullopt); // cleared at once
        QTRY_VERIFY(!vm->nodesLoading());
    }

    // What a list's answer changes: its version and key always; the list only when the answer is fresh
    // and carries one (an empty one too). The selected node stays, with its old record, while its id is
    // listed; one that left gives way to the first node that is exactly "ONLINE" (none without one),
    // whatever another client chose meanwhile. With nothing selected, the node chosen last (by an earlier
    // launch too) comes first while it is listed and exactly "ONLINE"; signing out forgets it. An id that
    // is not listed is neither selected nor remembered.
    void anAnswerKeepsOrMovesTheSelection_data()
    {
        QTest::addColumn<QString>("first");   // the list the user chooses in (see nodesOf)
        QTest::addColumn<qint64>("chosen");   // 0: nothing
        QTest::addColumn<QString>("then");    // what happens before the next answer
        QTest::addColumn<QString>("answer");  // "fresh", "cached" or "no list"
        QTest::addColumn<QString>("next");    // the list it carries
        QTest::addColumn<qint64>("expected"); // the node selected then, 0: none
        const QString three = QStringLiteral("1 2 3:OFFLINE");
        const QString nothing;
        const QString fresh = QStringLiteral("fresh");
        const QString nextLaunch = QStringLiteral("next launch");
        QTest::newRow("the first exactly ONLINE") << "" << 0ll << nothing << fresh << "1:OFFLINE 2 3" << 2ll;
        QTest::newRow("only exactly ONLINE") << "" << 0ll << nothing << fresh << "1:online 2:Online 3" << 3ll;
        QTest::newRow("none exactly ONLINE") << "" << 0ll << nothing << fresh << "5:online" << 0ll;
        QTest::newRow("an empty list") << "1 2" << 0ll << nothing << fresh << "" << 0ll;
        QTest::newRow("a new list") << "1 2" << 0ll << nothing << fresh << "7" << 7ll;
        QTest::newRow("no list: kept") << "1 2" << 0ll << nothing << "no list"
                                       << "7" << 1ll;
        QTest::newRow("a cached answer: kept") << "1 2" << 0ll << nothing << "cached"
                                               << "7" << 1ll;
        QTest::newRow("kept while listed, with its old record")
            << "1 2" << 2ll << nothing << fresh << "1 2@moved.example" << 2ll;
        QTest::newRow("gone: the first online, whatever another client chose")
            << "1 2" << 2ll << "another client chose 4" << fresh << "3:OFFLINE 1 4" << 1ll;
        QTest::newRow("gone, and none online") << "1 2" << 2ll << nothing << fresh << "4:OFFLINE" << 0ll;
        QTest::newRow("chosen, at the next launch") << three << 2ll << nextLaunch << fresh << three << 2ll;
        QTest::newRow("chosen but offline, at the next launch") << three << 3ll << nextLaunch << fresh << three << 1ll;
        QTest::newRow("chosen, then signed out") << three << 2ll << "signed out" << fresh << three << 1ll;
        QTest::newRow("not listed") << three << 99ll << nextLaunch << fresh << three << 1ll;
    }
    void anAnswerKeepsOrMovesTheSelection()
    {
        QFETCH(QString, first);
        QFETCH(qint64, chosen);
        QFETCH(QString, then);
        QFETCH(QString, answer);
        QFETCH(QString, next);
        QFETCH(qint64, expected);
        TestEnvironment env;
        const auto launch = [&env] { return std::make_unique<NodeCatalog>(env.preferences, nullptr, nullptr); };
        const auto selected = [](const NodeCatalog &catalog) {
            return catalog.selectedNode() ? catalog.selectedNode()->id : 0;
        };
        std::unique_ptr<NodeCatalog> catalog = launch();
        catalog->take(NodesResponse{QStringLiteral("v1"), QStringLiteral("k1"), nodesOf(first), false});
        if (chosen != 0) {
            const qint64 before = selected(*catalog);
            const bool listed = catalog->listed(chosen) != nullptr;
            catalog->select(chosen);
            QCOMPARE(selected(*catalog), listed ? chosen : before);
            QCOMPARE(catalog->rememberedId(), listed ? std::optional(chosen) : std::nullopt);
        }
        const std::optional<NodeInfo> kept = catalog->selectedNode();
        if (then == QLatin1String("another client chose 4"))
            env.preferences->setString(QStringLiteral("selectedNodeId"), QStringLiteral("4"));
        if (then == QLatin1String("signed out"))
            catalog->clear();
        if (then == QLatin1String("next launch") || then == QLatin1String("signed out"))
            catalog = launch();
        NodesResponse reply{QStringLiteral("v2"), QStringLiteral("k2"), nodesOf(next),
                            answer == QLatin1String("cached")};
        if (answer == QLatin1String("no list"))
            reply.nodes.reset();
        catalog->take(reply);
        QCOMPARE(catalog->version(), std::optional(QStringLiteral("v2")));
        QCOMPARE(catalog->psk(), QStringLiteral("k2"));
        QCOMPARE(ids(catalog->nodes()), ids(nodesOf(answer == QLatin1String("fresh") ? next : first)));
        QCOMPARE(catalog->model()->rowCount(), catalog->nodes().size());
        QCOMPARE(selected(*catalog), expected);
        if (expected != 0) { // a node that stayed selected keeps the record it was selected with
            const bool stayed = then.isEmpty() && kept && kept->id == expected;
            QCOMPARE(catalog->selectedNode()->host, stayed ? kept->host : catalog->listed(expected)->host);
        }
    }

    // An answer on its way when the session ends, a list, a failure or a probe's result (also one a
    // Fastest pick waits for), changes nothing once it comes: a late failure would hide the next
    // session's list behind its message, a late result would bring back an entry that was wiped.
    void anAnswerArrivingAfterSignOutIsDropped_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("a list") << "list";
        QTest::newRow("a failure") << "failure";
        QTest::newRow("a probe's result") << "probe";
        QTest::newRow("a Fastest pick's probe") << "pick";
    }

    void anAnswerArrivingAfterSignOutIsDropped()
    {
        QFETCH(QString, answer);
        ServiceFixture fixture;
        ProbeTargets targets;
        const quint16 silent = targets.silentListener(); // its probes answer only once their time is up
        fixture.service->setNodes({node(1, "ONLINE", QStringLiteral("127.0.0.1"), silent)});
        auto vm = signedIn(fixture);
        QSignalSpy picked(&vm->nodeCatalog(), &NodeCatalog::fastestPicked);
        if (answer == QLatin1String("failure"))
            fixture.service->setSubscription(QStringLiteral("demo@nimbrel.test"), std::nullopt); // now 403
        if (answer == QLatin1String("probe"))
            vm->pingNodeById(1);
        else if (answer == QLatin1String("pick"))
            vm->pickFastestNode();
        else
            vm->loadNodes();
        vm->nodeCatalog().clear(); // the session ends while the request is in flight
        QVERIFY(vm->pingResults().isEmpty() && vm->pingingNodes().isEmpty() && !vm->pickingFastest());
        QTRY_VERIFY(!vm->nodesLoading()); // a list's answer has come: the flag is the load's last write
        // A probe of the same port started now, given longer, answers after the one dropped.
        bool later = false;
        QObject context;
        LatencyProbe::tcpPing(QStringLiteral("127.0.0.1"), silent,
                              fixture.env.environment().intervals.probeTimeout + 100ms, &context,
                              [&](qint64) { later = true; });
        QTRY_VERIFY(later);
        QVERIFY(vm->nodes().isEmpty() && vm->psk().isEmpty() && !vm->cachedNodeVersion());
        QCOMPARE(vm->nodesError(), std::nullopt);
        QVERIFY(vm->pingResults().isEmpty() && vm->pingingNodes().isEmpty());
        QVERIFY(picked.isEmpty() && !vm->nodesNotice());
    }

    void modelFollowsTheViewModel()
    {
        ServiceFixture fixture;
        NodeInfo wild = node(2, "OFFLINE");
        wild.loadPercent = 1'000'000'000'000'000'000; // drawn as 100, not as a wrapped 32-bit number
        fixture.service->setNodes({node(1, "ONLINE"), wild, node(3, "ONLINE")});
        auto vm = fixture.launch();
        NodeListModel &model = *vm->nodeModel();
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.rowCount(), 0);

        vm->login(QStringLiteral("demo@nimbrel.test"), QStringLiteral("nimbrel-demo"));
        QTRY_COMPARE(model.rowCount(), 3);
        QCOMPARE(model.data(model.index(1), NodeListModel::NameRole).toString(), QStringLiteral("Node 2"));
        QCOMPARE(model.data(model.index(1), NodeListModel::IsOnlineRole).toBool(), false);
        QCOMPARE(model.data(model.index(1), NodeListModel::LoadPercentRole).toInt(), 100);
        QCOMPARE(model.data(model.index(0), NodeListModel::IsSelectedRole).toBool(), true);
        QVERIFY(!model.data(model.index(0), NodeListModel::HasPingRole).toBool());
        QVERIFY(model.roleNames().values().contains("flagEmoji"));

        // A probe (its start, its result, its end) changes its row alone.
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        vm->pingNodeById(3); // nothing listens on the node's port: refused at once
        QTRY_VERIFY(model.data(model.index(2), NodeListModel::HasPingRole).toBool());
        QTRY_VERIFY(!model.data(model.index(2), NodeListModel::IsPingingRole).toBool());
        QVERIFY(!changed.isEmpty());
        for (const QList<QVariant> &change : changed)
            QVERIFY(change.at(0).toModelIndex().row() == 2 && change.at(1).toModelIndex().row() == 2);
        QCOMPARE(model.data(model.index(2), NodeListModel::PingMsRole).toLongLong(), -1);

        // A new selection redraws the old and the new row.
        changed.clear();
        vm->selectNodeById(3);
        QCOMPARE(changed.count(), 2);
        QCOMPARE(model.data(model.index(0), NodeListModel::IsSelectedRole).toBool(), false);
        QCOMPARE(model.data(model.index(2), NodeListModel::IsSelectedRole).toBool(), true);

        // A new list is announced while the old rows are still there.
        QList<int> rowsWhenAnnounced;
        connect(&model, &QAbstractItemModel::modelAboutToBeReset, this,
                [&] { rowsWhenAnnounced.append(model.rowCount()); });
        fixture.service->setNodes({node(7, "ONLINE")}); // a new version
        reload(*vm);
        QCOMPARE(rowsWhenAnnounced, QList<int>{3});
        QCOMPARE(model.rowCount(), 1);

        vm->logout();
        QTRY_COMPARE(model.rowCount(), 0);
    }

    void theSearchKeepsTheRowsThatMatch_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QList<qint64>>("shown");
        QTest::newRow("everything") << " " << QList<qint64>{1, 2, 3, 4, 5};
        QTest::newRow("name, any case") << "TOKYO" << QList<qint64>{1};
        QTest::newRow("accent typed, none in the name") << "tökyo" << QList<qint64>{1};
        QTest::newRow("no accent typed, accents in the name") << "zurich" << QList<qint64>{2};
        QTest::newRow("a decomposed accent") << "Zu\u0308rich" << QList<qint64>{2};
        QTest::newRow("ß as ss") << "strasse" << QList<qint64>{3};
        QTest::newRow("country name") << "japan" << QList<qint64>{1, 5};
        QTest::newRow("country code") << "ru" << QList<qint64>{4};
        QTest::newRow("Cyrillic keeps й") << "мой" << QList<qint64>{4};
        QTest::newRow("и is not й") << "мои" << QList<qint64>{};
        QTest::newRow("nothing") << "atlantis" << QList<qint64>{};
    }
    void theSearchKeepsTheRowsThatMatch()
    {
        QFETCH(QString, query);
        QFETCH(QList<qint64>, shown);
        QList<NodeInfo> nodes;
        for (const auto &[id, name, code, country] : {std::tuple{1, "Tokyo 01", "JP", "Japan"},
                                                      {2, "Zürich Ünïon", "CH", "Schweiz"},
                                                      {3, "Straße 7", "DE", "Deutschland"},
                                                      {4, "Мой узел", "RU", "Россия"},
                                                      {5, "Osaka", "JP", "日本 Japan"}}) {
            NodeInfo info = node(id, QStringLiteral("ONLINE"));
            std::tie(info.name, info.countryCode, info.countryName) =
                std::tuple(QString::fromUtf8(name), QString::fromUtf8(code), QString::fromUtf8(country));
            nodes.append(info);
        }
        NodeListModel list;
        NodeFilterModel rows(&list);
        QAbstractItemModelTester tester(&rows, QAbstractItemModelTester::FailureReportingMode::QtTest);
        rows.setQuery(QStringLiteral("osaka")); // a search typed before the list came applies to it
        list.setNodes(nodes);
        QCOMPARE(rows.count(), 1);

        QSignalSpy counted(&rows, &NodeFilterModel::countChanged);
        rows.setQuery(query);
        QList<qint64> ids;
        for (int row = 0; row < rows.rowCount(); ++row)
            ids.append(rows.data(rows.index(row, 0), NodeListModel::IdRole).toLongLong());
        QCOMPARE(ids, shown);
        QCOMPARE(rows.count(), shown.size());
        // A probe result reaches the row that shows its node, and only that.
        QSignalSpy changed(&rows, &QAbstractItemModel::dataChanged);
        list.setPingResult(4, 42);
        QCOMPARE(changed.count(), shown.contains(4) ? 1 : 0);
        if (shown.contains(4))
            QCOMPARE(rows.data(rows.index(int(shown.indexOf(4))), NodeListModel::PingMsRole).toInt(), 42);
        QCOMPARE(counted.isEmpty(), shown.size() == 1); // told when the number of rows changes
        // A new list of as many nodes is searched by its own names.
        nodes[0].name = QStringLiteral("Kyoto 02");
        list.setNodes(nodes);
        rows.setQuery(QStringLiteral("kyoto"));
        QCOMPARE(rows.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestNodeList)
#include "tst_nodelist.moc"
