#include "app/AppEnvironment.h"
#include "app/AppOptions.h"
#include "app/AppViewModel.h"
#include "app/LaunchConnector.h"
#include "devtools/DevTools.h"
#include "i18n/LanguageManager.h"
#include "platform/InstanceChannel.h"
#include "platform/PreferenceStore.h"
#include "ui/AppShell.h"
#include "ui/AppUi.h"
#include "ui/FontWarmUp.h"

#include <QApplication>
#include <QQuickWindow>
#include <QScopeGuard>
#include <QtQml/qqmlextensionplugin.h>

#include <cstdio>

Q_IMPORT_QML_PLUGIN(Nimbrel_UiPlugin)

int main(int argc, char *argv[])
{
    AppShell::nameApplication(QStringLiteral(NIMBREL_VERSION));
    const AppOptions options = AppOptions::parseBeforeTheGui(argc, argv);
    QApplication app(argc, argv);
    qunsetenv("NIMBREL_DEMO_PASSWORD"); // read once; no child (the helper gets our environment) inherits it
    const std::shared_ptr<PreferenceStore> preferences = AppEnvironment::openPreferences(options);
    LanguageManager::useSharedPreferences(preferences);
    // The interface compiles on the QML engine's own thread while this one does the rest of the start-up.
    auto ui = std::make_unique<AppUi>();
    QString problem;
    std::optional<AppEnvironment> environment = AppEnvironment::fromOptions(options, preferences, &problem);
    if (!environment) {
        std::fprintf(stderr, "nimbrel: %s\n", qPrintable(problem));
        return 2;
    }
    // A worker reads the system's font list meanwhile, and the first screen's fonts are set up while
    // this thread waits for the compilation; only now, because fontconfig reads the environment without
    // Qt's lock and the demo set-up above writes to it.
    FontWarmUp::start(FontWarmUp::signInScreen(), &app);
    InstanceChannel instance(InstanceChannel::socketPath(preferences->location()));
    if (const std::optional<int> handedOver = AppShell::claimOrHandOver(instance))
        return *handedOver;
    AppViewModel viewModel(std::move(*environment));
    const LaunchConnector connectOnLaunch(viewModel, viewModel.recoverTunnel());
    viewModel.watchOtherProcesses();
    const auto closeUi = qScopeGuard([&ui] { ui.reset(); }); // the windows go before the view model they show
    QQuickWindow *window = ui->createMainWindow(viewModel);
    if (window == nullptr) {
        std::fprintf(stderr, "nimbrel: %s\n", qPrintable(ui->errorString()));
        return 1;
    }
    window->setTitle(options.demo ? QStringLiteral("Nimbrel (demo)") : window->title());
    AppShell shell(viewModel, *ui, *window);
    shell.start(instance, options.trayOnly);
    DevTools devTools;
    if (const std::optional<int> failed = devTools.start(options, shell, viewModel))
        return *failed;
    return QApplication::exec();
}
