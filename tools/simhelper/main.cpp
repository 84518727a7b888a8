// A simulated tunnel helper with the real helper's command line and environment, for the demo and
// the tests. It carries no traffic. It writes the start marker to its output after a short delay and
// stays up until it is signalled; in smart mode it leaves a clean-up script behind. Environment:
//   NIMBREL_SIMHELPER_SCENARIO  normal (default), error, capital-error, exit-early, die-later, silent,
//                               ignore-term, flood, marker-and-error, error-after-marker, split-marker,
//                               error-then-flood (an error word, then the flood, then the marker),
//                               exec (becomes another program, a shell that says the marker and runs
//                               until SIGTERM: same process, new command line), chatty (after the
//                               marker, NIMBREL_SIMHELPER_LINES_PER_SECOND lines a second, default 1000)
//   NIMBREL_SIMHELPER_DELAY_MS  delay before the first output (default 300)
//   NIMBREL_SIMHELPER_RECORD    file to record the arguments and environment in (JSON); the PSK is
//                               recorded only as present/absent and as a SHA-256 digest
//   NIMBREL_SIMHELPER_CLEANUP_SCRIPT, NIMBREL_SIMHELPER_GATEWAY_FILE  smart-mode files
//                               (default /tmp/fw_smart_cleanup.sh and /tmp/fw_smart_gw.txt)
//   NIMBREL_SIMHELPER_FLOOD_BYTES  log volume of the flood scenario (default 10 MB)
//   NIMBREL_SIMHELPER_MAX_LIFE_MS  ends by itself after this long (default one hour)
//   NIMBREL_SIMHELPER_STOP_DELAY_MS  once asked to stop, takes this long to end (default 0)
//   NIMBREL_SIMHELPER_LAUNCH_LOG   file to append "<pid> <monotonic ns>" to at each start
//   NIMBREL_SIMHELPER_MARKER_LOG   the same, once the start marker is written
//   NIMBREL_SIMHELPER_ROUTES       routes to add with "/sbin/ip route add" before the marker, separated by
//                                  ";" (for example "0.0.0.0/1 dev lo;128.0.0.0/1 dev lo")
// Started by the control program (SUDO_UID set), it runs as root with a fixed environment: these
// variables then come from the root-owned file /usr/local/etc/nimbrel/simhelper, NAME=VALUE a line.

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onTerm(int)
{
    g_stop = 1;
}

const QByteArray kMarker = QByteArrayLiteral("VPN \xe9\x9a\xa7\xe9\x81\x93\xe5\xb7\xb2\xe5\x90\xaf\xe5\x8a\xa8");

void say(const QByteArray &text)
{
    qsizetype done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(STDOUT_FILENO, text.constData() + done, size_t(text.size() - done));
        if (written <= 0)
            return;
        done += written;
    }
}

void sleepMs(qint64 ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

qint64 number(const QProcessEnvironment &env, const char *name, qint64 fallback)
{
    bool ok = false;
    const qint64 value = env.value(QLatin1String(name)).toLongLong(&ok);
    return ok ? value : fallback;
}

void record(const QProcessEnvironment &env, const QStringList &arguments)
{
    const QString path = env.value(QStringLiteral("NIMBREL_SIMHELPER_RECORD"));
    if (path.isEmpty())
        return;
    QJsonObject variables;
    for (const QString &name : env.keys()) {
        if (name != QLatin1String("FERNWIRE_PSK"))
            variables.insert(name, env.value(name));
    }
    const QString psk = env.value(QStringLiteral("FERNWIRE_PSK"));
    QJsonObject entry{
        {QStringLiteral("arguments"), QJsonArray::fromStringList(arguments)},
        {QStringLiteral("pskPresent"), env.contains(QStringLiteral("FERNWIRE_PSK"))},
        {QStringLiteral("pskSha256"),
         QString::fromLatin1(QCryptographicHash::hash(psk.toUtf8(), QCryptographicHash::Sha256).toHex())},
        {QStringLiteral("environment"), variables},
        {QStringLiteral("pid"), qint64(::getpid())},
    };
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(QJsonDocument(entry).toJson());
}

qint64 monotonicNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Appends "<pid> <at>" to the file the variable names, if any (at: a CLOCK_MONOTONIC time in ns).
void stamp(const char *variable, qint64 at)
{
    const char *path = std::getenv(variable);
    if (path == nullptr || *path == '\0')
        return;
    const QByteArray line = QByteArray::number(qint64(::getpid())) + ' ' + QByteArray::number(at) + '\n';
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
        static_cast<void>(::write(fd, line.constData(), size_t(line.size())));
        ::close(fd);
    }
}

// Writes the start marker, stamped with the time just before it was written: whoever sees the marker
// sees it after that time.
void sayMarker()
{
    const qint64 before = monotonicNs();
    say(kMarker + "\n");
    stamp("NIMBREL_SIMHELPER_MARKER_LOG", before);
}

// Sets up what a real helper would: routes through the tunnel (here through whatever device is named).
bool addRoutes(const QProcessEnvironment &env)
{
    const QStringList routes =
        env.value(QStringLiteral("NIMBREL_SIMHELPER_ROUTES")).split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString &route : routes) {
        const QStringList arguments = QStringList{QStringLiteral("route"), QStringLiteral("add")} +
                                      route.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (QProcess::execute(QStringLiteral("/sbin/ip"), arguments) != 0) {
            say("error: ip " + arguments.join(QLatin1Char(' ')).toUtf8() + " failed\n");
            return false;
        }
    }
    return true;
}

void leaveCleanupScript(const QProcessEnvironment &env)
{
    QFile script(
        env.value(QStringLiteral("NIMBREL_SIMHELPER_CLEANUP_SCRIPT"), QStringLiteral("/tmp/fw_smart_cleanup.sh")));
    if (script.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        script.write("#!/bin/sh\n# undoes the split routing of the simulated helper\nexit 0\n");
        script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                              QFileDevice::ReadOther);
    }
    QFile gateway(env.value(QStringLiteral("NIMBREL_SIMHELPER_GATEWAY_FILE"), QStringLiteral("/tmp/fw_smart_gw.txt")));
    if (gateway.open(QIODevice::WriteOnly | QIODevice::Truncate))
        gateway.write("192.0.2.1\n");
}

// Only a file that root alone can change speaks to a helper running as root.
void loadRootsScenario()
{
    const char *path = "/usr/local/etc/nimbrel/simhelper";
    struct stat info {};
    if (::lstat(path, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != 0 || (info.st_mode & 022) != 0)
        return;
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly))
        return;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals > 0 && line.startsWith("NIMBREL_SIMHELPER_"))
            qputenv(line.left(equals).constData(), line.mid(equals + 1));
    }
}

} // namespace

namespace {

// What the helper writes to its output after the delay: the start marker, an error, or nothing.
void sayWhatTheScenarioSays(const QString &scenario, const QProcessEnvironment &env, qint64 delay)
{
    if (scenario == QLatin1String("error")) {
        say("handshake Error: the server refused the key\n");
    } else if (scenario == QLatin1String("capital-error")) {
        say("ERROR IN CAPITALS IS ONLY NOISE\n");
        sleepMs(delay);
        sayMarker();
    } else if (scenario == QLatin1String("marker-and-error")) {
        say(kMarker + "\nerror: a harmless warning in the same read\n");
    } else if (scenario == QLatin1String("split-marker")) {
        say(kMarker.left(6));
        sleepMs(delay);
        say(kMarker.mid(6) + "\n");
    } else if (scenario == QLatin1String("flood") || scenario == QLatin1String("error-then-flood")) {
        if (scenario == QLatin1String("error-then-flood"))
            say("error\n");
        const QByteArray line(1023, 'x');
        const qint64 lines = number(env, "NIMBREL_SIMHELPER_FLOOD_BYTES", 10 * 1024 * 1024) / 1024;
        for (qint64 i = 0; i < lines && !g_stop; ++i)
            say(line + '\n');
        sayMarker();
    } else if (scenario != QLatin1String("silent")) {
        sayMarker();
    }
}

// Stays up until signalled, or until the scenario or its maximum life ends it; the exit status.
int runUntilStopped(const QString &scenario, const QProcessEnvironment &env, qint64 delay)
{
    const qint64 maxLife = number(env, "NIMBREL_SIMHELPER_MAX_LIFE_MS", 3600 * 1000);

    const auto start = std::chrono::steady_clock::now();
    bool wroteLateError = false;
    const qint64 linesPerSecond = scenario == QLatin1String("chatty")
                                      ? number(env, "NIMBREL_SIMHELPER_LINES_PER_SECOND", 1000)
                                      : 0;
    qint64 linesWritten = 0;
    while (!g_stop) {
        sleepMs(20);
        const qint64 lived =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        if (lived > maxLife)
            break;
        if (scenario == QLatin1String("die-later") && lived > delay)
            return 3;
        QByteArray chatter;
        for (; linesWritten < lived * linesPerSecond / 1000; ++linesWritten)
            chatter += "keepalive " + QByteArray::number(linesWritten) + " rtt 23 ms\n";
        if (!chatter.isEmpty())
            say(chatter);
        if (scenario == QLatin1String("error-after-marker") && !wroteLateError && lived > delay) {
            say("error: a late warning after the tunnel is up\n");
            wroteLateError = true;
        }
    }
    if (g_stop)
        sleepMs(number(env, "NIMBREL_SIMHELPER_STOP_DELAY_MS", 0));
    say("simulated helper: stopped\n");
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (std::getenv("SUDO_UID") != nullptr)
        loadRootsScenario();
    stamp("NIMBREL_SIMHELPER_LAUNCH_LOG",
          monotonicNs()); // first thing, so that even a helper stopped at once has said so
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    record(env, arguments);

    const bool wellFormed =
        arguments.size() == 5 && arguments.at(0) == QLatin1String("--server-addr") &&
        arguments.at(2) == QLatin1String("--sni") &&
        (arguments.at(4) == QLatin1String("--smart") || arguments.at(4) == QLatin1String("--route-all"));
    if (!wellFormed) {
        say("error: usage: nimbrel-macos --server-addr HOST:PORT --sni NAME --smart|--route-all\n");
        return 2;
    }
    const bool smart = arguments.at(4) == QLatin1String("--smart");
    const QString scenario = env.value(QStringLiteral("NIMBREL_SIMHELPER_SCENARIO"), QStringLiteral("normal"));
    const qint64 delay = number(env, "NIMBREL_SIMHELPER_DELAY_MS", 300);

    std::signal(SIGTERM, scenario == QLatin1String("ignore-term") ? SIG_IGN : onTerm);
    std::signal(SIGINT, onTerm);

    say("simulated helper: connecting to " + arguments.at(1).toUtf8() + " as " + arguments.at(3).toUtf8() + "\n");
    sleepMs(delay);

    if (scenario == QLatin1String("exit-early"))
        return 1;
    if (scenario == QLatin1String("exec")) {
        const QByteArray script = "echo '" + kMarker + "'; trap 'exit 0' TERM; while :; do sleep 0.05; done";
        ::execl("/bin/sh", "sh", "-c", script.constData(), static_cast<char *>(nullptr));
        return 5;
    }
    if (!addRoutes(env))
        return 4;
    sayWhatTheScenarioSays(scenario, env, delay);
    if (smart && scenario != QLatin1String("silent"))
        leaveCleanupScript(env);
    return runUntilStopped(scenario, env, delay);
}
