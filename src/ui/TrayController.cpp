#include "TrayController.h"

#include "app/AppViewModel.h"

#include <QApplication>
#include <QIcon>
#include <QQuickWindow>
#include <QSystemTrayIcon>

TrayController::TrayController(AppViewModel &viewModel, QObject *parent)
    : QObject(parent)
    , m_viewModel(viewModel)
    , m_icon(new QSystemTrayIcon(this))
{
    m_icon->setToolTip(QStringLiteral("Nimbrel"));
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

TrayController::~TrayController() = default;

bool TrayController::trayAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayController::showState()
{
    m_iconName = m_viewModel.isConnected() ? QStringLiteral("shield.fill") : QStringLiteral("shield");
    m_icon->setIcon(QIcon(QStringLiteral(":/Nimbrel/Ui/icons/%1.svg").arg(m_iconName)));
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
}

void TrayController::togglePanel()
{
    if (!m_panel)
        return;
    if (m_panel->isVisible()) {
        m_panel->hide();
        return;
    }
    const QRect icon = iconGeometry();
    if (icon.isValid())
        m_panel->setPosition(icon.center().x() - m_panel->width() / 2, icon.bottom() + 4);
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
