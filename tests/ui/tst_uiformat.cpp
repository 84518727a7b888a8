#include "ui/UiFormat.h"
#include "ui/WindowFit.h"

#include <QTest>
#include <QTimeZone>

class TestUiFormat : public QObject {
    Q_OBJECT

private slots:
    void expiry_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("fractional seconds") << "2025-03-01T12:00:00.123Z"
                                            << "2025-03-01";
        QTest::newRow("whole seconds") << "2025-03-01T12:00:00Z"
                                       << "2025-03-01";
        QTest::newRow("offset") << "2025-03-01T12:00:00+02:00"
                                << "2025-03-01";
        QTest::newRow("no T, no zone") << "2025-03-01 12:00"
                                       << "2025-03-01";
        QTest::newRow("no zone") << "2025-03-01T23:30:00"
                                 << "2025-03-01";
        QTest::newRow("short") << "2025"
                               << "2025";
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("garbage") << "not a date at all"
                                 << "not a date";
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

    // 1.0 to 1.12 in 1.2 s, eased (slow at both ends), back in as long, and again.
    void pulse()
    {
        for (const auto &[ms, scale] : {std::pair{0.0, 1.0},
                                        {120.0, 1.0024},
                                        {600.0, 1.06},
                                        {1080.0, 1.1176},
                                        {1200.0, 1.12},
                                        {1800.0, 1.06},
                                        {2400.0, 1.0},
                                        {3600.0, 1.12},
                                        {-5.0, 1.0}})
            QVERIFY2(qAbs(UiFormat::pulseScale(ms) - scale) < 1e-9, qPrintable(QString::number(ms)));
    }

    // The main window (680 tall, at least 480) inside its screen's available area and its frame.
    void theWindowFitsItsScreen_data()
    {
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QMargins>("frame");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("minimum");
        QTest::newRow("room to spare") << QRect(0, 27, 1280, 773) << QMargins(0, 37, 0, 8) << 680 << 480;
        QTest::newRow("a 720 px area, its frame counted")
            << QRect(0, 0, 1280, 720) << QMargins(4, 37, 4, 8) << 675 << 480;
        QTest::newRow("2560x1440 at scale 2, bottom panel")
            << QRect(0, 0, 1280, 696) << QMargins(2, 28, 2, 2) << 666 << 480;
        QTest::newRow("a second screen below the first")
            << QRect(0, 800, 1366, 728) << QMargins(0, 30, 0, 4) << 680 << 480;
        QTest::newRow("1280x800 at 1.5, shorter than the least")
            << QRect(0, 0, 853, 505) << QMargins(0, 37, 0, 8) << 460 << 460;
        QTest::newRow("a frame no screen holds") << QRect(0, 0, 100, 40) << QMargins(0, 37, 0, 8) << 1 << 1;
    }
    void theWindowFitsItsScreen()
    {
        QFETCH(QRect, available);
        QFETCH(QMargins, frame);
        QFETCH(int, height);
        QFETCH(int, minimum);
        QCOMPARE(WindowFit::fit(680, 480, available, frame), (WindowFit::Heights{height, minimum}));
    }
};

QTEST_GUILESS_MAIN(TestUiFormat)
#include "tst_uiformat.moc"
