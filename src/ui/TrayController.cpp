#include "TrayController.h"

#include "SettingsController.h"
#include "SymbolIcon.h"
#include "app/AppSwitches.h"
#include "app/AppViewModel.h"
#include "i18n/LanguageManager.h"

#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QQuickWindow>
#include <QScreen>
#include <QSystemTrayIcon>

namespace {

constexpr int kIconPixels = 64;
constexpr int kPanelGap = 4;
constexpr qint64 kReopenGuardMs = 300;

} // namespace

// The theme's green a shade deeper, and a mid grey: each stands out at least 3:1 against a white
// panel and a black one.
const QColor TrayController::kConnectedColor = QColor(0x0E, 0x9F, 0x6E);
const QColor TrayController::kDisconnectedColor = QColor(0x7C, 0x80, 0x96);

TrayController::TrayController(AppViewModel &viewModel, QObject *parent)
    : QObject(parent)
    , m_viewModel(viewModel)
    , m_icon(new QSystemTrayIcon(this))
    , m_menu(std::make_unique<QMenu>())
{
    m_icon->setToolTip(QStringLiteral("Nimbrel"));
    m_tunnelAction = m_menu->addAction(QString(), this, [this] {
        if (m_viewModel.tunnelInUse())
            m_viewModel.vpnDisconnect();
        else
            m_viewModel.vpnConnect();
    });
    m_reportAction = m_menu->addAction(QString(), this, &TrayController::copySupportReport);
    m_menu->addSeparator();
    const AppSwitches switches(m_viewModel.environment().preferences, QCoreApplication::applicationFilePath());
    for (AppSwitches::Switch which : AppSwitches::all()) {
        QAction *action = m_menu->addAction(QString());
        action->setCheckable(true);
        connect(action, &QAction::triggered, this, [switches, which, action](bool on) {
            if (!switches.set(which, on))
                action->setChecked(!on); // the autostart entry could not be written
        });
        m_switchActions.append({which, action});
    }
    m_menu->addSeparator();
    m_menu->addAction(QStringLiteral("Open Nimbrel"), this, &TrayController::openMainWindow);
    m_menu->addAction(QStringLiteral("Quit Nimbrel"), this, &TrayController::quitRequested);
    connect(m_menu.get(), &QMenu::aboutToShow, this, &TrayController::refreshMenu);
    m_icon->setContextMenu(m_menu.get());
    refreshMenu();
    connect(&m_viewModel, &AppViewModel::isConnectedChanged, this, &TrayController::showState);
    connect(&m_viewModel, &AppViewModel::tunnelProblem, this, &TrayController::notifyProblem);
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            emit activated();
    });
    showState();
    if (trayAvailable())
        m_icon->show();
}

TrayController::~TrayController()
{
    m_icon->setContextMenu(nullptr); // the menu goes before the icon, a child of this object
}

bool TrayController::trayAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QColor TrayController::iconColor() const
{
    return m_viewModel.isConnected() ? kConnectedColor : kDisconnectedColor;
}

void TrayController::showState()
{
    m_iconName = m_viewModel.isConnected() ? QStringLiteral("shield.fill") : QStringLiteral("shield");
    m_icon->setIcon(QIcon(QPixmap::fromImage(SymbolIcon::image(m_iconName, iconColor(), kIconPixels))));
}

void TrayController::refreshMenu()
{
    // Connect needs the home screen (a node, a key); a tunnel that is up, starting or reconnecting can
    // be stopped from anywhere, as in the panel.
    const bool active = m_viewModel.tunnelInUse();
    m_tunnelAction->setText(LanguageManager::shared().localized(active ? QStringLiteral("disconnect_button")
                                                                       : QStringLiteral("connect_button")));
    m_tunnelAction->setEnabled(active ? !m_viewModel.isVpnLoading() || m_viewModel.canCancelConnect()
                                      : m_viewModel.screen() == AppViewModel::Screen::Home);
    m_reportAction->setText(LanguageManager::shared().localized(QStringLiteral("copy_support_report")));
    const AppSwitches switches(m_viewModel.environment().preferences, QString());
    for (const auto &[which, action] : m_switchActions) {
        action->setText(LanguageManager::shared().localized(AppSwitches::labelKey(which)));
        action->setChecked(switches.isOn(which));
    }
}

void TrayController::copySupportReport()
{
    SettingsController::copySupportReport(m_viewModel, this, [this] { emit supportReportCopied(); });
}

void TrayController::notifyProblem(const QString &statusText)
{
    if (m_mainWindow && m_mainWindow->isVisible() && m_mainWindow->isActive())
        return; // the user sees it on the connection card already
    m_lastNotification = statusText;
    if (trayAvailable())
        m_icon->showMessage(QStringLiteral("Nimbrel"), statusText, QSystemTrayIcon::Warning);
}

QRect TrayController::iconGeometry() const
{
    return m_icon->geometry();
}

void TrayController::attachPanel(QQuickWindow *panel, QQuickWindow *mainWindow, std::function<void()> quit)
{
    m_panel = panel;
    setMainWindow(mainWindow);
    m_quit = std::move(quit);
    connect(this, &TrayController::activated, this, &TrayController::togglePanel);
    connect(panel, SIGNAL(openMainRequested()), this, SLOT(openMainWindow()));
    connect(panel, SIGNAL(quitRequested()), this, SLOT(quitRequested()));
    connect(panel, &QWindow::activeChanged, this, &TrayController::closePanelOnFocusLoss);
}

void TrayController::closePanelOnFocusLoss()
{
    if (!m_panel || m_panel->isActive() || !m_panel->isVisible())
        return;
    m_panel->hide();
    m_closedByFocusLoss.start();
}

QPoint TrayController::panelPosition(const QRect &icon, const QSize &panel, const QRect &available)
{
    const QPoint centre = icon.center();
    QPoint at(centre.x() - panel.width() / 2, centre.y() - panel.height() / 2);
    if (icon.right() < available.left())
        at.setX(icon.right() + kPanelGap); // a tray on the left edge
    else if (icon.left() > available.right())
        at.setX(icon.left() - kPanelGap - panel.width()); // on the right edge
    else if (centre.y() < available.center().y())
        at.setY(icon.bottom() + kPanelGap); // on the top edge (or in the upper half)
    else
        at.setY(icon.top() - kPanelGap - panel.height()); // on the bottom edge
    at.setX(qBound(available.left(), at.x(), qMax(available.left(), available.right() + 1 - panel.width())));
    at.setY(qBound(available.top(), at.y(), qMax(available.top(), available.bottom() + 1 - panel.height())));
    return at;
}

void TrayController::togglePanel()
{
    if (!m_panel)
        return;
    if (m_panel->isVisible()) {
        m_panel->hide();
        return;
    }
    if (m_closedByFocusLoss.isValid() && m_closedByFocusLoss.elapsed() < kReopenGuardMs)
        return;
    const QRect icon = iconGeometry();
    if (icon.isValid()) {
        const QScreen *screen = QGuiApplication::screenAt(icon.center());
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        m_panel->setPosition(panelPosition(icon, m_panel->size(), screen->availableGeometry()));
    }
    m_panel->show();
    m_panel->raise();
    m_panel->requestActivate();
}

void TrayController::openMainWindow()
{
    if (m_panel)
        m_panel->hide();
    if (!m_mainWindow)
        return;
    m_mainWindow->show();
    m_mainWindow->raise();
    m_mainWindow->requestActivate();
}

void TrayController::quitRequested()
{
    if (m_quit)
        m_quit();
}
