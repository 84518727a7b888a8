#include "ServiceFixture.h"
#include "TestEnvironment.h"
#include "app/AppViewModel.h"
#include "app/NodeCatalog.h"
#include "i18n/LanguageManager.h"
#include "nodes/NodeListModel.h"
#include "platform/PreferenceStore.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

namespace {

NodeInfo node(qint64 id, const char *status, const QString &host = QStringLiteral("127.0.0.1"))
{
    NodeInfo info;
    info.id = id;
    info.name = QStringLiteral("Node %1").arg(id);
    info.countryCode = QStringLiteral("XX");
    info.countryName = QStringLiteral("Nowhere");
    info.flagEmoji = QStringLiteral("🏳");
    info.host = host;
    info.port = 9;
    info.status = QString::fromLatin1(status);
    info.loadPercent = 10;
    return info;
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
        QTest::qWait(50);
        QCOMPARE(fixture.service->requestCount(QStringLiteral("/api/nodes")), 0);
    }

    void firstLoadThenCachedLoad()
    {
        ServiceFixture fixture;
        fixture.service->setNodes({node(1, "OFFLINE"), node(2, "ONLINE"), node(3, "ONLINE")});
        auto vm = signedIn(fixture);
        QCOMPARE(fixture.service->requestCount(QStringLiteral("/api/nodes")), 1);
        QCOMPARE(ids(vm->nodes()), (QList<qint64>{1, 2, 3}));
        QCOMPARE(vm->selectedNode()->id, 2); // the first node that is exactly ONLINE
        QCOMPARE(vm->cachedNodeVersion(), std::optional(fixture.service->nodesVersion()));
        QCOMPARE(vm->psk(), fixture.service->psk());

        QSignalSpy nodesChanged(vm.get(), &AppViewModel::nodesChanged);
        QSignalSpy pskChanged(&vm->nodeCatalog(), &NodeCatalog::pskChanged);
        reload(*vm);
        QCOMPARE(fixture.service->requestCount(QStringLiteral("/api/nodes")), 2);
        QCOMPARE(nodesChanged.count(), 0); // the service answered "cached": the list stays
        QCOMPARE(pskChanged.count(), 1);   // the key is taken again
        QCOMPARE(ids(vm->nodes()), (QList<qint64>{1, 2, 3}));
        QCOMPARE(vm->nodesError(), std::nullopt);
    }

    void selectionKeepsTheOldRecordWhileItsIdIsListed()
    {
        ServiceFixture fixture;
        fixture.service->setNodes({node(1, "ONLINE"), node(2, "ONLINE")});
        auto vm = signedIn(fixture);
        vm->selectNodeById(2);
        QCOMPARE(vm->selectedNode()->host, QStringLiteral("127.0.0.1"));

        fixture.service->setNodes({node(1, "ONLINE"), node(2, "ONLINE", QStringLiteral("moved.example"))});
        reload(*vm);
        QCOMPARE(vm->nodes().at(1).host, QStringLiteral("moved.example"));
        QCOMPARE(vm->selectedNode()->id, 2);
        QCOMPARE(vm->selectedNode()->host, QStringLiteral("127.0.0.1"));
    }

    void selectionMovesWhenItsIdDisappears()
    {
        ServiceFixture fixture;
        fixture.service->setNodes({node(1, "ONLINE"), node(2, "ONLINE")});
        auto vm = signedIn(fixture);
        vm->selectNodeById(2);
        // Another client chose node 4 meanwhile: a selected node that leaves still gives way to the
        // first online one.
        fixture.env.preferences->setString(QStringLiteral("selectedNodeId"), QStringLiteral("4"));
        fixture.service->setNodes({node(3, "OFFLINE"), node(1, "ONLINE"), node(4, "ONLINE")});
        reload(*vm);
        QCOMPARE(vm->selectedNode()->id, 1);

        fixture.service->setNodes({node(4, "OFFLINE")});
        reload(*vm);
        QVERIFY(!vm->selectedNode().has_value());
        QCOMPARE(ids(vm->nodes()), (QList<qint64>{4}));
    }

    // The node the user chose is picked again by the next launch while it is listed and exactly
    // "ONLINE"; otherwise the first online node is. Signing out forgets it.
    void theChosenNodeIsPickedAgainByTheNextLaunch_data()
    {
        QTest::addColumn<qint64>("chosen");
        QTest::addColumn<bool>("signedOutBetween");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("online") << qint64(2) << false << qint64(2);
        QTest::newRow("offline") << qint64(3) << false << qint64(1);
        QTest::newRow("online, then signed out") << qint64(2) << true << qint64(1);
    }
    void theChosenNodeIsPickedAgainByTheNextLaunch()
    {
        QFETCH(qint64, chosen);
        QFETCH(bool, signedOutBetween);
        QFETCH(qint64, expected);
        ServiceFixture fixture;
        fixture.service->setNodes({node(1, "ONLINE"), node(2, "ONLINE"), node(3, "OFFLINE")});
        {
            auto first = signedIn(fixture);
            QCOMPARE(first->selectedNode()->id, 1);
            first->selectNodeById(chosen);
            first->selectNodeById(99); // not listed: neither selected nor remembered
            QCOMPARE(first->selectedNode()->id, chosen);
            if (signedOutBetween) {
                first->logout();
                QTRY_VERIFY(first->screen() == AppViewModel::Screen::Login);
            }
        }
        auto next = signedOutBetween ? signedIn(fixture) : fixture.launch();
        next->tryAutoLogin();
        QTRY_VERIFY(next->screen() == AppViewModel::Screen::Home && !next->nodesLoading());
        QCOMPARE(next->selectedNode()->id, expected);
    }

    void onlyExactlyOnlineIsChosen()
    {
        ServiceFixture fixture;
        fixture.service->setNodes({node(1, "online"), node(2, "Online"), node(3, "ONLINE")});
        auto vm = signedIn(fixture);
        QCOMPARE(vm->selectedNode()->id, 3);

        fixture.service->setNodes({node(5, "online")});
        reload(*vm);
        QVERIFY(!vm->selectedNode().has_value());
    }

    // How an answer changes what is held: the version and the key always; the list and the selection
    // only when it is fresh and carries a list (an empty one too).
    void anAnswerReplacesTheListOnlyWhenItCarriesOne_data()
    {
        using Ids = QList<qint64>;
        QTest::addColumn<bool>("cached");
        QTest::addColumn<std::optional<Ids>>("listed"); // none: the answer carries no list
        QTest::addColumn<Ids>("expected");
        QTest::newRow("fresh, a list") << false << std::optional(Ids{7}) << Ids{7};
        QTest::newRow("fresh, an empty list") << false << std::optional(Ids{}) << Ids{};
        QTest::newRow("fresh, no list") << false << std::optional<Ids>() << Ids{1, 2};
        QTest::newRow("cached, a list") << true << std::optional(Ids{7}) << Ids{1, 2};
    }
    void anAnswerReplacesTheListOnlyWhenItCarriesOne()
    {
        using Ids = QList<qint64>;
        QFETCH(bool, cached);
        QFETCH(std::optional<Ids>, listed);
        QFETCH(Ids, expected);
        TestEnvironment env;
        AppViewModel vm(env.environment());
        NodesResponse first;
        first.version = QStringLiteral("v1");
        first.psk = QStringLiteral("k1");
        first.nodes = QList<NodeInfo>{node(1, "ONLINE"), node(2, "ONLINE")};
        vm.nodeCatalog().take(first);
        QCOMPARE(vm.selectedNode()->id, 1);

        NodesResponse next;
        next.version = QStringLiteral("v2");
        next.psk = QStringLiteral("k2");
        next.cached = cached;
        if (listed) {
            next.nodes = QList<NodeInfo>{};
            for (const qint64 id : *listed)
                next.nodes->append(node(id, "ONLINE"));
        }
        vm.nodeCatalog().take(next);
        QCOMPARE(ids(vm.nodes()), expected);
        QCOMPARE(vm.nodeModel()->rowCount(), expected.size());
        QCOMPARE(vm.selectedNode() ? std::optional(vm.selectedNode()->id) : std::nullopt,
                 expected.isEmpty() ? std::nullopt : std::optional(expected.first()));
        QCOMPARE(vm.cachedNodeVersion(), std::optional(QStringLiteral("v2")));
        QCOMPARE(vm.psk(), QStringLiteral("k2"));
    }

    void emptyList()
    {
        ServiceFixture fixture;
        fixture.service->setNodes({});
        auto vm = signedIn(fixture);
        QVERIFY(vm->nodes().isEmpty());
        QVERIFY(!vm->selectedNode().has_value());
        QVERIFY(!vm->psk().isEmpty());
    }

    void failedLoadKeepsEverything()
    {
        ServiceFixture fixture;
        auto vm = signedIn(fixture);
        const QList<NodeInfo> before = vm->nodes();
        const qint64 selected = vm->selectedNode()->id;
        const QString psk = vm->psk();
        const auto version = vm->cachedNodeVersion();

        fixture.service->setSubscription(QStringLiteral("demo@nimbrel.test"), std::nullopt); // now 403
        reload(*vm);
        QCOMPARE(vm->nodesError(), std::optional(QStringLiteral("An active subscription is required")));
        QCOMPARE(ids(vm->nodes()), ids(before));
        QCOMPARE(vm->selectedNode()->id, selected);
        QCOMPARE(vm->psk(), psk);
        QCOMPARE(vm->cachedNodeVersion(), version);

        // The next load clears the error at once.
        vm->loadNodes();
        QCOMPARE(vm->nodesError(), std::nullopt);
        QTRY_VERIFY(!vm->nodesLoading());
    }

    // An answer for a session that has ended while it was in flight, a list or a failure, changes
    // nothing: a late failure would hide the next session's list behind its message.
    void anAnswerArrivingAfterSignOutIsDropped_data()
    {
        QTest::addColumn<bool>("fails");
        QTest::newRow("a list") << false;
        QTest::newRow("a failure") << true;
    }

    void anAnswerArrivingAfterSignOutIsDropped()
    {
        QFETCH(bool, fails);
        ServiceFixture fixture;
        auto vm = signedIn(fixture);
        if (fails)
            fixture.service->setSubscription(QStringLiteral("demo@nimbrel.test"), std::nullopt); // now 403
        vm->loadNodes();
        vm->nodeCatalog().clear(); // the session ends while the request is in flight
        QTRY_VERIFY(!vm->nodesLoading()); // the answer has come: the flag is the load's last write
        QVERIFY(vm->nodes().isEmpty());
        QCOMPARE(vm->psk(), QString());
        QCOMPARE(vm->cachedNodeVersion(), std::nullopt);
        QCOMPARE(vm->nodesError(), std::nullopt);
    }

    void modelFollowsTheViewModel()
    {
        ServiceFixture fixture;
        fixture.service->setNodes({node(1, "ONLINE"), node(2, "OFFLINE"), node(3, "ONLINE")});
        auto vm = fixture.launch();
        NodeListModel &model = *vm->nodeModel();
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.rowCount(), 0);

        vm->login(QStringLiteral("demo@nimbrel.test"), QStringLiteral("nimbrel-demo"));
        QTRY_COMPARE(model.rowCount(), 3);
        QCOMPARE(model.data(model.index(1), NodeListModel::NameRole).toString(), QStringLiteral("Node 2"));
        QCOMPARE(model.data(model.index(1), NodeListModel::IsOnlineRole).toBool(), false);
        QCOMPARE(model.data(model.index(0), NodeListModel::IsSelectedRole).toBool(), true);
        QCOMPARE(model.data(model.index(2), NodeListModel::IsLastRole).toBool(), true);
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
};

QTEST_GUILESS_MAIN(TestNodeList)
#include "tst_nodelist.moc"
