#include "DevService.h"
#include "api/ApiService.h"

#include <QCoroTask>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTest>

#include <csignal>

using namespace std::chrono_literals;

// The local service the tests and the demo run against: what the client relies on that no other test
// shows (a refresh token is good once; the standalone program stops cleanly and prints no secret).
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

    void standaloneProgramPrintsItsAddressAndStopsOnSigterm()
    {
        QProcess program;
        program.start(QStringLiteral(NIMBREL_DEVSERVICE_BINARY), {QStringLiteral("--token-ttl"), QStringLiteral("5")});
        QVERIFY(program.waitForStarted());
        // The active demo account, the other one, then the address: loopback only.
        QStringList lines;
        QVERIFY(QTest::qWaitFor(
            [&] {
                while (program.canReadLine())
                    lines.append(QString::fromUtf8(program.readLine()).trimmed());
                return lines.size() >= 3;
            },
            10000));
        const QUrl base(lines.at(2));
        QCOMPARE(base.host(), QStringLiteral("127.0.0.1"));
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
