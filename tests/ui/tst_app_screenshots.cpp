#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// Runs the real app binary offscreen with --screenshot-dir, as the demo does without a display.
class TestAppScreenshots : public QObject {
    Q_OBJECT

private slots:
    void writesAPictureOfEachScreenAndExits()
    {
        QTemporaryDir dir;
        const QString shots = dir.filePath(QStringLiteral("shots"));
        QProcess app;
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
            QCOMPARE(image.size(), QSize(440, 680));
            const QColor corner = image.pixelColor(2, 2); // the dark theme, on every screen
            QVERIFY2(corner.red() < 16 && corner.green() < 16 && corner.blue() < 40, qPrintable(name));
        }
    }
};

QTEST_GUILESS_MAIN(TestAppScreenshots)
#include "tst_app_screenshots.moc"
