#include "SettingsController.h"

#include "QmlSingletons.h"
#include "app/AppSwitches.h"
#include "app/SupportReport.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QFutureWatcher>
#include <QGuiApplication>
#include <QtConcurrent/QtConcurrentRun>

SettingsController::SettingsController(AppViewModel &viewModel, QObject *parent)
    : QObject(parent)
    , m_viewModel(viewModel)
{}

SettingsController *SettingsController::create(QQmlEngine *, QJSEngine *)
{
    Q_ASSERT(AppViewModelForeign::instance);
    return new SettingsController(*AppViewModelForeign::instance); // owned by the engine
}

QStringList SettingsController::switchKeys()
{
    return AppSwitches::keys();
}

QString SettingsController::labelKey(const QString &switchKey)
{
    const auto which = AppSwitches::fromKey(switchKey);
    return which ? AppSwitches::labelKey(*which) : QString();
}

bool SettingsController::isOn(const QString &switchKey) const
{
    const auto which = AppSwitches::fromKey(switchKey);
    return which && AppSwitches(m_viewModel.environment().preferences, QString()).isOn(*which);
}

bool SettingsController::setOn(const QString &switchKey, bool on)
{
    const auto which = AppSwitches::fromKey(switchKey);
    if (which)
        AppSwitches(m_viewModel.environment().preferences, QCoreApplication::applicationFilePath()).set(*which, on);
    return isOn(switchKey);
}

void SettingsController::copySupportReport()
{
    copySupportReport(m_viewModel, this, [this] { emit supportReportCopied(); });
}

void SettingsController::copySupportReport(AppViewModel &viewModel, QObject *context, std::function<void()> copied)
{
    const SupportReport::Session session = SupportReport::session(viewModel, viewModel.vpnStatus());
    auto *watcher = new QFutureWatcher<QString>(context);
    QObject::connect(watcher, &QFutureWatcher<QString>::finished, context, [watcher, copied = std::move(copied)] {
        QGuiApplication::clipboard()->setText(watcher->result());
        watcher->deleteLater();
        copied();
    });
    watcher->setFuture(QtConcurrent::run([session, diagnostician = viewModel.tunnel().diagnostician()] {
        return SupportReport::compose(session, diagnostician);
    }));
}
