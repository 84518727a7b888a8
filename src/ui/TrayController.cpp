#include "TrayController.h"

#include "app/AppViewModel.h"

#include <QApplication>
#include <QIcon>
#include <QSystemTrayIcon>

TrayController::TrayController(AppViewModel &viewModel, QObject *parent)
    : QObject(parent)
    , m_viewModel(viewModel)
    , m_icon(new QSystemTrayIcon(this))
{
    m_icon->setToolTip(QStringLiteral("Nimbrel"));
    connect(&m_viewModel, &AppViewModel::isConnectedChanged, this, &TrayController::showState);
    connect(m_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            emit activated();
    });
    showState();
    if (trayAvailable())
        m_icon->show();
}

TrayController::~TrayController() = default;

bool TrayController::trayAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayController::showState()
{
    m_iconName = m_viewModel.isConnected() ? QStringLiteral("shield.fill") : QStringLiteral("shield");
    m_icon->setIcon(QIcon(QStringLiteral(":/Nimbrel/Ui/icons/%1.svg").arg(m_iconName)));
}
