#include "api/ApiRecords.h"
#include "api/JsonFields.h"

#include <QJsonDocument>
#include <QTest>

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
        const ApiResult<NodeInfo> node = NodeInfo::fromJson(object(kNode));
        QVERIFY(node);
        QCOMPARE(node.value().id, 7);
        QCOMPARE(node.value().name, QStringLiteral("Tokyo"));
        QCOMPARE(node.value().countryCode, QStringLiteral("JP"));
        QCOMPARE(node.value().countryName, QStringLiteral("Japan"));
        QCOMPARE(node.value().flagEmoji, QStringLiteral("🇯🇵"));
        QCOMPARE(node.value().host, QStringLiteral("jp.example"));
        QCOMPARE(node.value().port, 443);
        QCOMPARE(node.value().sni, std::optional(QStringLiteral("sni.example")));
        QCOMPARE(node.value().status, QStringLiteral("ONLINE"));
        QCOMPARE(node.value().loadPercent, 42);
        // And encodes back to the same keys.
        QJsonObject expected = object(kNode);
        expected.remove(QStringLiteral("extra"));
        QCOMPARE(node.value().toJson(), expected);
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
        }
    }

    void nodeAbsentSniIsNotEmptySni()
    {
        QCOMPARE(NodeInfo::fromJson(nodeWith(QStringLiteral("sni"), "null")).value().sni, std::nullopt);
        QCOMPARE(NodeInfo::fromJson(nodeWith(QStringLiteral("sni"), "\"\"")).value().sni, std::optional(QString()));
        NodeInfo bare = NodeInfo::fromJson(nodeWith(QStringLiteral("sni"), QByteArray())).value();
        QVERIFY(!bare.toJson().contains(QStringLiteral("sni")));
    }

    void nodesResponseRules_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("decodes");
        QTest::addColumn<int>("nodeCount"); // -1: no list
        const QByteArray node = QJsonDocument(object(kNode)).toJson(QJsonDocument::Compact);
        QTest::newRow("full") << R"({"version":"v1","psk":"k","cached":false,"nodes":[)" + node + "," + node + "]}"
                              << true << 2;
        QTest::newRow("cached without nodes")
            << QByteArray(R"({"version":"v1","psk":"k","cached":true})") << true << -1;
        QTest::newRow("nodes null") << QByteArray(R"({"version":"v1","psk":"k","cached":false,"nodes":null})") << true
                                    << -1;
        QTest::newRow("empty list") << QByteArray(R"({"version":"v1","psk":"k","cached":false,"nodes":[]})") << true
                                    << 0;
        QTest::newRow("cached missing") << QByteArray(R"({"version":"v1","psk":"k","nodes":[]})") << false << 0;
        QTest::newRow("cached as string") << QByteArray(R"({"version":"v1","psk":"k","cached":"true"})") << false << 0;
        QTest::newRow("version missing") << QByteArray(R"({"psk":"k","cached":true})") << false << 0;
        QTest::newRow("psk null") << QByteArray(R"({"version":"v1","psk":null,"cached":true})") << false << 0;
        QTest::newRow("nodes not a list")
            << QByteArray(R"({"version":"v1","psk":"k","cached":false,"nodes":{}})") << false << 0;
        QTest::newRow("entry not an object")
            << QByteArray(R"({"version":"v1","psk":"k","cached":false,"nodes":[1]})") << false << 0;
        QJsonObject broken = object(kNode);
        broken.remove(QStringLiteral("load_percent"));
        QTest::newRow("one node lacks load_percent")
            << R"({"version":"v1","psk":"k","cached":false,"nodes":[)" + node + "," +
                   QJsonDocument(broken).toJson(QJsonDocument::Compact) + "]}"
            << false << 0;
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
        QTest::newRow("early and late") << QList<int>{2500, 19000} << QStringLiteral("node: \"port\" is missing");
        QTest::newRow("late only") << QList<int>{19000} << QStringLiteral("node: \"name\" is not a string");
        QTest::newRow("last entry not an object")
            << QList<int>{19999} << QStringLiteral("node list: an entry of \"nodes\" is not an object");
    }

    void longListsKeepOrderAndTheFirstProblem()
    {
        QFETCH(QList<int>, broken);
        QFETCH(QString, expected);
        QJsonArray nodes;
        for (int i = 0; i < 20000; ++i) {
            QJsonObject node = object(kNode);
            node.insert(QStringLiteral("id"), i);
            if (broken.contains(i)) {
                if (i == 2500) {
                    node.remove(QStringLiteral("port"));
                } else if (i == 19000) {
                    node.insert(QStringLiteral("name"), 5);
                } else {
                    nodes.append(QStringLiteral("not a node"));
                    continue;
                }
            }
            nodes.append(node);
        }
        const QJsonObject json{{QStringLiteral("version"), QStringLiteral("v1")},
                               {QStringLiteral("psk"), QStringLiteral("k")},
                               {QStringLiteral("cached"), false},
                               {QStringLiteral("nodes"), nodes}};
        const ApiResult<NodesResponse> response = NodesResponse::fromJson(json);
        if (!expected.isEmpty()) {
            QVERIFY(!response.ok());
            QVERIFY2(response.error().message.contains(expected), qPrintable(response.error().message));
            return;
        }
        QVERIFY(response.ok());
        const QList<NodeInfo> &decoded = *response.value().nodes;
        QCOMPARE(decoded.size(), 20000);
        for (int i = 0; i < decoded.size(); ++i) {
            if (decoded.at(i).id != i)
                QFAIL(qPrintable(QStringLiteral("entry %1 holds node %2").arg(i).arg(decoded.at(i).id)));
        }
        QCOMPARE(decoded.at(12345).name, QStringLiteral("Tokyo"));
        QCOMPARE(decoded.at(12345).port, 443);
    }

    void authResponseRules_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("decodes");
        QTest::newRow("complete")
            << QByteArray(
                   R"({"user":{"id":"u1","email":"a@b.c","nickname":"bob"},"accessToken":"a","refreshToken":"r"})")
            << true;
        QTest::newRow("no nickname")
            << QByteArray(R"({"user":{"id":"u1","email":"a@b.c"},"accessToken":"a","refreshToken":"r"})") << true;
        QTest::newRow("nickname null")
            << QByteArray(
                   R"({"user":{"id":"u1","email":"a@b.c","nickname":null},"accessToken":"a","refreshToken":"r"})")
            << true;
        QTest::newRow("user id as number")
            << QByteArray(R"({"user":{"id":1,"email":"a@b.c"},"accessToken":"a","refreshToken":"r"})") << false;
        QTest::newRow("user missing") << QByteArray(R"({"accessToken":"a","refreshToken":"r"})") << false;
        QTest::newRow("user not an object")
            << QByteArray(R"({"user":"u1","accessToken":"a","refreshToken":"r"})") << false;
        QTest::newRow("email missing") << QByteArray(R"({"user":{"id":"u1"},"accessToken":"a","refreshToken":"r"})")
                                       << false;
        QTest::newRow("refresh token missing")
            << QByteArray(R"({"user":{"id":"u1","email":"a@b.c"},"accessToken":"a"})") << false;
        QTest::newRow("access token null")
            << QByteArray(R"({"user":{"id":"u1","email":"a@b.c"},"accessToken":null,"refreshToken":"r"})") << false;
    }

    void authResponseRules()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, decodes);
        const ApiResult<AuthResponse> response = AuthResponse::fromJson(object(json));
        QCOMPARE(response.ok(), decodes);
        if (decodes) {
            QCOMPARE(response.value().user.id, QStringLiteral("u1"));
            QCOMPARE(response.value().accessToken, QStringLiteral("a"));
        }
    }

    void userMeRules_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("decodes");
        QTest::addColumn<QString>("status"); // empty: no subscription
        QTest::newRow("empty object") << QByteArray("{}") << true << "";
        QTest::newRow("subscription null") << QByteArray(R"({"subscription":null})") << true << "";
        QTest::newRow("full")
            << QByteArray(R"({"subscription":{"status":"ACTIVE","planName":"Pro","expiresAt":"2030-01-01T00:00:00Z"}})")
            << true << "ACTIVE";
        QTest::newRow("only status") << QByteArray(R"({"subscription":{"status":"active"}})") << true << "active";
        QTest::newRow("status missing") << QByteArray(R"({"subscription":{"planName":"Pro"}})") << false << "";
        QTest::newRow("plan as number") << QByteArray(R"({"subscription":{"status":"ACTIVE","planName":3}})") << false
                                        << "";
        QTest::newRow("subscription as list") << QByteArray(R"({"subscription":[]})") << false << "";
    }

    void userMeRules()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, decodes);
        QFETCH(QString, status);
        const ApiResult<UserMeResponse> response = UserMeResponse::fromJson(object(json));
        QCOMPARE(response.ok(), decodes);
        if (decodes)
            QCOMPARE(response.value().subscription ? response.value().subscription->status : QString(), status);
    }

    void requestsLeaveAbsentKeysOut()
    {
        const RegisterRequest four{QStringLiteral("e"), QStringLiteral("p"), std::nullopt, QStringLiteral("f"),
                                   QStringLiteral("MACOS")};
        QCOMPARE(four.toJson().keys(), (QStringList{QStringLiteral("deviceFingerprint"), QStringLiteral("email"),
                                                    QStringLiteral("password"), QStringLiteral("platform")}));
        const RegisterRequest five{QStringLiteral("e"), QStringLiteral("p"), QString(), QStringLiteral("f"),
                                   QStringLiteral("MACOS")};
        QCOMPARE(five.toJson().size(), 5);
        QCOMPARE(five.toJson().value(QStringLiteral("nickname")), QJsonValue(QString()));
    }

    void emptyResponseTakesAnyWellFormedJson_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("decodes");
        QTest::newRow("object") << QByteArray("{}") << true;
        QTest::newRow("list") << QByteArray("[1,2]") << true;
        QTest::newRow("true") << QByteArray("true") << true;
        QTest::newRow("null") << QByteArray("null") << true;
        QTest::newRow("number") << QByteArray(" 12.5 ") << true;
        QTest::newRow("string") << QByteArray("\"ok\"") << true;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("blank") << QByteArray("  ") << false;
        QTest::newRow("html") << QByteArray("<html></html>") << false;
        QTest::newRow("two values") << QByteArray("1,2") << false;
        QTest::newRow("bracket trick") << QByteArray("1],[2") << false;
        QTest::newRow("trailing garbage") << QByteArray("{}x") << false;
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
