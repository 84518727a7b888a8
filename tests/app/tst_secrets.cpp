#include "DevService.h"
#include "TestEnvironment.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QString kPrefix = QStringLiteral("NMBSECRET");
const QByteArray kPassword = "NMBSECRET-password-4711";
const QString kEmail = QStringLiteral("secret@nimbrel.test");

} // namespace

// The whole flow, app and command-line client, with tokens, key and password that can be recognised:
// none of them may show up in any output, debug log or file, except the session in the preference file
// while signed in (private to the user) and the key in the helper's environment.
class TestSecrets : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<DevService> m_service;
    QTemporaryDir m_dir;
    QByteArray m_everything; // all output of every process

    QString settingsFile() const { return m_dir.filePath(QStringLiteral("settings.conf")); }

    QProcess *start(const QString &program, const QStringList &arguments, QObject *owner)
    {
        auto *process = new QProcess(owner);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("nimbrel.*.debug=true"));
        if (program == QLatin1String(NIMBREL_APP_BINARY))
            environment.insert(QStringLiteral("NIMBREL_DEMO_PASSWORD"), QString::fromLatin1(kPassword));
        environment.insert(QStringLiteral("NIMBREL_SIMHELPER_RECORD"), m_dir.filePath(QStringLiteral("helper.json")));
        environment.insert(QStringLiteral("NIMBREL_SIMHELPER_DELAY_MS"), QStringLiteral("40"));
        process->setProcessEnvironment(environment);
        process->start(program, QStringList{QStringLiteral("--settings"), settingsFile(), QStringLiteral("--api-base"),
                                            m_service->baseUrl().toString(), QStringLiteral("--demo")} +
                                    arguments);
        return process;
    }

    int finish(QProcess *process, int timeoutMs = 60000)
    {
        if (!QTest::qWaitFor([process] { return process->state() == QProcess::NotRunning; }, timeoutMs))
            qFatal("a process did not finish");
        const QByteArray output = process->readAllStandardOutput() + process->readAllStandardError();
        m_everything += output;
        const int code = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
        if (code != 0)
            qWarning("%s ended with %d:\n%s", qPrintable(process->program()), code, output.right(3000).constData());
        return code;
    }

    int cli(const QStringList &arguments, const QByteArray &input = QByteArray())
    {
        QObject owner;
        QProcess *process = start(QStringLiteral(NIMBREL_CLI_BINARY), arguments, &owner);
        process->waitForStarted();
        process->write(input);
        process->closeWriteChannel();
        return finish(process);
    }

private slots:
    void initTestCase()
    {
        DevService::Options options;
        options.secretPrefix = kPrefix;
        m_service = std::make_unique<DevService>(options);
        QVERIFY(m_service->listen());
        const QString helper = m_dir.filePath(QStringLiteral("nimbrel-macos"));
        QVERIFY(QFile::copy(QStringLiteral(NIMBREL_SIMHELPER_BINARY), helper));
        QSettings(settingsFile(), QSettings::IniFormat).setValue(QStringLiteral("nimbrelBinaryPath"), helper);
    }

    void noSecretLeavesItsPlace()
    {
        QCOMPARE(cli({QStringLiteral("register"), kEmail}, kPassword + '\n'), 0);
        QCOMPARE(cli({QStringLiteral("logout")}), 0);

        // The app signs in, probes, connects and disconnects, switches language and shows its panel.
        {
            QObject owner;
            QProcess *app = start(QStringLiteral(NIMBREL_APP_BINARY),
                                  {QStringLiteral("--screenshot-dir"), m_dir.filePath(QStringLiteral("shots")),
                                   QStringLiteral("--tour-account"), kEmail},
                                  &owner);
            QCOMPARE(finish(app), 0);
            // The helper the app started got the app's environment: without the tour's password.
            QVERIFY(!TestEnvironment::contentOf(m_dir.filePath(QStringLiteral("helper.json"))).contains(kPassword));
        }

        // The client signs in again and holds a tunnel until Ctrl-C.
        QCOMPARE(cli({QStringLiteral("logout")}), 0);
        QCOMPARE(cli({QStringLiteral("login"), kEmail}, kPassword + '\n'), 0);
        {
            QObject owner;
            QProcess *connect = start(QStringLiteral(NIMBREL_CLI_BINARY), {QStringLiteral("connect")}, &owner);
            QByteArray out;
            QTRY_VERIFY_WITH_TIMEOUT((out += connect->readAllStandardOutput()).contains("Connected\n"), 15000);
            m_everything += out;
            ::kill(pid_t(connect->processId()), SIGINT);
            QCOMPARE(finish(connect), 0);
        }
        QCOMPARE(cli({QStringLiteral("status"), QStringLiteral("--json")}), 0);

        // Where the session belongs: the preference file, readable by its owner only.
        QVERIFY(TestEnvironment::contentOf(settingsFile()).contains(kPrefix.toLatin1()));
        QCOMPARE(QFile(settingsFile()).permissions() &
                     ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
                 QFile::Permissions());
        // Where the key belongs: the helper's environment, which the simulated helper records only as a digest.
        const QJsonObject helper =
            QJsonDocument::fromJson(TestEnvironment::contentOf(m_dir.filePath(QStringLiteral("helper.json")))).object();
        QCOMPARE(helper.value(QStringLiteral("pskSha256")).toString(),
                 QString::fromLatin1(
                     QCryptographicHash::hash(m_service->psk().toUtf8(), QCryptographicHash::Sha256).toHex()));

        QCOMPARE(cli({QStringLiteral("logout")}), 0);

        // Nowhere else: no output, no debug log, no file left in the state folder.
        QVERIFY(!m_everything.isEmpty());
        for (const QByteArray &secret : {kPrefix.toLatin1(), kPassword}) {
            QVERIFY2(!m_everything.contains(secret), "a secret reached a process's output");
            // The failure names the file only: its text around the secret would hold the secret.
            for (QDirIterator files(m_dir.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
                 files.hasNext();) {
                QFile file(files.next());
                QVERIFY2(file.open(QIODevice::ReadOnly) && !file.readAll().contains(secret),
                         qPrintable(file.fileName() + QStringLiteral(" is unreadable or holds a secret")));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestSecrets)
#include "tst_secrets.moc"
