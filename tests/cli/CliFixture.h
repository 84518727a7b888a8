#pragma once

#include "DevService.h"
#include "TestEnvironment.h"
#include "app/AppViewModel.h"
#include "cli/CliCommandTable.h"
#include "i18n/LanguageManager.h"
#include "platform/InstanceChannel.h"
#include "platform/PreferenceStore.h"
#include "platform/SystemInfo.h"
#include "tunnel/TunnelOwnership.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <functional>

using namespace Qt::Literals::StringLiterals;

namespace {

struct CliRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QJsonObject json() const { return QJsonDocument::fromJson(out).object(); }
};

// What a row has in place before its command runs.
enum Setup : int {
    SignedIn = 1 << 0,
    ProbedNodes = 1 << 1,    // the list: Toronto 01 (id 11, its port refuses) and Singapore 01 (id 2, it answers)
    RefusedKey = 1 << 2,     // the helper starts, and its log says the start failed
    AppHoldsTunnel = 1 << 3, // the app holds the tunnel and listens on its channel
};

using RunCheck = std::function<void(const CliRun &)>;

// One run of the client: what is in place, what it is asked, and what it answers. Expected texts are
// looked for with a newline in front of the output, so one that starts with "\n" starts a line; "{dir}"
// stands for the test's folder.
struct Row {
    QStringList args{};
    int setup = 0;
    std::function<void()> prepare{}; // what else is in place, once signed in
    QList<QStringList> before{};     // commands run first, with the same standard input
    QByteArray input{};              // standard input
    int exit = 0;
    QByteArrayList out{};    // each on standard output; none and no check: standard output stays empty
    QByteArrayList err{};    // each on standard error
    QByteArrayList absent{}; // on neither
    QStringList stored{};    // "key=value" in the settings file; "key=": not there; "key": there
    RunCheck check{};        // what the output cannot show
};

} // namespace

Q_DECLARE_METATYPE(Row)

// The real nimbrel-cli process against the local service running in this test, with a preference file,
// the demo platform (so route deletions are recorded, not run) and a copy of the simulated helper.
class CliFixture : public QObject {
protected:
    std::unique_ptr<DevService> m_service;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_scenario;
    QString m_delay;

    QString stateFile(const QString &name) const { return m_dir->filePath(name); }
    QString settingsFile() const { return stateFile(u"settings.conf"_s); }
    QString autostartFile() const { return stateFile(u"config/autostart/com.nimbrel.Nimbrel.desktop"_s); }
    QByteArray stateOf(const QString &name) const { return TestEnvironment::contentOf(stateFile(name)); }
    QByteArray privilegedCommands() const { return stateOf(u"privileged-commands.log"_s); }
    QByteArray lockRecord() const { return stateOf(u"tunnel.lock"_s); }
    qint64 helperPid() const { return QJsonDocument::fromJson(stateOf(u"helper.json"_s))["pid"].toInteger(-1); }
    QVariant stored(const QString &key) const { return QSettings(settingsFile(), QSettings::IniFormat).value(key); }

    QProcess *start(const QStringList &arguments, QObject *owner)
    {
        auto *cli = new QProcess(owner);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"NIMBREL_SIMHELPER_SCENARIO"_s, m_scenario);
        environment.insert(u"NIMBREL_SIMHELPER_DELAY_MS"_s, m_delay);
        environment.insert(u"NIMBREL_SIMHELPER_RECORD"_s, stateFile(u"helper.json"_s));
        environment.insert(u"NIMBREL_SIMHELPER_MAX_LIFE_MS"_s, u"20000"_s);
        environment.insert(u"XDG_CONFIG_HOME"_s, stateFile(u"config"_s)); // autostart
        cli->setProcessEnvironment(environment);
        // As a shell starts a job: the client leads a process group, which a terminal signals as one.
        cli->setChildProcessModifier([] { ::setpgid(0, 0); });
        const QString service = m_service->baseUrl().toString();
        cli->start(QStringLiteral(NIMBREL_CLI_BINARY),
                   QStringList{u"--settings"_s, settingsFile(), u"--api-base"_s, service, u"--demo"_s} + arguments);
        return cli;
    }

    // Runs the client to its end while this test's event loop serves its requests.
    CliRun run(const QStringList &arguments, const QByteArray &input = QByteArray())
    {
        QObject owner;
        QProcess *cli = start(arguments, &owner);
        if (!cli->waitForStarted(5000))
            qFatal("nimbrel-cli did not start");
        cli->write(input);
        cli->closeWriteChannel();
        if (!QTest::qWaitFor([cli] { return cli->state() == QProcess::NotRunning; }, 30000))
            qFatal("nimbrel-cli did not finish");
        return {cli->exitStatus() == QProcess::NormalExit ? cli->exitCode() : -1, cli->readAllStandardOutput(),
                cli->readAllStandardError()};
    }

    void signIn() { QCOMPARE(run({u"login"_s, u"demo@nimbrel.test"_s}, "nimbrel-demo\n").exitCode, 0); }

    // The service's first node (Tokyo 01, id 1, the one selected at sign-in; with ProbedNodes, Toronto 01)
    // under another name.
    void renameFirstNode(const QString &name)
    {
        QList<NodeInfo> nodes = m_service->nodes();
        nodes[0].name = name;
        m_service->setNodes(nodes);
    }

    // A row of a commands table, whose one column is "row".
    static void add(const QString &name, const Row &row) { QTest::newRow(qPrintable(name)) << row; }

    QJsonObject tunnelStatus() { return run({u"status"_s, u"--json"_s}).json()["tunnel"].toObject(); }

    static QList<QJsonObject> jsonLines(const QByteArray &out)
    {
        QList<QJsonObject> lines;
        for (const QByteArray &line : out.trimmed().split('\n'))
            lines.append(QJsonDocument::fromJson(line).object());
        return lines;
    }

    // Programs read the state words of connect --json; people read the status beside each, in the chosen
    // language: the first, and the start's verdict after it.
    RunCheck saysStates(const QStringList &states, const QString &verdict)
    {
        return [this, states, verdict](const CliRun &connect) {
            const QList<QJsonObject> lines = jsonLines(connect.out);
            QStringList seen;
            for (const QJsonObject &line : lines)
                seen.append(line.value(u"state"_s).toString());
            QCOMPARE(seen, states);
            LanguageManager languages(PreferenceStore::openFile(settingsFile()));
            QCOMPARE(lines.at(0).value(u"status"_s).toString(), languages.localized(u"vpn_connecting"_s));
            QCOMPARE(lines.at(1).value(u"status"_s).toString(), languages.localized(verdict));
        };
    }

    // A fresh service, folder and helper copy for each test function.
    void setUp()
    {
        m_service = std::make_unique<DevService>(DevService::Options{});
        QVERIFY(m_service->listen());
        m_dir = std::make_unique<QTemporaryDir>();
        m_scenario = u"normal"_s;
        m_delay = u"40"_s;
        QVERIFY(QFile::copy(QStringLiteral(NIMBREL_SIMHELPER_BINARY), stateFile(u"nimbrel-macos"_s)));
        QSettings(settingsFile(), QSettings::IniFormat).setValue(u"nimbrelBinaryPath"_s, stateFile(u"nimbrel-macos"_s));
    }

    // Puts in place what the test's row asks, runs its commands, and checks what the last one answers.
    void checkRow()
    {
        QFETCH(Row, row);
        if (row.setup & ProbedNodes)
            m_service->setNodes({m_service->nodes().at(10), m_service->nodes().at(1)});
        if (row.setup & SignedIn)
            signIn();
        if (row.setup & RefusedKey)
            m_scenario = u"error"_s;
        if (row.prepare)
            row.prepare();
        // The app, as far as the client can tell: it holds the tunnel and listens on its channel.
        TunnelOwnership app(stateFile(u"tunnel.lock"_s), u"nimbrel"_s);
        TunnelOwnership::Refusal problem;
        std::shared_ptr<TunnelOwnership::Lease> lease;
        InstanceChannel channel(InstanceChannel::socketPath(settingsFile()));
        QByteArrayList requests; // what the app was asked over its channel
        if (row.setup & AppHoldsTunnel) {
            lease = app.acquire(&problem);
            QVERIFY(lease);
            lease->setState(TunnelPhase::connected);
            lease->setTunnel(RunningNode{1, m_service->nodes().first().name, {}}, QDateTime::currentDateTimeUtc());
            QCOMPARE(channel.claim(), InstanceChannel::Role::Primary);
            channel.setHandler([&](const QByteArray &request) {
                requests.append(request);
                QTimer::singleShot(200, &channel, [&lease] { lease.reset(); }); // its clean-up ends a little later
                return QByteArray("disconnecting");
            });
        }

        for (const QStringList &command : row.before)
            run(command, row.input);
        const CliRun result = run(row.args, row.input);
        const QByteArray out = '\n' + result.out;
        const QByteArray err = '\n' + result.err;
        const QByteArray both = out + "\n---" + err;
        QVERIFY2(result.exitCode == row.exit, both.constData());
        // Every error is a whole line of its own, a usage error is only that, and JSON is one camelCase
        // document a line, each once.
        QVERIFY2(err.count('\n') == err.count("\nnimbrel-cli: ") + 1, both.constData());
        QVERIFY2(row.exit != 0 || result.err.isEmpty(), both.constData());
        QVERIFY2(row.exit != 2 || (result.out.isEmpty() && result.err.count('\n') == 1), both.constData());
        static const QRegularExpression keyNotCamelCase(u"[{,]\"(?![a-z][A-Za-z0-9]*\")[^\"]*\":"_s);
        for (const QByteArray &line :
             row.args.contains(u"--json"_s) ? result.out.trimmed().split('\n') : QByteArrayList())
            QVERIFY2(QJsonDocument::fromJson(line).isObject() && !QString::fromUtf8(line).contains(keyNotCamelCase)
                         && result.out.count(line + '\n') == 1, // nothing said twice
                     line.constData());

        QVERIFY2(!row.out.isEmpty() || row.check || result.out.isEmpty(), both.constData());
        for (const auto &[shown, expected] : {std::pair{out, row.out}, std::pair{err, row.err}}) {
            for (QByteArray text : expected)
                QVERIFY2(shown.contains(text.replace("{dir}", QFile::encodeName(m_dir->path()))),
                         (text + "\n---" + both).constData());
        }
        for (const QByteArray &text : row.absent)
            QVERIFY2(!both.contains(text), (text + "\n---" + both).constData());
        for (const QString &entry : row.stored) {
            const QVariant value = stored(entry.section(u'=', 0, 0));
            QVERIFY2(entry.contains(u'=') ? value.toString() == entry.section(u'=', 1) : value.isValid(),
                     qPrintable(entry));
        }
        if (row.setup & AppHoldsTunnel)
            QCOMPARE(requests, row.args == QStringList{"disconnect"} ? QByteArrayList{"disconnect"} : QByteArrayList{});
        if (row.check)
            row.check(result);
    }
};
