// P8 of scripts/bench's driver: what a visible window costs while connected, under an X server.
#include "BenchSupport.h"
#include "DevService.h"

#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <unistd.h>

namespace Bench {

namespace {

// A process's CPU time so far (user and system) from /proc, in ms; -1 when it cannot be read.
qint64 processCpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command's closing parenthesis: utime and stime are the 12th and 13th.
    const QList<QByteArray> fields = stat.readAll().split(')').last().simplified().split(' ');
    if (fields.size() < 13)
        return -1;
    return (fields.at(11).toLongLong() + fields.at(12).toLongLong()) * 1000 / ::sysconf(_SC_CLK_TCK);
}

// An X server without a screen, on a display of its own; its display is empty when it did not start.
struct XServer {
    QProcess process;
    QString display;

    XServer()
    {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (program.isEmpty())
            return;
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        process.setProgram(program);
        process.setArguments({QStringLiteral("-displayfd"), QString::number(fds[1]), QStringLiteral("-screen"),
                              QStringLiteral("0"), QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                              QStringLiteral("tcp")});
        process.setChildProcessModifier([fd = fds[0]] { ::close(fd); });
        process.start();
        ::close(fds[1]);
        QFile reader;
        if (process.waitForStarted() && reader.open(fds[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
            display = QStringLiteral(":") + QString::fromLatin1(reader.readLine().trimmed());
    }
    ~XServer()
    {
        process.terminate();
        process.waitForFinished(5000);
    }
};

struct VisibleCost {
    double appPercent = -1;
    double serverPercent = -1;
    QString why; // why there is no figure
};

// The app signed in with the window shown (and connected, or not) on display: its CPU and the X server's
// over seconds, after its warm-up.
VisibleCost visibleCost(XServer &x, const QStringList &common, bool connected, int seconds)
{
    QProcess app;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), x.display);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.remove(QStringLiteral("QT_QUICK_BACKEND")); // the default backend, as a desktop has it
    app.setProcessEnvironment(environment);
    VisibleCost cost;
    qint64 serverBefore = -1;
    QByteArray output;
    QEventLoop loop;
    QObject::connect(&app, &QProcess::readyReadStandardOutput, &loop, [&] {
        output += app.readAllStandardOutput();
        if (serverBefore < 0 && output.contains("measuring\n"))
            serverBefore = processCpuMs(x.process.processId());
        const qsizetype at = output.indexOf("cpu-ms ");
        if (at >= 0 && output.indexOf('\n', at) > at && serverBefore >= 0) {
            const double window = seconds * 1000.0;
            cost.serverPercent = double(processCpuMs(x.process.processId()) - serverBefore) / window * 100;
            cost.appPercent = output.mid(at).split(' ').value(1).toDouble() / window * 100;
            loop.quit();
        }
    });
    QObject::connect(&app, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot((seconds + 90) * 1000, &loop, [&] {
        cost.why = QStringLiteral("timed out");
        loop.quit();
    });
    app.start(
        binaryFolder() + QStringLiteral("/nimbrel"),
        common +
            QStringList{
                QStringLiteral("--demo"), QStringLiteral("--measure"),
                QStringLiteral("%1=%2").arg(connected ? "visible-connected" : "visible-disconnected").arg(seconds)});
    loop.exec();
    app.kill();
    app.waitForFinished(5000);
    if (cost.appPercent < 0 && cost.why.isEmpty())
        cost.why = QStringLiteral("the app ended without a figure: ") +
                   QString::fromUtf8(output + app.readAllStandardError()).right(400);
    return cost;
}

} // namespace

void visibleWindow(int seconds)
{
    const auto missed = [](const QString &why) {
        add({QStringLiteral("P8 CPU connected, window shown (X server)"), QStringLiteral("no figure: ") + why,
             QString(), QString(), QStringLiteral("<= 10 % of a core"), false});
    };
    XServer x;
    if (x.display.isEmpty())
        return missed(QStringLiteral("Xvfb did not start (is it installed?)"));
    DevService service(DevService::Options{});
    if (!service.listen())
        return missed(QStringLiteral("the local service cannot listen"));
    QTemporaryDir state;
    QString problem;
    const std::optional<QStringList> common = signedInState(service, state, &problem);
    if (!common)
        return missed(problem);
    const VisibleCost idle = visibleCost(x, *common, false, seconds);
    const VisibleCost up = visibleCost(x, *common, true, seconds);
    if (!idle.why.isEmpty() || !up.why.isEmpty())
        return missed(idle.why.isEmpty() ? up.why : idle.why);
    add({QStringLiteral("P8 CPU connected, window shown, %1 s (X server)").arg(seconds),
         number(up.appPercent, 1) + QStringLiteral(" % (") + number(up.serverPercent, 1) + QStringLiteral(" %)"),
         QStringLiteral("disconnected ") + number(idle.appPercent, 1) + QStringLiteral(" % (") +
             number(idle.serverPercent, 1) + QStringLiteral(" %)"),
         QString(), QStringLiteral("<= 10 % of a core"), up.appPercent <= 10});
}

} // namespace Bench
