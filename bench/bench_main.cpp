// scripts/bench's driver: measures the seven figures, against a baseline measured in the same run where
// there is one, and prints one table. Process figures run the release binaries next to this one (bin/),
// offscreen.
//   NIMBREL_BENCH_RUNS          start-up runs of each program (default 161)
//   NIMBREL_BENCH_IDLE_SECONDS  length of the connected-and-idle CPU measurement (default 60)
//   NIMBREL_BENCH_TUNNEL_RUNS   connects for the marker-to-Connected figure (default 15)
#include "BenchSupport.h"
#include "DevService.h"
#include "api/ApiRecords.h"
#include "api/JsonFields.h"
#include "app/AppEnvironment.h"
#include "app/AppViewModel.h"
#include "app/NodeCatalog.h"
#include "i18n/LanguageManager.h"
#include "platform/PreferenceStore.h"
#include "platform/SystemInfo.h"
#include "tunnel/LogScanner.h"
#include "tunnel/TunnelLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace Bench;

int envInt(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

QProcessEnvironment offscreen()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The screen the tests use: the app's window is no taller than the screen, and the platform's own
    // (800×600) would make it shorter than the bare app's.
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen:configfile=" NIMBREL_SCREEN_FILE));
    environment.insert(QStringLiteral("QT_QUICK_BACKEND"), QStringLiteral("software"));
    return environment;
}

struct Outcome {
    double ms = -1;  // from the start of the process to the line
    QString line;    // the first line starting with the prefix
    QString output;  // everything, for errors
    QString failure; // why the line did not come (empty when it came)
};

// Runs a program with the event loop going (the local service answers meanwhile) until it prints a
// line starting with prefix and ends.
Outcome runUntil(const QString &program, const QStringList &arguments, const QString &prefix,
                 const QByteArray &input = QByteArray(), int timeoutMs = 180000)
{
    QProcess process;
    process.setProcessEnvironment(offscreen());
    Outcome outcome;
    QByteArray buffer;
    QEventLoop loop;
    QElapsedTimer clock;
    QObject::connect(&process, &QProcess::readyReadStandardOutput, &loop, [&] {
        buffer += process.readAllStandardOutput();
        for (const QByteArray &line : buffer.split('\n')) {
            if (outcome.ms < 0 && line.startsWith(prefix.toUtf8())) {
                outcome.ms = double(clock.nsecsElapsed()) / 1e6;
                outcome.line = QString::fromUtf8(line);
            }
        }
    });
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    bool timedOut = false;
    QTimer::singleShot(timeoutMs, &loop, [&] {
        timedOut = true;
        process.kill();
        loop.quit();
    });
    clock.start();
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    process.waitForFinished(5000);
    outcome.output = QString::fromUtf8(buffer + process.readAllStandardError());
    if (outcome.ms >= 0)
        return outcome;
    if (process.error() == QProcess::FailedToStart)
        outcome.failure = QStringLiteral("failed to start (%1)").arg(process.errorString());
    else if (timedOut)
        outcome.failure = QStringLiteral("timed out after %1 s without \"%2\"").arg(timeoutMs / 1000).arg(prefix);
    else if (process.exitStatus() == QProcess::CrashExit)
        outcome.failure = QStringLiteral("crashed before \"%1\"").arg(prefix);
    else
        outcome.failure = QStringLiteral("ended (exit code %1) without \"%2\"").arg(process.exitCode()).arg(prefix);
    return outcome;
}

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// P1: cold start to the first rendered frame of the sign-in screen, against the bare window app. The
// two take turns at starting first, so that neither always meets the machine as the other left it, and
// the ratio is the median of each run's own: the two start a moment apart, so a machine that is slower
// for a while slows both alike. Single runs' ratios spread from about 1.05 to 1.5 on the 2-core
// development machine; the median of 161 moves by about 0.02 from one batch to the next, of 41 by twice
// that. The figure counts only when every run gave one.
void startup(int runs)
{
    const auto ours = [] {
        QTemporaryDir state;
        return runUntil(binaryFolder() + QStringLiteral("/nimbrel"),
                        {QStringLiteral("--settings"), state.filePath(QStringLiteral("s.conf")),
                         QStringLiteral("--measure"), QStringLiteral("first-frame")},
                        QStringLiteral("first-frame"));
    };
    const auto theirs = [] {
        return runUntil(binaryFolder() + QStringLiteral("/nimbrel-bare"),
                        {QStringLiteral("--measure"), QStringLiteral("first-frame")}, QStringLiteral("first-frame"));
    };
    // Prints why a program gave no figure and returns true; false when it gave one.
    const auto failed = [](int run, const char *program, const Outcome &outcome) {
        if (outcome.failure.isEmpty())
            return false;
        std::fprintf(stderr, "P1 %s, %s: %s\n%s\n",
                     qPrintable(run < 0 ? QStringLiteral("warm-up run") : QStringLiteral("run %1").arg(run + 1)),
                     program, qPrintable(outcome.failure), qPrintable(outcome.output));
        return true;
    };
    QList<double> app;
    QList<double> bare;
    QList<double> ratios;
    int failedRuns = 0;
    // The first pair is not counted: it only brings freshly built files into the page cache, so that
    // every counted run starts a process from memory alike. It still has to succeed.
    for (int run = -1; run < runs; ++run) {
        Outcome mine;
        Outcome baseline;
        if (run % 2 == 0) {
            mine = ours();
            baseline = theirs();
        } else {
            baseline = theirs();
            mine = ours();
        }
        const bool oursFailed = failed(run, "nimbrel", mine);
        if (failed(run, "nimbrel-bare", baseline) || oursFailed) {
            ++failedRuns;
            continue;
        }
        if (run < 0)
            continue;
        app.append(mine.ms);
        bare.append(baseline.ms);
        ratios.append(mine.ms / baseline.ms);
    }
    const double ratio = median(ratios);
    const QString figure =
        failedRuns == 0
            ? QStringLiteral("P1 cold start to first frame (median of %1)").arg(app.size())
            : QStringLiteral("P1 cold start to first frame: %1 of %2 runs failed").arg(failedRuns).arg(runs + 1);
    const bool measured = !app.isEmpty();
    add({figure, measured ? number(median(app)) + QStringLiteral(" ms") : QStringLiteral("-"),
         measured ? number(median(bare)) + QStringLiteral(" ms") : QStringLiteral("-"),
         measured ? number(ratio, 2) + QStringLiteral("x") : QStringLiteral("-"), QStringLiteral("<= 1.2x"),
         failedRuns == 0 && measured && ratio <= 1.2});
}

// P2 and P3 (process): signed in against the local service with 1,000 nodes.
void signedIn(int idleSeconds)
{
    DevService service(DevService::Options{});
    if (!service.listen()) {
        std::fprintf(stderr, "the local service cannot listen\n");
        return;
    }
    service.setNodes(manyNodes(1000, 9));
    QTemporaryDir state;
    QString problem;
    const std::optional<QStringList> signedIn = signedInState(service, state, &problem);
    if (!signedIn) {
        std::fprintf(stderr, "%s\n", qPrintable(problem));
        return;
    }
    const QStringList &common = *signedIn;

    QList<double> app;
    QList<double> bare;
    for (int run = 0; run < 3; ++run) {
        const Outcome ours = runUntil(binaryFolder() + QStringLiteral("/nimbrel"),
                                      common + QStringList{QStringLiteral("--measure"), QStringLiteral("signed-in")},
                                      QStringLiteral("peak-rss-kb"));
        const Outcome theirs =
            runUntil(binaryFolder() + QStringLiteral("/nimbrel-bare"),
                     {QStringLiteral("--measure"), QStringLiteral("peak-rss")}, QStringLiteral("peak-rss-kb"));
        if (ours.ms < 0 || theirs.ms < 0) {
            std::fprintf(stderr, "P2 run %d gave no figure (no peak-rss-kb line):\n%s\n%s\n", run + 1,
                         qPrintable(ours.output), qPrintable(theirs.output));
            continue;
        }
        app.append(ours.line.section(QLatin1Char(' '), 1).toDouble() / 1024);
        bare.append(theirs.line.section(QLatin1Char(' '), 1).toDouble() / 1024);
    }
    const double ratio = median(app) / median(bare);
    add({QStringLiteral("P2 peak RSS signed in, 1,000 nodes (median of %1)").arg(app.size()),
         number(median(app), 1) + QStringLiteral(" MB"), number(median(bare), 1) + QStringLiteral(" MB"),
         number(ratio, 2) + QStringLiteral("x"), QStringLiteral("<= 1.5x"), app.size() == 3 && ratio <= 1.5});

    const Outcome idle = runUntil(binaryFolder() + QStringLiteral("/nimbrel"),
                                  common + QStringList{QStringLiteral("--demo"), QStringLiteral("--measure"),
                                                       QStringLiteral("connected-idle=%1").arg(idleSeconds)},
                                  QStringLiteral("cpu-ms"), QByteArray(), (idleSeconds + 60) * 1000);
    if (idle.ms < 0) {
        std::fprintf(stderr, "idle run failed:\n%s\n", qPrintable(idle.output));
        return;
    }
    const double cpu = idle.line.section(QLatin1Char(' '), 1, 1).toDouble();
    const double percent = cpu / (idleSeconds * 1000.0) * 100;
    add({QStringLiteral("P3 CPU connected, idle %1 s, window hidden").arg(idleSeconds),
         number(percent, 3) + QStringLiteral(" % (") + number(cpu) + QStringLiteral(" ms)"), QStringLiteral("-"),
         QStringLiteral("-"), QStringLiteral("<= 0.2 % of a core"), percent <= 0.2});
}

// P3 (monitor): one monitor cycle on a log of 1 KB and of 10 MB that no longer grows.
double monitorCycleNs(qint64 logBytes)
{
    QTemporaryDir dir;
    FileProblem problem;
    TunnelLog log = TunnelLog::create(dir.filePath(QStringLiteral("fw.log")), &problem);
    const QByteArray line(1023, 'x');
    for (qint64 written = 0; written < logBytes; written += 1024) {
        const QByteArray chunk = line + '\n';
        if (::write(log.writeDescriptor(), chunk.constData(), size_t(chunk.size())) != chunk.size())
            return -1;
    }
    log.closeWriteDescriptor();
    LogScanner scanner;
    while (log.offset() < logBytes)
        log.readNew(scanner, 1024 * 1024); // the catch-up, before the steady state measured below
    QList<double> samples;
    const pid_t self = ::getpid();
    for (int sample = 0; sample < 9; ++sample) {
        QElapsedTimer clock;
        clock.start();
        constexpr int kCycles = 20000;
        for (int cycle = 0; cycle < kCycles; ++cycle) {
            log.readNew(scanner, 1024 * 1024);
            static_cast<void>(SystemInfo::isProcessAlive(self));
        }
        samples.append(double(clock.nsecsElapsed()) / kCycles);
    }
    return median(samples);
}

void monitor()
{
    const double small = monitorCycleNs(1024);
    const double large = monitorCycleNs(10 * 1024 * 1024);
    const double ratio = large / small;
    add({QStringLiteral("P3 monitor cycle, 10 MB vs 1 KB log"), number(large / 1000, 2) + QStringLiteral(" us"),
         number(small / 1000, 2) + QStringLiteral(" us"), number(ratio, 2) + QStringLiteral("x"),
         QStringLiteral("<= 2x"), ratio <= 2});
}

std::unique_ptr<AppViewModel> quietViewModel(const QString &settings)
{
    AppEnvironment environment = AppEnvironment::production(PreferenceStore::openFile(settings));
    environment.apiBaseUrl = QUrl(QStringLiteral("http://127.0.0.1:9/"));
    return std::make_unique<AppViewModel>(environment);
}

// P4: decoding and applying a 10,000-node list, against parsing the same bytes.
void decode()
{
    NodesResponse response;
    response.version = QStringLiteral("v1");
    response.psk = QStringLiteral("key");
    response.nodes = manyNodes(10000, 443);
    const QByteArray bytes = QJsonDocument(response.toJson()).toJson(QJsonDocument::Compact);
    QTemporaryDir dir;
    QList<double> ours;
    QList<double> parse;
    // Each side in its own scope, so that neither runs in memory the other still holds, and in turns
    // first and second, so that neither always meets the allocator warm.
    const auto measureOurs = [&](int rep) {
        auto vm = quietViewModel(dir.filePath(QStringLiteral("s%1.conf").arg(rep)));
        QElapsedTimer clock;
        clock.start();
        QString problem;
        const std::optional<QJsonObject> object = JsonText::parseObject(bytes, &problem);
        const ApiResult<NodesResponse> decoded = NodesResponse::fromJson(*object);
        vm->nodeCatalog().take(decoded.value());
        ours.append(double(clock.nsecsElapsed()) / 1e6);
        if (vm->nodes().size() != 10000)
            std::fprintf(stderr, "decoding went wrong\n");
    };
    const auto measureParse = [&] {
        QElapsedTimer clock;
        clock.start();
        const QJsonDocument document = QJsonDocument::fromJson(bytes);
        parse.append(double(clock.nsecsElapsed()) / 1e6);
        if (document.isNull())
            std::fprintf(stderr, "parsing went wrong\n");
    };
    for (int rep = 0; rep < 16; ++rep) {
        if (rep % 2 == 0) {
            measureOurs(rep);
            measureParse();
        } else {
            measureParse();
            measureOurs(rep);
        }
    }
    const double ratio = median(ours) / median(parse);
    add({QStringLiteral("P4 decode + apply 10,000 nodes vs fromJson"), number(median(ours), 1) + QStringLiteral(" ms"),
         number(median(parse), 1) + QStringLiteral(" ms"), number(ratio, 2) + QStringLiteral("x"),
         QStringLiteral("<= 2x"), ratio <= 2});
}

// Loopback listeners with a deep backlog: their descriptors and ports, or none when one cannot listen.
std::optional<std::pair<QList<int>, QList<quint16>>> openListeners(int count)
{
    QList<int> listeners;
    QList<quint16> ports;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof(address);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
            ::listen(fd, 1024) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            std::fprintf(stderr, "cannot open a listener\n");
            return std::nullopt;
        }
        listeners.append(fd);
        ports.append(ntohs(address.sin_port));
    }
    return std::pair(listeners, ports);
}

// A plain blocking connect() to each port in turn, in milliseconds.
QList<double> blockingConnects(const QList<quint16> &ports, int count)
{
    QList<double> times;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = loopback(ports.at(i % ports.size()));
        QElapsedTimer clock;
        clock.start();
        const int connected = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address));
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        ::close(fd);
        if (connected == 0)
            times.append(ms);
    }
    return times;
}

// P5: 500 probes at once against loopback listeners: the longest stall of the main thread, and the
// median probe against a plain blocking connect() to the same listeners.
void probes()
{
    constexpr int kListeners = 8;
    constexpr int kProbes = 500;
    const auto opened = openListeners(kListeners);
    if (!opened)
        return;
    const auto &[listeners, ports] = *opened;
    QList<NodeInfo> nodes = manyNodes(kProbes, 0);
    for (int i = 0; i < kProbes; ++i)
        nodes[i].port = ports.at(i % kListeners);

    QTemporaryDir dir;
    auto vm = quietViewModel(dir.filePath(QStringLiteral("s.conf")));
    vm->nodeCatalog().take(NodesResponse{QStringLiteral("v1"), QStringLiteral("bench-key"), nodes, false});

    LagProbe lag;
    QEventLoop settle;
    lag.start();
    QTimer::singleShot(50, &settle, &QEventLoop::quit);
    settle.exec();
    lag.reset();

    int done = 0;
    QEventLoop all;
    QObject::connect(vm.get(), &AppViewModel::pingStateChanged, &all, [&](qint64 id) {
        if (!vm->pingingNodes().value(id) && vm->pingResults().contains(id) && ++done == kProbes)
            QTimer::singleShot(20, &all, &QEventLoop::quit); // a little more of the lag probe afterwards
    });
    for (const NodeInfo &node : nodes)
        vm->pingNodeById(node.id);
    all.exec();
    lag.stop();
    QList<double> ours;
    for (const qint64 milliseconds : vm->pingResults())
        ours.append(double(milliseconds));

    const QList<double> blocking = blockingConnects(ports, kProbes);
    for (const int fd : listeners)
        ::close(fd);

    const double stallMs = lag.worstMs();
    add({QStringLiteral("P5 500 probes: longest main-thread stall"), number(stallMs, 1) + QStringLiteral(" ms"),
         QStringLiteral("-"), QStringLiteral("-"), QStringLiteral("<= 16 ms"), stallMs <= 16});
    const bool allAnswered =
        ours.size() == kProbes && !std::any_of(ours.cbegin(), ours.cend(), [](double v) { return v < 0; });
    add({QStringLiteral("P5 500 probes: median probe vs blocking connect"),
         number(median(ours), 0) + QStringLiteral(" ms (whole ms)"),
         number(median(blocking), 3) + QStringLiteral(" ms"),
         QStringLiteral("+") + number(median(ours) - median(blocking), 2) + QStringLiteral(" ms"),
         QStringLiteral("<= baseline + 1 ms"), allAnswered && median(ours) <= median(blocking) + 1});
}

void printTable()
{
    const auto line = [](const QString &a, const QString &b, const QString &c, const QString &d, const QString &e,
                         const QString &f) {
        std::printf("%-52s %-22s %-12s %-10s %-20s %s\n", qPrintable(a), qPrintable(b), qPrintable(c), qPrintable(d),
                    qPrintable(e), qPrintable(f));
    };
    line(QStringLiteral("figure"), QStringLiteral("nimbrel"), QStringLiteral("baseline"), QStringLiteral("ratio"),
         QStringLiteral("target"), QStringLiteral("result"));
    for (const Row &row : rows())
        line(row.figure, row.ours, row.baseline, row.ratio, row.target,
             row.met ? QStringLiteral("met") : QStringLiteral("MISSED"));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    setBinaryFolder(QCoreApplication::applicationDirPath());
    LanguageManager::useSharedPreferences(
        PreferenceStore::openFile(QDir::temp().filePath(QStringLiteral("nimbrel-bench-language.conf"))));
    const QStringList only = QCoreApplication::arguments().mid(1); // P1 ... P11; all when none named
    const auto wanted = [&only](const char *figure) { return only.isEmpty() || only.contains(QLatin1String(figure)); };

    if (wanted("P1"))
        startup(envInt("NIMBREL_BENCH_RUNS", 161));
    if (wanted("P2") || wanted("P3"))
        signedIn(envInt("NIMBREL_BENCH_IDLE_SECONDS", 60));
    if (wanted("P3"))
        monitor();
    if (wanted("P4"))
        decode();
    if (wanted("P5"))
        probes();
    if (wanted("P6") || wanted("P7"))
        tunnelVerdicts(envInt("NIMBREL_BENCH_TUNNEL_RUNS", 15));
    if (wanted("P8"))
        visibleWindow(envInt("NIMBREL_BENCH_VISIBLE_SECONDS", 20));
    if (wanted("P9"))
        search();
    if (wanted("P10"))
        manyConnects(envInt("NIMBREL_BENCH_CONNECTS", 300));
    if (wanted("P11"))
        evening(envInt("NIMBREL_BENCH_EVENING_SECONDS", 600));
    printTable();
    return std::all_of(rows().cbegin(), rows().cend(), [](const Row &row) { return row.met; }) ? 0 : 1;
}
