#include "DevService.h"
#include "api/ApiService.h"

#include <QCoroTask>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>

#include <csignal>

using namespace std::chrono_literals;

// The local service through the real client, the way the app will use it.
class TestDevService : public QObject {
    Q_OBJECT

private:
    QNetworkAccessManager m_network;
    std::unique_ptr<DevService> m_service;

    ApiService api() { return ApiService({&m_network, m_service->baseUrl(), 5000ms, 16 * 1024 * 1024}); }

    AuthResponse signIn(const DevService::Account &account)
    {
        ApiResult<AuthResponse> result = QCoro::waitFor(api().login(account.email, account.password));
        if (!result)
            qFatal("sign-in failed: %s", qPrintable(result.error().message));
        return std::move(result).value();
    }

private slots:
    void init()
    {
        m_service = std::make_unique<DevService>(DevService::Options{});
        QVERIFY(m_service->listen());
    }

    void registrationRules()
    {
        const auto registered = QCoro::waitFor(
            api().registerAccount(QStringLiteral("new@example.org"), QStringLiteral("12345678"), std::nullopt));
        QVERIFY(registered);
        QCOMPARE(registered.value().user.email, QStringLiteral("new@example.org"));
        QCOMPARE(registered.value().user.nickname, std::nullopt);
        QVERIFY(registered.value().accessToken != registered.value().refreshToken);

        const auto taken = QCoro::waitFor(
            api().registerAccount(QStringLiteral("NEW@example.org"), QStringLiteral("abcdefgh"), QStringLiteral("x")));
        QVERIFY(!taken);
        QCOMPARE(taken.error().code, 409);
        QVERIFY(!taken.error().message.isEmpty());

        const auto shortPassword = QCoro::waitFor(
            api().registerAccount(QStringLiteral("other@example.org"), QStringLiteral("1234567"), std::nullopt));
        QVERIFY(!shortPassword);
        QCOMPARE(shortPassword.error().code, 400);

        // A new account starts with a trial, so it sees the node list.
        const auto trial = QCoro::waitFor(api().getUserMe(registered.value().accessToken));
        QVERIFY(trial && trial.value().subscription);
        QCOMPARE(trial.value().subscription->status, QStringLiteral("ACTIVE"));
    }

    void signInRules()
    {
        const auto wrong =
            QCoro::waitFor(api().login(m_service->activeDemoAccount().email, QStringLiteral("nope-nope")));
        QVERIFY(!wrong);
        QCOMPARE(wrong.error().code, 401);
        QVERIFY(!wrong.error().message.isEmpty());

        const AuthResponse session = signIn(m_service->activeDemoAccount());
        const auto me = QCoro::waitFor(api().getUserMe(session.accessToken));
        QVERIFY(me);
        QVERIFY(me.value().subscription.has_value());
        QCOMPARE(me.value().subscription->status, QStringLiteral("ACTIVE"));
        QVERIFY(me.value().subscription->planName.has_value());
        // ISO 8601 with fractional seconds.
        QVERIFY(QDateTime::fromString(*me.value().subscription->expiresAt, Qt::ISODateWithMs).isValid());
        QVERIFY(me.value().subscription->expiresAt->contains(QLatin1Char('.')));

        const auto free = QCoro::waitFor(api().getUserMe(signIn(m_service->freeDemoAccount()).accessToken));
        QVERIFY(free);
        QVERIFY(!free.value().subscription.has_value());
    }

    void refreshRotatesAndLogoutRevokes()
    {
        const AuthResponse first = signIn(m_service->activeDemoAccount());
        const auto renewed = QCoro::waitFor(api().refreshTokens(first.refreshToken));
        QVERIFY(renewed);
        QVERIFY(renewed.value().refreshToken != first.refreshToken);
        const auto reused = QCoro::waitFor(api().refreshTokens(first.refreshToken));
        QVERIFY(!reused);
        QCOMPARE(reused.error().code, 401);

        QCoro::waitFor(api().logout(renewed.value().accessToken, renewed.value().refreshToken));
        const auto afterLogout = QCoro::waitFor(api().refreshTokens(renewed.value().refreshToken));
        QVERIFY(!afterLogout);
        QCOMPARE(afterLogout.error().code, 401);
        QCOMPARE(m_service->requestCount(QStringLiteral("/api/auth/refresh")), 3);
        QCOMPARE(m_service->requestCount(QStringLiteral("/api/auth/logout")), 1);
    }

    void accessTokensExpire()
    {
        m_service->setAccessTokenTtl(1ms);
        const AuthResponse session = signIn(m_service->activeDemoAccount());
        QTest::qWait(5);
        const auto expired = QCoro::waitFor(api().getUserMe(session.accessToken));
        QVERIFY(!expired);
        QCOMPARE(expired.error().code, 401);

        m_service->setAccessTokenTtl(10min);
        const auto renewed = QCoro::waitFor(api().refreshTokens(session.refreshToken));
        QVERIFY(renewed);
        QVERIFY(QCoro::waitFor(api().getUserMe(renewed.value().accessToken)));
        m_service->expireAccessTokens();
        QCOMPARE(QCoro::waitFor(api().getUserMe(renewed.value().accessToken)).error().code, 401);
    }

    void nodeListIsVersionedAndGuarded()
    {
        const AuthResponse session = signIn(m_service->activeDemoAccount());
        const auto first = QCoro::waitFor(api().getNodes(session.accessToken, std::nullopt));
        QVERIFY(first);
        QVERIFY(!first.value().cached);
        QVERIFY(first.value().nodes.has_value());
        QVERIFY(first.value().nodes->size() >= 12);
        QVERIFY(!first.value().psk.isEmpty());
        QCOMPARE(first.value().version, m_service->nodesVersion());
        int offline = 0;
        for (const NodeInfo &node : *first.value().nodes) {
            offline += node.status == QLatin1String("OFFLINE") ? 1 : 0;
            QVERIFY(node.port > 0 && node.port <= 65535);
        }
        QCOMPARE(offline, 1);

        const auto second = QCoro::waitFor(api().getNodes(session.accessToken, first.value().version));
        QVERIFY(second);
        QVERIFY(second.value().cached);
        QVERIFY(!second.value().nodes.has_value());
        QCOMPARE(second.value().psk, first.value().psk);

        QList<NodeInfo> changed = m_service->nodes();
        changed.removeFirst();
        m_service->setNodes(changed);
        const auto third = QCoro::waitFor(api().getNodes(session.accessToken, first.value().version));
        QVERIFY(third);
        QVERIFY(!third.value().cached);
        QVERIFY(third.value().version != first.value().version);
        QCOMPARE(third.value().nodes->size(), changed.size());

        QCOMPARE(QCoro::waitFor(api().getNodes(QStringLiteral("forged"), std::nullopt)).error().code, 401);
        const auto forbidden =
            QCoro::waitFor(api().getNodes(signIn(m_service->freeDemoAccount()).accessToken, std::nullopt));
        QCOMPARE(forbidden.error().code, 403);
        QVERIFY(!forbidden.error().message.isEmpty());
    }

    // The probe targets behave as their nodes promise: open ports accept, one refuses, one never answers.
    void nodesPointAtRealEndpoints()
    {
        const QList<NodeInfo> nodes = m_service->nodes();
        QTcpSocket open;
        open.connectToHost(nodes.first().host, quint16(nodes.first().port));
        QVERIFY(open.waitForConnected(2000));

        QTcpSocket refused;
        refused.connectToHost(nodes.at(10).host, quint16(nodes.at(10).port));
        QVERIFY(!refused.waitForConnected(2000));
        QCOMPARE(refused.error(), QAbstractSocket::ConnectionRefusedError);

        QTcpSocket silent;
        silent.connectToHost(nodes.at(11).host, quint16(nodes.at(11).port));
        QVERIFY(!silent.waitForConnected(300));
        QCOMPARE(silent.error(), QAbstractSocket::SocketTimeoutError);
    }

    void standaloneProgramPrintsItsAddressAndStopsOnSigterm()
    {
        QProcess program;
        program.start(QStringLiteral(NIMBREL_DEVSERVICE_BINARY), {QStringLiteral("--token-ttl"), QStringLiteral("5")});
        QVERIFY(program.waitForStarted());
        QStringList lines;
        QElapsedTimer clock;
        clock.start();
        while (lines.size() < 3 && clock.elapsed() < 10000) {
            program.waitForReadyRead(200);
            while (program.canReadLine())
                lines.append(QString::fromUtf8(program.readLine()).trimmed());
        }
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(0).startsWith(QLatin1String("demo account (active): ")));
        QVERIFY(lines.at(1).startsWith(QLatin1String("demo account (no subscription): ")));
        const QUrl base(lines.at(2));
        QCOMPARE(base.scheme(), QStringLiteral("http"));
        QCOMPARE(base.host(), QStringLiteral("127.0.0.1"));
        QVERIFY(base.path() == QLatin1String("/"));

        const QString email = lines.at(0).section(QLatin1Char(' '), 3, 3);
        const QString password = lines.at(0).section(QLatin1Char(' '), 5, 5);
        const auto session = QCoro::waitFor(ApiService({&m_network, base, 5000ms, 1 << 24}).login(email, password));
        QVERIFY(session);

        ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
        QVERIFY(program.waitForFinished(5000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        // Nothing secret in what it printed: no token, no key.
        const QByteArray rest = program.readAll();
        QVERIFY(!rest.contains(session.value().accessToken.toUtf8()));
    }
};

QTEST_GUILESS_MAIN(TestDevService)
#include "tst_devservice.moc"
