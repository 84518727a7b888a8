#pragma once

#include <QObject>
#include <QPointer>

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
    bool trayAvailable() const;

signals:
    void activated();

private:
    void showState();

    AppViewModel &m_viewModel;
    QSystemTrayIcon *m_icon;
    QString m_iconName;
};
