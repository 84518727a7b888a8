#pragma once

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>

class AppUi;
class AppViewModel;
class InstanceChannel;
class QQuickWindow;
class TrayController;
class UnixSignalWatcher;

// The running app around its view model and screens: the main window and the tray with its panel, the
// requests of later launches and of the command-line client, and quitting, which never leaves a
// tunnel behind: a running or starting one is stopped and its routes deleted first (bounded in time),
// whether the last window closes without a tray, the panel's quit button is pressed or a signal
// (SIGINT, SIGTERM, SIGHUP) asks.
class AppShell : public QObject {
    Q_OBJECT
public:
    // exit ends the event loop with a code (QCoreApplication::exit in the app).
    AppShell(AppViewModel &viewModel, AppUi &ui, QQuickWindow &mainWindow, std::function<void(int)> exit = nullptr,
             QObject *parent = nullptr);
    ~AppShell() override;

    // The names the desktop knows the app by: application, organisation, version, desktop entry.
    static void nameApplication(const QString &version);
    // Makes this launch the one that answers later launches. When another is running already, it is
    // brought to the front instead, and the exit code of this launch is returned.
    static std::optional<int> claimOrHandOver(InstanceChannel &channel);

    // Shows the main window; the windows' icon and the tray come once its first frame is drawn (or half
    // a second after the start, whichever is first). Later requests on channel are answered by
    // handleRequest.
    void start(InstanceChannel &channel, bool trayOnly = false);
    // "raise" brings the main window to the front; "disconnect" stops a running or starting tunnel.
    QByteArray handleRequest(const QByteArray &request);
public slots:
    // Stops the tunnel, waits for its clean-up (at most 12 s), then exits with exitCode. Once.
    void quitCleanly(int exitCode = 0);

public:
    // The windows' icon, and the tray icon and its panel, made once; false when the panel cannot be
    // loaded (the app then exits with 1).
    bool addTray();
    QQuickWindow *panel() const { return m_panel.get(); }
    QQuickWindow &mainWindow() const { return m_mainWindow; }

private:
    AppViewModel &m_viewModel;
    AppUi &m_ui;
    QQuickWindow &m_mainWindow;
    std::function<void(int)> m_exit;
    bool m_quitting = false;
    std::unique_ptr<QQuickWindow> m_panel;
    std::unique_ptr<TrayController> m_tray;
    std::unique_ptr<UnixSignalWatcher> m_signals;
};
