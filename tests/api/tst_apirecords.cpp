#include "api/ApiRecords.h"
#include "api/JsonFields.h"

#include <QJsonDocument>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

QJsonObject object(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}

const QByteArray kNode = R"({"id": 7, "name": "Tokyo", "country_code": "JP", "country_name": "Japan",
    "flag_emoji": "🇯🇵", "host": "jp.example", "port": 443, "sni": "sni.example", "status": "ONLINE",
    "load_percent": 42, "extra": [1, 2]})";

// The node above with one key replaced (value: JSON text) or removed (value: empty).
QJsonObject nodeWith(const QString &key, const QByteArray &value)
{
    QJsonObject node = object(kNode);
    if (value.isEmpty())
        node.remove(key);
    else
        node.insert(key, QJsonDocument::fromJson("[" + value + "]").array().first());
    return node;
}

} // namespace

class TestApiRecords : public QObject {
    Q_OBJECT

private slots:
    void nodeDecodesEveryField()
    {
        const ApiResult<NodeInfo> decoded = NodeInfo::fromJson(object(kNode));
        QVERIFY(decoded);
        const NodeInfo &node = decoded.value();
        QCOMPARE((QStringList{QString::number(node.id), node.name, node.countryCode, node.countryName, node.flagEmoji,
                              node.host, QString::number(node.port), node.sni.value_or(u"<none>"_s), node.status,
                              QString::number(node.loadPercent)}),
                 (QStringList{u"7"_s, u"Tokyo"_s, u"JP"_s, u"Japan"_s, u"🇯🇵"_s, u"jp.example"_s, u"443"_s,
                              u"sni.example"_s, u"ONLINE"_s, u"42"_s}));
    }

    void nodeFieldRules_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("value"); // empty: key removed
        QTest::addColumn<bool>("decodes");

        for (const char *required :
             {"id", "name", "country_code", "country_name", "flag_emoji", "host", "port", "status", "load_percent"}) {
            const QString key = QString::fromLatin1(required);
            QTest::addRow("%s missing", required) << key << QByteArray() << false;
            QTest::addRow("%s null", required) << key << QByteArray("null") << false;
        }
        QTest::newRow("id as string") << "id" << QByteArray("\"7\"") << false;
        QTest::newRow("id fractional") << "id" << QByteArray("7.5") << false;
        QTest::newRow("id beyond 64 bits") << "id" << QByteArray("18446744073709551616") << false;
        QTest::newRow("id large 64-bit") << "id" << QByteArray("9007199254740993") << true;
        QTest::newRow("id negative") << "id" << QByteArray("-3") << true;
        QTest::newRow("port as string") << "port" << QByteArray("\"443\"") << false;
        QTest::newRow("port out of 16 bits") << "port" << QByteArray("70000") << true;
        QTest::newRow("load as bool") << "load_percent" << QByteArray("true") << false;
        QTest::newRow("name as number") << "name" << QByteArray("5") << false;
        QTest::newRow("status as object") << "status" << QByteArray("{}") << false;
        QTest::newRow("sni missing") << "sni" << QByteArray() << true;
        QTest::newRow("sni null") << "sni" << QByteArray("null") << true;
        QTest::newRow("sni empty") << "sni" << QByteArray("\"\"") << true;
        QTest::newRow("sni as number") << "sni" << QByteArray("1") << false;
    }

    void nodeFieldRules()
    {
        QFETCH(QString, key);
        QFETCH(QByteArray, value);
        QFETCH(bool, decodes);
        const ApiResult<NodeInfo> node = NodeInfo::fromJson(nodeWith(key, value));
        QCOMPARE(node.ok(), decodes);
        if (!decodes) {
            QVERIFY(node.error().code != 401);
            QVERIFY2(node.error().message.contains(key), qPrintable(node.error().message));
            return;
        }
        // Encoded back to the same keys and values, but for unknown keys; a null key is left out like a
        // missing one, and an empty SNI stays an empty one.
        QJsonObject expected = nodeWith(key, value == "null" ? QByteArray() : value);
        expected.remove(u"extra"_s);
        QCOMPARE(node.value().toJson(), expected);
    }

    void nodesResponseRules_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("decodes");
        QTest::addColumn<int>("nodeCount"); // -1: no list
        const QByteArray node = QJsonDocument(object(kNode)).toJson(QJsonDocument::Compact);
        QJsonObject broken = object(kNode);
        broken.remove(u"load_percent"_s);
        const QByteArray head = R"({"version":"v1","psk":"k",)";
        QTest::newRow("full") << head + R"("cached":false,"nodes":[)" + node + "," + node + "]}" << true << 2;
        QTest::newRow("cached without nodes") << head + R"("cached":true})" << true << -1;
        QTest::newRow("nodes null") << head + R"("cached":false,"nodes":null})" << true << -1;
        QTest::newRow("empty list") << head + R"("cached":false,"nodes":[]})" << true << 0;
        QTest::newRow("cached missing") << head + R"("nodes":[]})" << false << 0;
        QTest::newRow("cached as string") << head + R"("cached":"true"})" << false << 0;
        QTest::newRow("version missing") << QByteArray(R"({"psk":"k","cached":true})") << false << 0;
        QTest::newRow("psk null") << QByteArray(R"({"version":"v1","psk":null,"cached":true})") << false << 0;
        QTest::newRow("nodes not a list") << head + R"("cached":false,"nodes":{}})" << false << 0;
        QTest::newRow("entry not an object") << head + R"("cached":false,"nodes":[1]})" << false << 0;
        QTest::newRow("one node lacks load_percent")
            << head + R"("cached":false,"nodes":[)" + node + "," + QJsonDocument(broken).toJson() + "]}" << false << 0;
    }

    void nodesResponseRules()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, decodes);
        QFETCH(int, nodeCount);
        const ApiResult<NodesResponse> response = NodesResponse::fromJson(object(json));
        QCOMPARE(response.ok(), decodes);
        if (decodes)
            QCOMPARE(response.value().nodes ? int(response.value().nodes->size()) : -1, nodeCount);
        else
            QVERIFY(response.error().code < 0);
    }

    // Long lists are decoded in slices side by side: order and the choice of the reported problem must
    // be exactly those of one pass from the start.
    void longListsKeepOrderAndTheFirstProblem_data()
    {
        QTest::addColumn<QList<int>>("broken"); // indexes of entries that fail, each in its own way
        QTest::addColumn<QString>("expected");  // the problem reported; empty: the list decodes
        QTest::newRow("clean") << QList<int>{} << QString();
        QTest::newRow("early and late") << QList<int>{2500, 19000} << u"node: \"port\" is missing"_s;
        QTest::newRow("late only") << QList<int>{19000} << u"node: \"name\" is not a string"_s;
        QTest::newRow("last entry not an object")
            << QList<int>{19999} << u"node list: an entry of \"nodes\" is not an object"_s;
    }

    void longListsKeepOrderAndTheFirstProblem()
    {
        QFETCH(QList<int>, broken);
        QFETCH(QString, expected);
        QJsonArray nodes;
        for (int i = 0; i < 20000; ++i) {
            QJsonObject node = object(kNode);
            node.insert(u"id"_s, i);
            if (broken.contains(i) && i == 2500)
                node.remove(u"port"_s);
            if (broken.contains(i) && i == 19000)
                node.insert(u"name"_s, 5);
            nodes.append(broken.contains(i) && i == 19999 ? QJsonValue(u"not a node"_s) : QJsonValue(node));
        }
        QJsonObject json = object(R"({"version":"v1","psk":"k","cached":false})");
        json.insert(u"nodes"_s, nodes);
        const ApiResult<NodesResponse> response = NodesResponse::fromJson(json);
        QCOMPARE(response.ok(), expected.isEmpty());
        if (!expected.isEmpty()) {
            QVERIFY2(response.error().message.contains(expected), qPrintable(response.error().message));
            return;
        }
        const QList<NodeInfo> &decoded = *response.value().nodes;
        QCOMPARE(decoded.size(), 20000);
        for (int i = 0; i < decoded.size(); ++i) {
            if (decoded.at(i).id != i)
                QFAIL(qPrintable(u"entry %1 holds node %2"_s.arg(i).arg(decoded.at(i).id)));
        }
        QCOMPARE(decoded.at(12345).name, u"Tokyo"_s);
        QCOMPARE(decoded.at(12345).port, 443);
    }

    void authResponseRules_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("decodes");
        const QByteArray user = R"("user":{"id":"u1","email":"a@b.c")";
        const QByteArray tokens = R"("accessToken":"a","refreshToken":"r"})";
        QTest::newRow("complete") << "{" + user + R"(,"nickname":"bob"},)" + tokens << true;
        QTest::newRow("no nickname") << "{" + user + "}," + tokens << true;
        QTest::newRow("nickname null") << "{" + user + R"(,"nickname":null},)" + tokens << true;
        QTest::newRow("user id as number") << R"({"user":{"id":1,"email":"a@b.c"},)" + tokens << false;
        QTest::newRow("user missing") << "{" + tokens << false;
        QTest::newRow("user not an object") << R"({"user":"u1",)" + tokens << false;
        QTest::newRow("email missing") << R"({"user":{"id":"u1"},)" + tokens << false;
        QTest::newRow("refresh token missing") << "{" + user + R"(},"accessToken":"a"})" << false;
        QTest::newRow("access token null") << "{" + user + R"(},"accessToken":null,"refreshToken":"r"})" << false;
    }

    void authResponseRules()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, decodes);
        const ApiResult<AuthResponse> response = AuthResponse::fromJson(object(json));
        QCOMPARE(response.ok(), decodes);
        if (decodes) {
            QCOMPARE(response.value().user.id, u"u1"_s);
            QCOMPARE(response.value().accessToken, u"a"_s);
        }
    }

    void userMeRules_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("read"); // the subscription's status, "none", or "refused"
        const QByteArray head = R"({"subscription":)";
        QTest::newRow("empty object") << QByteArray("{}") << u"none"_s;
        QTest::newRow("subscription null") << head + "null}" << u"none"_s;
        QTest::newRow("full") << head + R"({"status":"ACTIVE","planName":"Pro","expiresAt":"2030-01-01T00:00:00Z"}})"
                              << u"ACTIVE"_s;
        QTest::newRow("only status") << head + R"({"status":"active"}})" << u"active"_s;
        QTest::newRow("status missing") << head + R"({"planName":"Pro"}})" << u"refused"_s;
        QTest::newRow("plan as number") << head + R"({"status":"ACTIVE","planName":3}})" << u"refused"_s;
        QTest::newRow("subscription as list") << head + "[]}" << u"refused"_s;
    }

    void userMeRules()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, read);
        const ApiResult<UserMeResponse> response = UserMeResponse::fromJson(object(json));
        const std::optional<SubscriptionInfo> subscription = response ? response.value().subscription : std::nullopt;
        QCOMPARE(!response ? u"refused"_s : subscription ? subscription->status : u"none"_s, read);
    }

    void requestsLeaveAbsentKeysOut()
    {
        const RegisterRequest four{u"e"_s, u"p"_s, std::nullopt, u"f"_s, u"MACOS"_s};
        QCOMPARE(four.toJson().keys(), (QStringList{u"deviceFingerprint"_s, u"email"_s, u"password"_s, u"platform"_s}));
        const RegisterRequest five{u"e"_s, u"p"_s, QString(), u"f"_s, u"MACOS"_s};
        QCOMPARE(five.toJson().size(), 5);
        QCOMPARE(five.toJson().value(u"nickname"_s), QJsonValue(QString()));
    }

    void emptyResponseTakesAnyWellFormedJson_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("decodes");
        for (const char *body : {"{}", "[1,2]", "true", "null", " 12.5 ", "\"ok\""})
            QTest::addRow("well-formed: %s", body) << QByteArray(body) << true;
        // Nothing, blanks, HTML, and texts that are well-formed only once wrapped in brackets.
        for (const char *body : {"", "  ", "<html></html>", "1,2", "1],[2", "{}x"})
            QTest::addRow("malformed: '%s'", body) << QByteArray(body) << false;
    }

    void emptyResponseTakesAnyWellFormedJson()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, decodes);
        QCOMPARE(EmptyResponse::fromBody(body).ok(), decodes);
    }

    void hostileJsonNeverCrashes()
    {
        QString problem;
        QVERIFY(!JsonText::parseObject(QByteArray(200000, '['), &problem));
        QVERIFY(!problem.isEmpty());
        QVERIFY(!JsonText::parseObject(QByteArray(100000, '{'), &problem));
        QVERIFY(!JsonText::isWellFormed(QByteArray(200000, '[')));
        QByteArray deep = "{\"subscription\":" + QByteArray(5000, '[') + QByteArray(5000, ']') + "}";
        const std::optional<QJsonObject> parsed = JsonText::parseObject(deep, &problem);
        if (parsed)
            QVERIFY(!UserMeResponse::fromJson(*parsed));
    }
};

QTEST_GUILESS_MAIN(TestApiRecords)
#include "tst_apirecords.moc"
