#include "AppOptions.h"

#include "BuildConfig.h"
#include "api/ServiceUrls.h"

#include <QCommandLineParser>

AppOptions AppOptions::parse(const QStringList &arguments, const QProcessEnvironment &environment)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Nimbrel VPN client"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption settings(QStringLiteral("settings"),
                                      QStringLiteral("Use this preference file (also NIMBREL_SETTINGS)."),
                                      QStringLiteral("file"));
    const QCommandLineOption screenshots(QStringLiteral("screenshot-dir"),
                                         QStringLiteral("Write a PNG of each screen into this folder, then quit."),
                                         QStringLiteral("folder"));
    const QCommandLineOption apiBase(
        QStringLiteral("api-base"), QStringLiteral("Talk to the service at this API base URL (also NIMBREL_API_BASE)."),
        QStringLiteral("url"));
    const QCommandLineOption webSite(QStringLiteral("web-site"),
                                     QStringLiteral("Open this web site for subscribing (also NIMBREL_WEBSITE)."),
                                     QStringLiteral("url"));
    const QCommandLineOption demo(QStringLiteral("demo"),
                                  QStringLiteral("Demo mode: privileged commands are recorded, not run as root."));
    const QCommandLineOption tourAccount(
        QStringLiteral("tour-account"),
        QStringLiteral(
            "With --screenshot-dir: sign in as this e-mail (password in NIMBREL_DEMO_PASSWORD) and walk through."),
        QStringLiteral("email"));
    parser.addOption(settings);
    parser.addOption(screenshots);
    parser.addOption(demo);
    parser.addOption(tourAccount);
    parser.addOption(apiBase);
    parser.addOption(webSite);
    parser.process(arguments);

    AppOptions options;
    options.settingsFile =
        parser.isSet(settings) ? parser.value(settings) : environment.value(QStringLiteral("NIMBREL_SETTINGS"));
    options.screenshotDir = parser.value(screenshots);
    options.demo = parser.isSet(demo);
    options.tourAccount = parser.value(tourAccount);
    options.tourPassword = environment.value(QStringLiteral("NIMBREL_DEMO_PASSWORD"));
    auto urlOption = [&](const QCommandLineOption &option, const char *variable) -> std::optional<QUrl> {
        const QString text = parser.isSet(option) ? parser.value(option) : environment.value(QLatin1String(variable));
        if (text.isEmpty())
            return std::nullopt;
        return QUrl(text, QUrl::StrictMode);
    };
    options.apiBaseUrl = urlOption(apiBase, "NIMBREL_API_BASE");
    options.webSiteUrl = urlOption(webSite, "NIMBREL_WEBSITE");
    return options;
}

bool AppOptions::resolveServiceUrls(QUrl *apiBase, QUrl *webSite, QString *problem) const
{
    const QUrl api = apiBaseUrl.value_or(QUrl(QString::fromUtf8(BuildConfig::apiBaseUrl)));
    const QUrl site = webSiteUrl.value_or(QUrl(QString::fromUtf8(BuildConfig::webSiteUrl)));
    std::optional<QString> found = ServiceUrls::apiBaseProblem(api);
    if (!found)
        found = ServiceUrls::webSiteProblem(site);
    if (found) {
        *problem = *found;
        return false;
    }
    *apiBase = api;
    *webSite = site;
    return true;
}
