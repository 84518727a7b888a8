#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// Runs the real app binary offscreen: with --screenshot-dir, as the demo does without a display, and
// twice on one preference file.
class TestAppScreenshots : public QObject {
    Q_OBJECT

private slots:
    // On a screen shorter than the window (a 1280×800 screen at 1.5 scale leaves 533 points), the window
    // is no taller than the screen.
    void writesAPictureOfEachScreenAndExits_data()
    {
        QTest::addColumn<QString>("screen");
        QTest::addColumn<int>("height");
        QTest::newRow("1280x800") << "1280x800" << 680;
        QTest::newRow("853x533") << "853x533" << 529; // the screen less the frame the offscreen platform draws (2 + 2)
    }
    void writesAPictureOfEachScreenAndExits()
    {
        QFETCH(QString, screen);
        QFETCH(int, height);
        QTemporaryDir dir;
        const QString shots = dir.filePath(QStringLiteral("shots"));
        QProcess app;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"),
                           QStringLiteral("offscreen:configfile=%1/tests/support/screens/%2.json")
                               .arg(environment.value(QStringLiteral("NIMBREL_SOURCE_DIR")), screen));
        app.setProcessEnvironment(environment);
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.start(QStringLiteral(NIMBREL_APP_BINARY),
                  {QStringLiteral("--settings"), dir.filePath(QStringLiteral("settings.conf")),
                   QStringLiteral("--screenshot-dir"), shots});
        QVERIFY(app.waitForFinished(60000));
        QVERIFY2(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0, app.readAll().constData());

        const QStringList pictures = QDir(shots).entryList({QStringLiteral("*.png")}, QDir::Files, QDir::Name);
        QVERIFY2(pictures.size() >= 3, qPrintable(pictures.join(QLatin1Char(' '))));
        QVERIFY(pictures.first().endsWith(QLatin1String("login.png")));
        for (const QString &name : pictures) {
            const QImage image(QDir(shots).filePath(name));
            QCOMPARE(image.size(), QSize(440, height));
            const QColor corner = image.pixelColor(2, 2); // the dark theme, on every screen
            QVERIFY2(corner.red() < 16 && corner.green() < 16 && corner.blue() < 40, qPrintable(name));
        }
    }

    // Answered without a display: the options are read before the GUI exists.
    void textOnlyOptionsNeedNoDisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::newRow("--help") << QStringList{"--help"} << 0 << "Usage: ";
        QTest::newRow("-h") << QStringList{"-h"} << 0 << "--settings <file>";
        QTest::newRow("--version") << QStringList{"--version"} << 0 << "Nimbrel " NIMBREL_VERSION;
        QTest::newRow("the GUI's own options left to it")
            << QStringList{"-platform", "xcb", "-reverse", "-v"} << 0 << "Nimbrel " NIMBREL_VERSION;
        QTest::newRow("a mistyped option") << QStringList{"--setings"} << 1 << "Unknown option 'setings'";
    }
    void textOnlyOptionsNeedNoDisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QProcess app;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        app.setProcessEnvironment(environment);
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.start(QStringLiteral(NIMBREL_APP_BINARY), arguments);
        QVERIFY(app.waitForFinished(20000));
        const QString printed = QString::fromLocal8Bit(app.readAll());
        QVERIFY2(app.exitStatus() == QProcess::NormalExit, qPrintable(printed));
        QCOMPARE(app.exitCode(), exitCode);
        QVERIFY2(printed.contains(output), qPrintable(printed));
    }

    void aSecondLaunchRaisesTheFirstAndExits()
    {
        QTemporaryDir dir;
        const QStringList arguments{QStringLiteral("--settings"), dir.filePath(QStringLiteral("settings.conf"))};
        QProcess first;
        first.setProcessChannelMode(QProcess::MergedChannels);
        first.start(QStringLiteral(NIMBREL_APP_BINARY), arguments);
        QVERIFY(first.waitForStarted());
        // Listening before its window exists: wait until the socket is there.
        QTRY_VERIFY_WITH_TIMEOUT(!QDir(dir.filePath(QStringLiteral(".nimbrel")))
                                      .entryList({QStringLiteral(".nimbrel-*.sock")}, QDir::System | QDir::Hidden)
                                      .isEmpty(),
                                 20000);

        QProcess second;
        second.start(QStringLiteral(NIMBREL_APP_BINARY), arguments);
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(second.readAllStandardOutput(), QByteArray("nimbrel: already running; its window is in front now\n"));
        QCOMPARE(first.state(), QProcess::Running);

        first.terminate(); // quits cleanly on SIGTERM, and the socket goes with it
        QVERIFY(first.waitForFinished(20000));
        QCOMPARE(first.exitCode(), 0);
        QVERIFY(QDir(dir.filePath(QStringLiteral(".nimbrel")))
                    .entryList({QStringLiteral(".nimbrel-*.sock")}, QDir::System | QDir::Hidden)
                    .isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestAppScreenshots)
#include "tst_app_screenshots.moc"
