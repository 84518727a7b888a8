#include "app/AppOptions.h"

#include <QTest>

class TestAppOptions : public QObject {
    Q_OBJECT

private slots:
    void settingsComeFromTheFlagBeforeTheEnvironment()
    {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("NIMBREL_SETTINGS"), QStringLiteral("/from/env.conf"));
        const AppOptions fromEnv = AppOptions::parse({QStringLiteral("nimbrel")}, environment);
        QCOMPARE(fromEnv.settingsFile, QStringLiteral("/from/env.conf"));
        QVERIFY(fromEnv.screenshotDir.isEmpty());

        const AppOptions fromFlag = AppOptions::parse(
            {QStringLiteral("nimbrel"), QStringLiteral("--settings"), QStringLiteral("/from/flag.conf"),
             QStringLiteral("--screenshot-dir"), QStringLiteral("/tmp/shots")},
            environment);
        QCOMPARE(fromFlag.settingsFile, QStringLiteral("/from/flag.conf"));
        QCOMPARE(fromFlag.screenshotDir, QStringLiteral("/tmp/shots"));
    }
};

QTEST_GUILESS_MAIN(TestAppOptions)
#include "tst_appoptions.moc"
