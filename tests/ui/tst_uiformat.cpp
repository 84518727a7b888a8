#include "ui/UiFormat.h"

#include <QTest>
#include <QTimeZone>

class TestUiFormat : public QObject {
    Q_OBJECT

private slots:
    void expiry_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("fractional seconds") << "2025-03-01T12:00:00.123Z" << "2025-03-01";
        QTest::newRow("whole seconds") << "2025-03-01T12:00:00Z" << "2025-03-01";
        QTest::newRow("offset") << "2025-03-01T12:00:00+02:00" << "2025-03-01";
        QTest::newRow("no T, no zone") << "2025-03-01 12:00" << "2025-03-01";
        QTest::newRow("no zone") << "2025-03-01T23:30:00" << "2025-03-01";
        QTest::newRow("short") << "2025" << "2025";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("garbage") << "not a date at all" << "not a date";
    }

    void expiry()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QCOMPARE(UiFormat::formatExpiry(text), shown);
    }

    // The instant is shown as the local calendar date.
    void expiryFollowsTheLocalTimeZone()
    {
        const QByteArray saved = qgetenv("TZ");
        qputenv("TZ", "Pacific/Kiritimati"); // UTC+14
        tzset();
        QCOMPARE(UiFormat::formatExpiry(QStringLiteral("2025-03-01T12:00:00Z")), QStringLiteral("2025-03-02"));
        qputenv("TZ", "Etc/GMT+12"); // UTC-12
        tzset();
        QCOMPARE(UiFormat::formatExpiry(QStringLiteral("2025-03-01T12:00:00.5Z")), QStringLiteral("2025-03-01"));
        QCOMPARE(UiFormat::formatExpiry(QStringLiteral("2025-03-01T06:00:00Z")), QStringLiteral("2025-02-28"));
        if (saved.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", saved);
        tzset();
    }

    void avatarLetter()
    {
        QCOMPARE(UiFormat::avatarLetter(QStringLiteral("bob"), QStringLiteral("alice@example.org")),
                 QStringLiteral("B"));
        QCOMPARE(UiFormat::avatarLetter(QVariant(), QStringLiteral("alice@example.org")), QStringLiteral("A"));
        QCOMPARE(UiFormat::avatarLetter(QVariant(), QVariant()), QStringLiteral("?"));
        QCOMPARE(UiFormat::avatarLetter(QString(), QStringLiteral("alice@example.org")), QString());
        QCOMPARE(UiFormat::avatarLetter(QStringLiteral("élan"), QVariant()), QStringLiteral("É"));
        QCOMPARE(UiFormat::avatarLetter(QStringLiteral("🇯🇵x"), QVariant()), QStringLiteral("🇯🇵"));
    }

    void levels()
    {
        using L = UiFormat::Level;
        // Each level's first and last value; a failed probe (-1) is bad.
        for (const auto &[load, level] : {std::pair{49, L::Good}, {50, L::Warning}, {74, L::Warning}, {75, L::Bad}})
            QCOMPARE(UiFormat::loadLevel(load), level);
        for (const auto &[ms, level] :
             {std::pair{0, L::Good}, {99, L::Good}, {100, L::Warning}, {199, L::Warning}, {200, L::Bad}, {-1, L::Bad}})
            QCOMPARE(UiFormat::latencyLevel(ms), level);
    }
};

QTEST_GUILESS_MAIN(TestUiFormat)
#include "tst_uiformat.moc"
