#pragma once

#include "app/AppSwitches.h"

#include <QColor>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QQuickWindow>
#include <QRect>

#include <functional>
#include <memory>

class AppViewModel;
class QAction;
class QMenu;
class QSystemTrayIcon;

// The status icon: a filled green shield while the tunnel is up, an outlined grey one otherwise, both
// legible on light and dark panels. A click opens the panel beside it (inside the screen, whichever
// edge the tray is on); a click elsewhere closes it. A right click offers Connect or Disconnect,
// "Open Nimbrel" and "Quit Nimbrel". Without a tray (some desktops, headless runs) the app lives in
// its main window alone.
class TrayController : public QObject {
    Q_OBJECT
public:
    explicit TrayController(AppViewModel &viewModel, QObject *parent = nullptr);
    ~TrayController() override;

    // The symbol shown now: "shield.fill" or "shield", and its colour.
    QString iconName() const { return m_iconName; }
    QColor iconColor() const;
    static const QColor kConnectedColor;
    static const QColor kDisconnectedColor;
    static bool trayAvailable();
    QRect iconGeometry() const;

    // The last desktop notification shown (empty when none).
    QString lastNotification() const { return m_lastNotification; }
    // Tunnel problems are notified only while the main window is not the active window.
    void setMainWindow(QQuickWindow *mainWindow) { m_mainWindow = mainWindow; }

    // The panel opens and closes from the icon, next to it; its "Open Nimbrel" raises the main window
    // and its quit button calls quit.
    void attachPanel(QQuickWindow *panel, QQuickWindow *mainWindow, std::function<void()> quit);
    // Where a panel of size opens for a tray icon at icon: beside the icon, away from the screen edge
    // the tray is on, and wholly inside available (the screen less its panels).
    static QPoint panelPosition(const QRect &icon, const QSize &panel, const QRect &available);
    // The right-click menu's entries, in order (texts as shown now; the first follows the tunnel).
    QMenu *contextMenu() const { return m_menu.get(); }

signals:
    void activated();
    // The support report is on the clipboard.
    void supportReportCopied();

private slots:
    void togglePanel();
    void openMainWindow();
    void quitRequested();
    // Puts the support report (every secret redacted) on the clipboard; made off this thread.
    void copySupportReport();

private:
    void showState();
    void refreshMenu();
    void closePanelOnFocusLoss();
    void notifyProblem(const QString &statusText);

    AppViewModel &m_viewModel;
    QSystemTrayIcon *m_icon;
    QString m_iconName;
    QPointer<QQuickWindow> m_panel;
    QPointer<QQuickWindow> m_mainWindow;
    std::function<void()> m_quit;
    QString m_lastNotification;
    std::unique_ptr<QMenu> m_menu;
    QAction *m_tunnelAction = nullptr;
    QAction *m_reportAction = nullptr;
    QList<std::pair<AppSwitches::Switch, QAction *>> m_switchActions;
    QElapsedTimer m_closedByFocusLoss; // the click on the icon that took the focus must not reopen it
};
