#include "ScriptedServer.h"
#include "api/ApiService.h"

#include <QCoroTask>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;

namespace {

// A call of the service, waited for: true when it succeeded.
using Call = bool (*)(const ApiService &);

template <typename T>
bool ok(QCoro::Task<ApiResult<T>> task)
{
    return bool(QCoro::waitFor(std::move(task)));
}

// What each call sends: its method, path (under the base URL's path) and query; its bearer header, none
// where the call goes without a token, "Bearer" for an empty token (servers trim a header value: the raw
// test checks the wire); its JSON body (%1: the device fingerprint), sent as JSON, or none.
struct RequestShape {
    const char *name;
    Call call;
    const char *request;
    QByteArray bearer;
    const char *body;
    const char *base = "/";
};
const RequestShape kRequests[] = {
    {"account, no token", [](auto &api) { return ok(api.getUserMe(QString())); }, "GET /api/user/me", "Bearer", ""},
    {"account", [](auto &api) { return ok(api.getUserMe(u"tok-1"_s)); }, "GET /api/user/me", "Bearer tok-1", ""},
    {"under the base URL's path", [](auto &api) { return ok(api.getUserMe(u"t"_s)); }, "GET /v2/edge/api/user/me",
     "Bearer t", "", "/v2/edge/"},
    {"sign-in", [](auto &api) { return ok(api.login(u" a@b.c "_s, u" pw "_s)); }, "POST /api/auth/login", "",
     R"({"email":" a@b.c ","password":" pw ","platform":"MACOS","deviceFingerprint":"%1"})"},
    {"register", [](auto &api) { return ok(api.registerAccount(u"a@b.c"_s, u"password1"_s, {})); },
     "POST /api/auth/register", "",
     R"({"email":"a@b.c","password":"password1","platform":"MACOS","deviceFingerprint":"%1"})"},
    {"register with a nickname", [](auto &api) { return ok(api.registerAccount(u"a@b.c"_s, u"pw"_s, u"  "_s)); },
     "POST /api/auth/register", "",
     R"({"email":"a@b.c","password":"pw","nickname":"  ","platform":"MACOS","deviceFingerprint":"%1"})"},
    {"refresh", [](auto &api) { return ok(api.refreshTokens(u"r1"_s)); }, "POST /api/auth/refresh", "",
     R"({"refreshToken":"r1"})"},
    {"sign-out",
     [](auto &api) {
         QCoro::waitFor(api.logout(u"acc"_s, u"ref"_s)); // it never fails
         return true;
     },
     "POST /api/auth/logout", "Bearer acc", R"({"refreshToken":"ref"})"},
    {"nodes", [](auto &api) { return ok(api.getNodes(u"t"_s, std::nullopt)); }, "GET /api/nodes", "Bearer t", ""},
    {"nodes, empty version", [](auto &api) { return ok(api.getNodes(u"t"_s, QString())); }, "GET /api/nodes",
     "Bearer t", ""},
    {"nodes since a version", [](auto &api) { return ok(api.getNodes(u"t"_s, u"v 1+2/3&x=y?#é%"_s)); },
     "GET /api/nodes?version=v%201%2B2%2F3%26x%3Dy%3F%23%C3%A9%25", "Bearer t", ""},
};

} // namespace

class TestApiService : public QObject {
    Q_OBJECT

private:
    QNetworkAccessManager m_network;
    ScriptedServer m_server;

    ApiService service(const QUrl &base, std::chrono::milliseconds timeout = 5000ms, qint64 limit = 16 * 1024 * 1024,
                       std::chrono::milliseconds deadline = 60000ms)
    {
        return ApiService({&m_network, base, timeout, limit, deadline});
    }
    ApiService service() { return service(m_server.baseUrl()); }
    static QUrl loopback(quint16 port) { return QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port)); }

    // A loopback address where nothing listens any more.
    static QUrl refusingUrl()
    {
        QTcpServer closed;
        return closed.listen(QHostAddress::LocalHost, 0) ? loopback(closed.serverPort()) : QUrl();
    }

    static QJsonObject bodyOf(const ScriptedServer::Received &received)
    {
        return QJsonDocument::fromJson(received.body).object();
    }

private slots:
    // Only 2xx passes; over the wire too, for the statuses an HTTP stack delivers as they are.
    void statusBoundaries_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("passes");
        QTest::addColumn<bool>("overTheWire");
        QTest::newRow("199") << 199 << false << false;
        QTest::newRow("200") << 200 << true << true;
        QTest::newRow("299") << 299 << true << true;
        QTest::newRow("300") << 300 << false << true;
        QTest::newRow("304") << 304 << false << false;
        QTest::newRow("404") << 404 << false << true;
        QTest::newRow("500") << 500 << false << false;
    }

    void statusBoundaries()
    {
        QFETCH(int, status);
        QFETCH(bool, passes);
        QFETCH(bool, overTheWire);
        const std::optional<ApiError> error = ApiService::checkStatus(status, "{}");
        QCOMPARE(!error.has_value(), passes);
        if (error) {
            QCOMPARE(error->domain, QStringLiteral("ApiService"));
            QCOMPARE(error->code, status);
            QCOMPARE(error->message, QStringLiteral("Request failed"));
        }
        QVERIFY(!ApiService::checkStatus(-1, "not http at all"));
        if (!overTheWire)
            return;
        m_server.answerWith(status, "{}");
        const ApiResult<UserMeResponse> result = QCoro::waitFor(service().getUserMe(QStringLiteral("t")));
        QCOMPARE(result.ok(), passes);
        if (!passes)
            QCOMPARE(result.error().code, status);
    }

    void serverMessages_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QString>("message");
        const QByteArray json = "application/json";
        QTest::newRow("401 message") << 401 << QByteArray(R"({"message":"Token expired"})") << json << "Token expired";
        QTest::newRow("400 error only") << 400 << QByteArray(R"({"error":"Bad input"})") << json << "Bad input";
        QTest::newRow("message wins over error") << 400 << QByteArray(R"({"error":"E","message":"M"})") << json << "M";
        QTest::newRow("number spoils the map")
            << 500 << QByteArray(R"({"message":"Boom","code":7})") << json << "Request failed";
        QTest::newRow("null spoils the map")
            << 500 << QByteArray(R"({"message":"Boom","detail":null})") << json << "Request failed";
        QTest::newRow("nested object spoils the map")
            << 500 << QByteArray(R"({"message":"Boom","x":{}})") << json << "Request failed";
        QTest::newRow("html 502") << 502 << QByteArray("<html><body>Bad Gateway</body></html>")
                                  << QByteArray("text/html") << "Request failed";
        QTest::newRow("empty 404") << 404 << QByteArray() << json << "Request failed";
        QTest::newRow("list body") << 400 << QByteArray(R"(["message"])") << json << "Request failed";
        QTest::newRow("neither key") << 418 << QByteArray(R"({"detail":"teapot"})") << json << "Request failed";
        // Qt reports it as a failure of the connection (a proxy's), yet an HTTP answer came.
        QTest::newRow("407") << 407 << QByteArray(R"({"message":"Proxy login needed"})") << json
                             << "Proxy login needed";
        // A blank text is no message: the next key, or the generic text, so a failure always has words.
        QTest::newRow("empty message falls back") << 403 << QByteArray(R"({"message":""})") << json << "Request failed";
        QTest::newRow("blank message, error")
            << 403 << QByteArray(R"({"message":" ","error":"Forbidden"})") << json << "Forbidden";
    }

    void serverMessages()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, contentType);
        QFETCH(QString, message);
        m_server.answerWith(status, body, contentType);
        const ApiResult<AuthResponse> result =
            QCoro::waitFor(service().login(QStringLiteral("a@b.c"), QStringLiteral("secret")));
        QVERIFY(!result);
        QCOMPARE(result.error().domain, QStringLiteral("ApiService"));
        QCOMPARE(result.error().code, status);
        QCOMPARE(result.error().message, message);
    }

    void eachCallSendsItsRequest_data()
    {
        QTest::addColumn<int>("row");
        for (int row = 0; row < int(std::size(kRequests)); ++row)
            QTest::newRow(kRequests[row].name) << row;
    }

    void eachCallSendsItsRequest()
    {
        QFETCH(int, row);
        const RequestShape &expected = kRequests[row];
        // One answer that every call decodes.
        m_server.answerWith(200, R"({"user":{"id":"u","email":"a@b.c"},"accessToken":"a","refreshToken":"r",)"
                                 R"("version":"v","psk":"k","cached":true})");
        QVERIFY(expected.call(service(m_server.baseUrl(QString::fromUtf8(expected.base)))));
        const ScriptedServer::Received &received = m_server.last();
        QCOMPARE(received.method + ' ' + received.path + (received.hasQuery ? u'?' + received.query : QString()),
                 QString::fromUtf8(expected.request));
        QCOMPARE(received.headers.contains("authorization"), !expected.bearer.isEmpty());
        QCOMPARE(received.headers.value("authorization"), expected.bearer);
        const QByteArray body =
            QString::fromUtf8(expected.body).replace(u"%1"_s, ApiService::deviceFingerprint()).toUtf8();
        QCOMPARE(received.headers.contains("content-type"), !body.isEmpty());
        QCOMPARE(received.headers.value("content-type"), body.isEmpty() ? QByteArray() : "application/json");
        QCOMPARE(received.body.isEmpty(), body.isEmpty());
        QCOMPARE(bodyOf(received), QJsonDocument::fromJson(body).object());
        QVERIFY(!ApiService::deviceFingerprint().isEmpty());
    }

    void emptyTokenGoesOutAsBearerAndOneSpace()
    {
        QTcpServer raw;
        QVERIFY(raw.listen(QHostAddress::LocalHost, 0));
        QByteArray request;
        connect(&raw, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *socket = raw.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [&request, socket] {
                request += socket->readAll();
                if (request.contains("\r\n\r\n"))
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                                  "2\r\nConnection: close\r\n\r\n{}");
            });
        });
        QVERIFY(QCoro::waitFor(service(loopback(raw.serverPort())).getUserMe(QString())));
        QVERIFY2(request.contains("\r\nAuthorization: Bearer \r\n"), request.constData());
    }

    void successThatDoesNotDecodeIsNotA401()
    {
        m_server.answerWith(200, R"({"user":{"id":1,"email":"a@b.c"},"accessToken":"a","refreshToken":"r"})");
        const ApiResult<AuthResponse> wrongType =
            QCoro::waitFor(service().login(QStringLiteral("a"), QStringLiteral("b")));
        QVERIFY(!wrongType);
        QVERIFY(wrongType.error().code != 401);
        QVERIFY(wrongType.error().domain != QLatin1String("ApiService"));

        m_server.answerWith(200, "<html>maintenance</html>", "text/html");
        const ApiResult<UserMeResponse> html = QCoro::waitFor(service().getUserMe(QStringLiteral("t")));
        QVERIFY(!html);
        QVERIFY(html.error().code != 401);

        m_server.answerWith(200, QByteArray(100000, '['));
        const ApiResult<NodesResponse> deep = QCoro::waitFor(service().getNodes(QStringLiteral("t"), std::nullopt));
        QVERIFY(!deep);
    }

    void logoutNeverFails()
    {
        m_server.answerWith(500, R"({"message":"down"})");
        QCoro::waitFor(service().logout(QStringLiteral("a"), QStringLiteral("r")));
        m_server.answerWith(200, QByteArray());
        const qsizetype before = m_server.received().size();
        QCoro::waitFor(service().logout(QStringLiteral("a"), QStringLiteral("r")));
        // It returned after the request reached the server, not before.
        QCOMPARE(m_server.received().size(), before + 1);

        QCoro::waitFor(service(refusingUrl()).logout(QStringLiteral("a"), QStringLiteral("r")));
    }

    void refusedConnectionIsATransportFailure()
    {
        const ApiResult<UserMeResponse> result = QCoro::waitFor(service(refusingUrl()).getUserMe(QStringLiteral("t")));
        QVERIFY(!result);
        QCOMPARE(result.error().domain, QStringLiteral("Network"));
        QVERIFY(result.error().code != 401);
        QVERIFY(!result.error().message.isEmpty());
    }

    void silentServerTimesOutWithout401()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        QList<QTcpSocket *> held;
        connect(&silent, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *socket = silent.nextPendingConnection())
                held.append(socket); // accepted, read, never answered
        });
        const ApiResult<NodesResponse> result =
            QCoro::waitFor(service(loopback(silent.serverPort()), 200ms).getNodes(QStringLiteral("t"), std::nullopt));
        QVERIFY(!result);
        QCOMPARE(result.error().message, QStringLiteral("The request timed out"));
        QVERIFY(result.error().code != 401);
        QVERIFY(!held.isEmpty());
    }

    // A redirect is an answer like any other failure: the password and the token never go to where it
    // points, whatever the method, the code or the target.
    void redirectsAreNeverFollowed_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("signIn");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        QTest::newRow("307 on sign-in") << 307 << true << QByteArray() << QStringLiteral("Request failed");
        QTest::newRow("308 on sign-in") << 308 << true << QByteArray("{\"message\":\"Moved\"}")
                                        << QStringLiteral("Moved");
        QTest::newRow("302 on the account")
            << 302 << false << QByteArray("<html>moved</html>") << QStringLiteral("Request failed");
        QTest::newRow("301 on the account") << 301 << false << QByteArray() << QStringLiteral("Request failed");
    }
    void redirectsAreNeverFollowed()
    {
        QFETCH(int, status);
        QFETCH(bool, signIn);
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        // Another loopback address and port stands for another host.
        ScriptedServer elsewhere{QHostAddress(QStringLiteral("127.0.0.2"))};
        QVERIFY(elsewhere.baseUrl().port() > 0);
        ScriptedServer origin;
        origin.answerWith(
            {status,
             body,
             "application/json",
             {{"Location", elsewhere.baseUrl().resolved(QUrl(QStringLiteral("api/steal"))).toEncoded()}}});

        const auto failureOf = [](const auto &result) { return result ? std::nullopt : std::optional(result.error()); };
        const std::optional<ApiError> failure =
            signIn ? failureOf(QCoro::waitFor(
                         service(origin.baseUrl()).login(QStringLiteral("a@b.c"), QStringLiteral("secret"))))
                   : failureOf(QCoro::waitFor(service(origin.baseUrl()).getUserMe(QStringLiteral("token"))));
        QCOMPARE(failure, std::optional(ApiError::status(status, message)));
        QCOMPARE(origin.received().size(), 1);
        QTest::qWait(50); // a follow-up that went out would have arrived by now
        QVERIFY(elsewhere.received().isEmpty());
    }

    // The no-progress timeout never fires on an answer that trickles in; the overall deadline does.
    void aTricklingAnswerEndsAtTheDeadline()
    {
        QTcpServer slow;
        QVERIFY(slow.listen(QHostAddress::LocalHost, 0));
        QTcpSocket *peer = nullptr;
        QTimer drip;
        connect(&slow, &QTcpServer::newConnection, this, [&] {
            peer = slow.nextPendingConnection();
            peer->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100000\r\n\r\n{");
            drip.start(20);
        });
        connect(&drip, &QTimer::timeout, this, [&] {
            if (peer)
                peer->write(" ");
        });
        QElapsedTimer clock;
        clock.start();
        const ApiResult<NodesResponse> result =
            QCoro::waitFor(service(loopback(slow.serverPort()), 5000ms, 16 * 1024 * 1024, 400ms)
                               .getNodes(QStringLiteral("t"), std::nullopt));
        QVERIFY(!result);
        QCOMPARE(result.error(), ApiError::transport(QStringLiteral("The request took too long")));
        QVERIFY2(clock.elapsed() >= 400 && clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    }

    void oversizedAnswerIsRefused()
    {
        m_server.answerWith(200, "{\"pad\":\"" + QByteArray(64 * 1024, 'x') + "\"}");
        const ApiResult<UserMeResponse> result =
            QCoro::waitFor(service(m_server.baseUrl(), 5000ms, 16 * 1024).getUserMe(QStringLiteral("t")));
        QVERIFY(!result);
        QVERIFY2(result.error().message.contains(QLatin1String("larger")), qPrintable(result.error().message));
        QVERIFY(result.error().code != 401);
        // The same answer under the default limit decodes.
        QVERIFY(QCoro::waitFor(service().getUserMe(QStringLiteral("t"))));
    }
};

QTEST_GUILESS_MAIN(TestApiService)
#include "tst_apiservice.moc"
