#include "AppShell.h"

#include "AppUi.h"
#include "TrayController.h"
#include "app/AppViewModel.h"
#include "platform/InstanceChannel.h"
#include "platform/UnixSignalWatcher.h"

#include <QGuiApplication>
#include <QIcon>
#include <QQuickWindow>
#include <QTimer>

#include <csignal>
#include <cstdio>

namespace {

using namespace std::chrono_literals;

constexpr auto kQuitCleanupLimit = 12s;
constexpr auto kTrayAtTheLatest = 500ms;

} // namespace

AppShell::AppShell(AppViewModel &viewModel, AppUi &ui, QQuickWindow &mainWindow, std::function<void(int)> exit,
                   QObject *parent)
    : QObject(parent)
    , m_viewModel(viewModel)
    , m_ui(ui)
    , m_mainWindow(mainWindow)
    , m_exit(exit ? std::move(exit) : [](int code) { QCoreApplication::exit(code); })
{
    const bool keepRunningInTray = TrayController::trayAvailable();
    QGuiApplication::setQuitOnLastWindowClosed(false);
    connect(qGuiApp, &QGuiApplication::lastWindowClosed, this, [this, keepRunningInTray] {
        if (!keepRunningInTray)
            quitCleanly();
    });
    m_signals = std::make_unique<UnixSignalWatcher>(QList<int>{SIGINT, SIGTERM, SIGHUP}); // SIGHUP: its terminal closed
    connect(m_signals.get(), &UnixSignalWatcher::received, this, [this] { quitCleanly(); });
    // Ctrl+Q in the main window
    connect(&m_mainWindow, SIGNAL(quitRequested()), this, SLOT(quitCleanly()));
}

AppShell::~AppShell() = default;

void AppShell::nameApplication(const QString &version)
{
    QCoreApplication::setApplicationName(QStringLiteral("Nimbrel"));
    QCoreApplication::setOrganizationName(QStringLiteral("Nimbrel"));
    QCoreApplication::setApplicationVersion(version);
    QGuiApplication::setDesktopFileName(QStringLiteral("com.nimbrel.Nimbrel"));
}

std::optional<int> AppShell::claimOrHandOver(InstanceChannel &channel)
{
    switch (channel.claim()) {
    case InstanceChannel::Role::Secondary:
        // The running app may still be starting up: give it time to answer.
        if (InstanceChannel::send(channel.path(), "raise", 15000) == "raised") {
            std::printf("nimbrel: already running; its window is in front now\n");
            return 0;
        }
        std::fprintf(stderr, "nimbrel: already running, but it did not answer\n");
        return 1;
    case InstanceChannel::Role::Unavailable:
        std::fprintf(stderr, "nimbrel: %s; a second launch will not find this one\n",
                     qPrintable(channel.errorString()));
        return std::nullopt;
    case InstanceChannel::Role::Primary:
        return std::nullopt;
    }
    return std::nullopt;
}

void AppShell::start(InstanceChannel &channel, bool trayOnly)
{
    connect(&m_mainWindow, &QQuickWindow::frameSwapped, this, &AppShell::addTray,
            Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
    QTimer::singleShot(trayOnly ? std::chrono::milliseconds(0) : kTrayAtTheLatest, this, &AppShell::addTray);
    // The window restores the stored session as it is shown; closed, the session is restored here. Without
    // a tray the window is the only way in, so it opens anyway.
    if (trayOnly && TrayController::trayAvailable())
        m_viewModel.tryAutoLogin();
    else
        m_mainWindow.show();
    channel.setHandler([this](const QByteArray &request) { return handleRequest(request); });
}

QByteArray AppShell::handleRequest(const QByteArray &request)
{
    if (request == "raise") {
        m_mainWindow.show();
        m_mainWindow.raise();
        m_mainWindow.requestActivate();
        return "raised";
    }
    if (request == "disconnect") {
        if (!m_viewModel.tunnel().state().isActive())
            return "not-connected";
        m_viewModel.vpnDisconnect();
        return "disconnecting";
    }
    return "unknown-request";
}

void AppShell::quitCleanly(int exitCode)
{
    if (std::exchange(m_quitting, true))
        return;
    m_viewModel.shutdownTunnel(kQuitCleanupLimit, [exit = m_exit, exitCode] { exit(exitCode); });
}

bool AppShell::addTray()
{
    if (m_tray)
        return true;
    // Window managers and task bars show it: the theme's, as installed under the app's id, else our own.
    // Not needed for the first frame, and its SVG loads an icon engine.
    QGuiApplication::setWindowIcon(
        QIcon::fromTheme(QGuiApplication::desktopFileName(), QIcon(QStringLiteral(":/Nimbrel/Ui/icons/app.svg"))));
    m_panel = m_ui.createWindow(QStringLiteral("MenuBarPanel.qml"));
    if (!m_panel) {
        std::fprintf(stderr, "nimbrel: %s\n", qPrintable(m_ui.errorString()));
        m_exit(1);
        return false;
    }
    m_tray = std::make_unique<TrayController>(m_viewModel);
    m_tray->attachPanel(m_panel.get(), &m_mainWindow, [this] { quitCleanly(); });
    return true;
}
