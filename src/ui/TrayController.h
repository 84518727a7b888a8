#pragma once

#include <QObject>
#include <QPointer>
#include <QQuickWindow>
#include <QRect>

#include <functional>

class AppViewModel;
class QSystemTrayIcon;

// The status icon: a filled shield while the tunnel is up, an outlined one otherwise. Without a tray
// (some desktops, headless runs) the app lives in its main window alone.
class TrayController : public QObject {
    Q_OBJECT
public:
    explicit TrayController(AppViewModel &viewModel, QObject *parent = nullptr);
    ~TrayController() override;

    // The symbol shown now: "shield.fill" or "shield".
    QString iconName() const { return m_iconName; }
    static bool trayAvailable();
    QRect iconGeometry() const;

    // The last desktop notification shown (empty when none).
    QString lastNotification() const { return m_lastNotification; }
    // Tunnel problems are notified only while the main window is not the active window.
    void setMainWindow(QQuickWindow *mainWindow) { m_mainWindow = mainWindow; }

    // The panel opens and closes from the icon, next to it; its "Open Nimbrel" raises the main window
    // and its quit button calls quit.
    void attachPanel(QQuickWindow *panel, QQuickWindow *mainWindow, std::function<void()> quit);

signals:
    void activated();

private slots:
    void togglePanel();
    void openMainWindow();
    void quitRequested();

private:
    void showState();
    void notifyProblem(const QString &statusText);

    AppViewModel &m_viewModel;
    QSystemTrayIcon *m_icon;
    QString m_iconName;
    QPointer<QQuickWindow> m_panel;
    QPointer<QQuickWindow> m_mainWindow;
    std::function<void()> m_quit;
    QString m_lastNotification;
};
