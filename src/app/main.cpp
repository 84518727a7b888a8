#include "app/AppEnvironment.h"
#include "app/AppOptions.h"
#include "app/AppViewModel.h"
#include "i18n/LanguageManager.h"
#include "platform/DemoPlatform.h"
#include "platform/InstanceChannel.h"
#include "platform/PreferenceStore.h"
#include "platform/UnixSignalWatcher.h"
#include "ui/AppUi.h"
#include "ui/DemoTour.h"
#include "ui/Measurement.h"
#include "ui/TrayController.h"

#include <QApplication>
#include <QFileInfo>
#include <QFontDatabase>
#include <QQuickWindow>
#include <QScopeGuard>
#include <QThreadPool>
#include <QTimer>
#include <QtQml/qqmlextensionplugin.h>

#include <csignal>
#include <cstdio>
#include <unistd.h>

Q_IMPORT_QML_PLUGIN(Nimbrel_UiPlugin)

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Nimbrel"));
    QApplication::setOrganizationName(QStringLiteral("Nimbrel"));
    QApplication::setApplicationVersion(QStringLiteral(NIMBREL_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("com.nimbrel.Nimbrel"));

    const AppOptions options = AppOptions::parse(QApplication::arguments(), QProcessEnvironment::systemEnvironment());
    // The tour's password is read once; no child (the helper gets our environment) inherits it.
    qunsetenv("NIMBREL_DEMO_PASSWORD");
    QUrl apiBase;
    QUrl webSite;
    QString problem;
    if (!options.resolveServiceUrls(&apiBase, &webSite, &problem)) {
        std::fprintf(stderr, "nimbrel: %s\n", qPrintable(problem));
        return 2;
    }
    // Reading the system's font list takes milliseconds and is thread-safe: a worker does it while
    // the interface loads, instead of the first text on screen.
    QThreadPool::globalInstance()->start([] { QFontDatabase::families(); });
    auto preferences = options.settingsFile.isEmpty() ? PreferenceStore::openStandard()
                                                      : PreferenceStore::openFile(options.settingsFile);

    LanguageManager::useSharedPreferences(preferences);
    LanguageManager &languages = LanguageManager::shared();
    // The interface compiles on the QML engine's own thread while this one does the rest of the start-up.
    auto ui = std::make_unique<AppUi>();

    // A second launch brings the running app to the front instead.
    InstanceChannel instance(InstanceChannel::socketPath(preferences->location()));
    switch (instance.claim()) {
    case InstanceChannel::Role::Secondary:
        // The running app may still be starting up: give it time to answer.
        if (InstanceChannel::send(InstanceChannel::socketPath(preferences->location()), "raise", 15000) == "raised") {
            std::printf("nimbrel: already running; its window is in front now\n");
            return 0;
        }
        std::fprintf(stderr, "nimbrel: already running, but it did not answer\n");
        return 1;
    case InstanceChannel::Role::Unavailable:
        std::fprintf(stderr, "nimbrel: %s; a second launch will not find this one\n",
                     qPrintable(instance.errorString()));
        break;
    case InstanceChannel::Role::Primary:
        break;
    }
    AppEnvironment environment = AppEnvironment::production(preferences);
    environment.apiBaseUrl = apiBase;
    environment.webSiteUrl = webSite;
    if (options.demo)
        environment.useDemoPlatform();
    AppViewModel viewModel(std::move(environment));
    viewModel.recoverTunnel();
    // The windows and their engine go before the view model they show.
    const auto closeUi = qScopeGuard([&ui] { ui.reset(); });

    QQuickWindow *window = ui->createMainWindow(viewModel);
    if (window == nullptr) {
        std::fprintf(stderr, "nimbrel: %s\n", qPrintable(ui->errorString()));
        return 1;
    }
    if (options.demo)
        window->setTitle(QStringLiteral("Nimbrel (demo)"));

    // Quitting never leaves a tunnel behind: a running or starting one is stopped and its routes
    // deleted first (bounded in time), whether the last window closes without a tray, the panel's
    // quit button is pressed or a signal asks.
    const bool keepRunningInTray = TrayController::trayAvailable();
    QApplication::setQuitOnLastWindowClosed(false);
    bool quitting = false;
    auto quitCleanly = [&viewModel, &quitting] {
        if (std::exchange(quitting, true))
            return;
        viewModel.shutdownTunnel(std::chrono::seconds(12), [] { QCoreApplication::quit(); });
    };
    QObject::connect(&app, &QGuiApplication::lastWindowClosed, &app, [&] {
        if (!keepRunningInTray)
            quitCleanly();
    });
    UnixSignalWatcher signalWatcher({SIGINT, SIGTERM, SIGHUP}); // a hang-up: the terminal it came from closed
    QObject::connect(&signalWatcher, &UnixSignalWatcher::received, &app, quitCleanly);

    // The tray icon and its panel are not needed for the first screen: they come once it is drawn
    // (or half a second after the start, whichever is first).
    std::unique_ptr<QQuickWindow> panel;
    std::unique_ptr<TrayController> tray;
    auto addTray = [&] {
        if (tray)
            return true;
        panel = ui->createWindow(QStringLiteral("MenuBarPanel.qml"));
        if (panel == nullptr) {
            std::fprintf(stderr, "nimbrel: %s\n", qPrintable(ui->errorString()));
            QCoreApplication::exit(1);
            return false;
        }
        tray = std::make_unique<TrayController>(viewModel);
        tray->attachPanel(panel.get(), window, quitCleanly);
        return true;
    };
    QObject::connect(window, &QQuickWindow::frameSwapped, &app, addTray,
                     Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
    QTimer::singleShot(500, &app, addTray);
    window->show();

    // Requests of later launches and of the command-line client.
    instance.setHandler([window, &viewModel](const QByteArray &request) -> QByteArray {
        if (request == "raise") {
            window->show();
            window->raise();
            window->requestActivate();
            return "raised";
        }
        if (request == "disconnect") {
            if (!viewModel.isConnected() && !viewModel.isVpnLoading() && !viewModel.tunnelPid())
                return "not-connected";
            viewModel.vpnDisconnect();
            return "disconnecting";
        }
        return "unknown-request";
    });

    std::unique_ptr<Measurement> measurement;
    if (!options.measure.isEmpty()) {
        measurement = std::make_unique<Measurement>(viewModel, *window, quitCleanly);
        if (!measurement->start(options.measure, &problem)) {
            std::fprintf(stderr, "nimbrel: %s\n", qPrintable(problem));
            return 2;
        }
    }

    std::unique_ptr<ScreenshotTour> tour;
    if (!options.screenshotDir.isEmpty()) {
        QDir folder(options.screenshotDir);
        if (!folder.mkpath(QStringLiteral("."))) {
            std::fprintf(stderr, "nimbrel: cannot create %s\n", qPrintable(options.screenshotDir));
            return 1;
        }
        if (!addTray())
            return 1;
        const QList<ScreenshotTour::Step> steps =
            options.tourAccount.isEmpty() ? DemoTour::screens(viewModel, languages)
                                          : DemoTour::walkthrough(viewModel, languages, window, panel.get(),
                                                                  options.tourAccount, options.tourPassword);
        tour = std::make_unique<ScreenshotTour>(*window, folder, steps);
        QObject::connect(tour.get(), &ScreenshotTour::finished, &app,
                         [&languages, chosen = languages.language(), &quitCleanly](bool ok, const QString &why) {
                             languages.setLanguage(chosen);
                             if (!ok)
                                 std::fprintf(stderr, "nimbrel: screenshot tour failed: %s\n", qPrintable(why));
                             QCoreApplication::instance()->setProperty("nimbrelExitCode", ok ? 0 : 1);
                             quitCleanly();
                         });
        tour->start();
    }
    const int code = QApplication::exec();
    return code != 0 ? code : QCoreApplication::instance()->property("nimbrelExitCode").toInt();
}
