#include "DevTools.h"

#include "DemoTour.h"
#include "Measurement.h"
#include "ScreenshotTour.h"
#include "app/AppOptions.h"
#include "i18n/LanguageManager.h"
#include "ui/AppShell.h"

#include <QDir>
#include <QQuickWindow>

#include <cstdio>

DevTools::DevTools() = default;
DevTools::~DevTools() = default;

std::optional<int> DevTools::start(const AppOptions &options, AppShell &shell, AppViewModel &viewModel)
{
    if (!options.measure.isEmpty()) {
        m_measurement = std::make_unique<Measurement>(viewModel, shell.mainWindow(), [&shell] { shell.quitCleanly(); });
        QString problem;
        if (!m_measurement->start(options.measure, &problem)) {
            std::fprintf(stderr, "nimbrel: %s\n", qPrintable(problem));
            return 2;
        }
    }
    if (options.screenshotDir.isEmpty())
        return std::nullopt;
    QDir folder(options.screenshotDir);
    if (!folder.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "nimbrel: cannot create %s\n", qPrintable(options.screenshotDir));
        return 1;
    }
    if (!shell.addTray())
        return 1;
    LanguageManager &languages = LanguageManager::shared();
    const QList<ScreenshotTour::Step> steps =
        options.tourAccount.isEmpty() ? DemoTour::screens(viewModel, languages)
                                      : DemoTour::walkthrough(viewModel, languages, &shell.mainWindow(), shell.panel(),
                                                              options.tourAccount, options.tourPassword);
    m_tour = std::make_unique<ScreenshotTour>(shell.mainWindow(), folder, steps);
    QObject::connect(m_tour.get(), &ScreenshotTour::finished, &shell,
                     [&languages, chosen = languages.language(), &shell](bool ok, const QString &why) {
                         languages.setLanguage(chosen);
                         if (!ok)
                             std::fprintf(stderr, "nimbrel: screenshot tour failed: %s\n", qPrintable(why));
                         shell.quitCleanly(ok ? 0 : 1);
                     });
    m_tour->start();
    return std::nullopt;
}
