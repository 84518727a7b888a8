#include "app/AppEnvironment.h"
#include "app/AppOptions.h"
#include "app/AppViewModel.h"
#include "i18n/LanguageManager.h"
#include "i18n/LanguageTranslator.h"
#include "platform/PreferenceStore.h"
#include "platform/UnixSignalWatcher.h"
#include "ui/QmlSingletons.h"
#include "ui/ScreenshotTour.h"
#include "ui/TrayController.h"

#include <QApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QtQml/qqmlextensionplugin.h>

#include <csignal>
#include <cstdio>

Q_IMPORT_QML_PLUGIN(Nimbrel_UiPlugin)

namespace {

QList<ScreenshotTour::Step> screenTour(AppViewModel &viewModel, LanguageManager &languages)
{
    auto show = [&viewModel](AppViewModel::Screen screen) { return [&viewModel, screen] { viewModel.setScreen(screen); }; };
    return {
        {QStringLiteral("login"), show(AppViewModel::Screen::Login)},
        {QStringLiteral("register"), show(AppViewModel::Screen::Register)},
        {QStringLiteral("home"), show(AppViewModel::Screen::Home)},
        {QStringLiteral("login-zh-CN"),
         [&viewModel, &languages] {
             languages.setLanguage(AppLanguage::zhCN);
             viewModel.setScreen(AppViewModel::Screen::Login);
         }},
    };
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Nimbrel"));
    QApplication::setOrganizationName(QStringLiteral("Nimbrel"));
    QApplication::setApplicationVersion(QStringLiteral(NIMBREL_VERSION));

    const AppOptions options = AppOptions::parse(QApplication::arguments(), QProcessEnvironment::systemEnvironment());
    QUrl apiBase;
    QUrl webSite;
    QString problem;
    if (!options.resolveServiceUrls(&apiBase, &webSite, &problem)) {
        std::fprintf(stderr, "nimbrel: %s\n", qPrintable(problem));
        return 2;
    }
    auto preferences = options.settingsFile.isEmpty() ? PreferenceStore::openStandard()
                                                      : PreferenceStore::openFile(options.settingsFile);
    LanguageManager::useSharedPreferences(preferences);
    LanguageManager &languages = LanguageManager::shared();

    AppEnvironment environment = AppEnvironment::production(preferences);
    environment.apiBaseUrl = apiBase;
    environment.webSiteUrl = webSite;
    AppViewModel viewModel(std::move(environment));

    LanguageTranslator translator(languages);
    QCoreApplication::installTranslator(&translator);

    AppViewModelForeign::instance = &viewModel;
    QQmlApplicationEngine engine;
    engine.addImportPath(QStringLiteral("qrc:/"));
    QObject::connect(&languages, &LanguageManager::languageChanged, &engine, &QQmlEngine::retranslate);
    engine.load(QUrl(QStringLiteral("qrc:/Nimbrel/Ui/Main.qml")));
    auto *window = engine.rootObjects().isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(engine.rootObjects().first());
    if (window == nullptr) {
        std::fprintf(stderr, "nimbrel: the main window could not be loaded\n");
        return 1;
    }

    TrayController tray(viewModel);

    // Quitting never leaves a tunnel behind: a running or starting one is stopped and its routes
    // deleted first (bounded in time), whether the last window closes without a tray or a signal asks.
    const bool keepRunningInTray = tray.trayAvailable();
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
    UnixSignalWatcher signalWatcher({SIGINT, SIGTERM});
    QObject::connect(&signalWatcher, &UnixSignalWatcher::received, &app, quitCleanly);
    QObject::connect(&tray, &TrayController::activated, window, [window] {
        window->show();
        window->raise();
        window->requestActivate();
    });
    window->show();

    std::unique_ptr<ScreenshotTour> tour;
    if (!options.screenshotDir.isEmpty()) {
        QDir folder(options.screenshotDir);
        if (!folder.mkpath(QStringLiteral("."))) {
            std::fprintf(stderr, "nimbrel: cannot create %s\n", qPrintable(options.screenshotDir));
            return 1;
        }
        tour = std::make_unique<ScreenshotTour>(*window, folder, screenTour(viewModel, languages));
        QObject::connect(tour.get(), &ScreenshotTour::finished, &app,
                         [&languages, chosen = languages.language()](bool ok) {
                             languages.setLanguage(chosen);
                             QCoreApplication::exit(ok ? 0 : 1);
                         });
        tour->start();
    }
    return QApplication::exec();
}
