#include "Measurement.h"

#include "app/AppViewModel.h"

#include <QQuickWindow>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

Measurement::Measurement(AppViewModel &vm, QQuickWindow &window, std::function<void()> quit, QObject *parent)
    : QObject(parent)
    , m_vm(vm)
    , m_window(&window)
    , m_quit(std::move(quit))
{}

qint64 Measurement::peakRssKb()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
#ifdef Q_OS_MACOS
    return usage.ru_maxrss / 1024; // bytes there
#else
    return usage.ru_maxrss;
#endif
}

qint64 Measurement::cpuMs()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval &time) { return qint64(time.tv_sec) * 1000 + time.tv_usec / 1000; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

void Measurement::report(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
    m_quit();
}

void Measurement::afterNextFrame(std::function<void()> next)
{
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = connect(m_window, &QQuickWindow::frameSwapped, this, [connection, next = std::move(next)] {
        QObject::disconnect(*connection);
        next();
    });
    m_window->update();
}

void Measurement::whenSignedIn(std::function<void()> next)
{
    auto check = std::make_shared<std::function<void()>>();
    auto connections = std::make_shared<QList<QMetaObject::Connection>>();
    *check = [this, check, connections, next = std::move(next)] {
        if (m_vm.screen() != AppViewModel::Screen::Home || m_vm.nodesLoading() || m_vm.nodes().isEmpty())
            return;
        for (const QMetaObject::Connection &connection : *connections)
            disconnect(connection);
        connections->clear();
        next();
        check->operator=(nullptr); // breaks the cycle once done
    };
    const auto recheck = [check] {
        if (*check)
            (*check)();
    };
    connections->append(connect(&m_vm, &AppViewModel::screenChanged, this, recheck));
    connections->append(connect(&m_vm, &AppViewModel::nodesLoadingChanged, this, recheck));
    connections->append(connect(&m_vm, &AppViewModel::nodesChanged, this, recheck));
    recheck();
}

// A shown window's first seconds (the node list drawn, the fonts and pictures loaded) are not its cost.
constexpr std::chrono::milliseconds kWarmUp(3000);

void Measurement::measureCpu(int seconds)
{
    std::printf("measuring\n");
    std::fflush(stdout);
    const qint64 before = cpuMs();
    QTimer::singleShot(seconds * 1000, this, [this, before, seconds] {
        report(QStringLiteral("cpu-ms %1 seconds %2").arg(cpuMs() - before).arg(seconds));
    });
}

bool Measurement::start(const QString &what, QString *problem)
{
    if (what == QLatin1String("first-frame")) {
        afterNextFrame([this] { report(QStringLiteral("first-frame")); });
        return true;
    }
    if (what == QLatin1String("signed-in")) {
        whenSignedIn([this] { afterNextFrame([this] { report(QStringLiteral("peak-rss-kb %1").arg(peakRssKb())); }); });
        return true;
    }
    const QString kind = what.section(QLatin1Char('='), 0, 0);
    if (kind == QLatin1String("visible-disconnected") || kind == QLatin1String("visible-connected") ||
        kind == QLatin1String("connected-idle")) {
        bool ok = false;
        const int seconds = what.section(QLatin1Char('='), 1).toInt(&ok);
        if (!ok || seconds <= 0) {
            *problem = QStringLiteral("%1 needs a number of seconds").arg(kind);
            return false;
        }
        const bool hidden = kind == QLatin1String("connected-idle");
        if (kind == QLatin1String("visible-disconnected")) {
            whenSignedIn(
                [this, seconds] { QTimer::singleShot(kWarmUp, this, [this, seconds] { measureCpu(seconds); }); });
            return true;
        }
        whenSignedIn([this, seconds, hidden] {
            connect(&m_vm, &AppViewModel::isConnectedChanged, this, [this, seconds, hidden] {
                if (!m_vm.isConnected())
                    return;
                if (hidden)
                    m_window->hide(); // as in the tray
                QTimer::singleShot(hidden ? std::chrono::milliseconds(0) : kWarmUp, this,
                                   [this, seconds] { measureCpu(seconds); });
            });
            connect(&m_vm, &AppViewModel::tunnelProblem, this,
                    [this](const QString &status) { report(QStringLiteral("failed %1").arg(status)); });
            m_vm.vpnConnect();
        });
        return true;
    }
    *problem = QStringLiteral("unknown measurement \"%1\"").arg(what);
    return false;
}
