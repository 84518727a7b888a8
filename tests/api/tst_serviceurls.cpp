#include "api/ServiceUrls.h"
#include "app/AppOptions.h"

#include <QTest>

class TestServiceUrls : public QObject {
    Q_OBJECT

private slots:
    void apiBase_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("https") << "https://api.example.net/" << true;
        QTest::newRow("https with path") << "https://example.net/vpn/" << true;
        QTest::newRow("no trailing slash") << "https://api.example.net/v1" << false;
        QTest::newRow("http remote") << "http://api.example.net/" << false;
        QTest::newRow("http private address") << "http://192.168.1.5/" << false;
        QTest::newRow("http loopback") << "http://127.0.0.1:8080/" << true;
        QTest::newRow("http loopback range") << "http://127.8.9.10/" << true;
        QTest::newRow("http localhost") << "http://localhost:1234/" << true;
        QTest::newRow("http ipv6 loopback") << "http://[::1]:1234/" << true;
        QTest::newRow("http localhost lookalike") << "http://localhost.evil.example/" << false;
        QTest::newRow("ftp") << "ftp://example.net/" << false;
        QTest::newRow("relative") << "api/" << false;
        QTest::newRow("no host") << "https:///" << false;
        QTest::newRow("query") << "https://example.net/?x=1" << false;
    }

    void apiBase()
    {
        QFETCH(QString, url);
        QFETCH(bool, accepted);
        QCOMPARE(!ServiceUrls::apiBaseProblem(QUrl(url)).has_value(), accepted);
    }

    void overridesComeFromFlagThenEnvironment()
    {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("NIMBREL_API_BASE"), QStringLiteral("http://127.0.0.1:9/"));
        AppOptions options = AppOptions::parse({QStringLiteral("nimbrel")}, environment);
        QUrl api;
        QUrl site;
        QString problem;
        QVERIFY(options.resolveServiceUrls(&api, &site, &problem));
        QCOMPARE(api, QUrl(QStringLiteral("http://127.0.0.1:9/")));

        options = AppOptions::parse(
            {QStringLiteral("nimbrel"), QStringLiteral("--api-base"), QStringLiteral("http://example.net/")},
            environment);
        QVERIFY(!options.resolveServiceUrls(&api, &site, &problem));
        QVERIFY(problem.contains(QLatin1String("https")));
        QCOMPARE(api, QUrl(QStringLiteral("http://127.0.0.1:9/"))); // untouched on refusal
    }
};

QTEST_GUILESS_MAIN(TestServiceUrls)
#include "tst_serviceurls.moc"
