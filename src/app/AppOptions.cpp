#include "AppOptions.h"

#include "BuildConfig.h"
#include "api/ServiceUrls.h"

#include <QCommandLineParser>
#include <QCoreApplication>

const QList<AppOptions::Described> &AppOptions::described()
{
    static const QList<Described> options{
        {QStringLiteral("settings"), QStringLiteral("file"),
         QStringLiteral("Use this preference file (also NIMBREL_SETTINGS)."), true, false},
        {QStringLiteral("api-base"), QStringLiteral("url"),
         QStringLiteral("Talk to the service at this API base URL (also NIMBREL_API_BASE)."), true, false},
        {QStringLiteral("web-site"), QStringLiteral("url"),
         QStringLiteral("Open this web site for subscribing (also NIMBREL_WEBSITE)."), true, false},
        {QStringLiteral("demo"), QString(),
         QStringLiteral("Demo mode: privileged commands are recorded, not run as root."), true, false},
        {QStringLiteral("tray"), QString(), QStringLiteral("Start in the tray, the main window closed."), false, false},
        {QStringLiteral("screenshot-dir"), QStringLiteral("folder"),
         QStringLiteral("Write a PNG of each screen into this folder, then quit."), false, true},
        {QStringLiteral("tour-account"), QStringLiteral("email"),
         QStringLiteral("With --screenshot-dir: sign in as this e-mail (password in NIMBREL_DEMO_PASSWORD) and "
                        "walk through."),
         false, true},
        {QStringLiteral("measure"), QStringLiteral("what"),
         QStringLiteral("For scripts/bench: first-frame, signed-in, connected-idle=SECONDS, visible-connected=SECONDS or visible-disconnected=SECONDS; prints it and quits."),
         false, true},
    };
    return options;
}

AppOptions AppOptions::parse(const QStringList &arguments, const QProcessEnvironment &environment)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Nimbrel VPN client"));
    parser.addHelpOption();
    parser.addVersionOption();
    for (const Described &described : described()) {
        QCommandLineOption option(described.name, described.description, described.valueName);
#ifdef NDEBUG
        if (described.developerOnly)
            option.setFlags(QCommandLineOption::HiddenFromHelp); // developer tools: accepted, not offered
#endif
        parser.addOption(option);
    }
    parser.process(arguments);

    AppOptions options;
    options.takeSharedOptions(parser, environment);
    options.screenshotDir = parser.value(QStringLiteral("screenshot-dir"));
    options.tourAccount = parser.value(QStringLiteral("tour-account"));
    options.measure = parser.value(QStringLiteral("measure"));
    options.trayOnly = parser.isSet(QStringLiteral("tray"));
    options.tourPassword = environment.value(QStringLiteral("NIMBREL_DEMO_PASSWORD"));
    return options;
}

namespace {

// The options the GUI application takes for itself (-platform, -style, ...), in either dash form: the
// GUI, made after the parser has run, still reads them.
QStringList withoutGuiOptions(const QStringList &arguments)
{
    static const QStringList withValue{QStringLiteral("platform"),        QStringLiteral("platformpluginpath"),
                                       QStringLiteral("platformtheme"),   QStringLiteral("plugin"),
                                       QStringLiteral("qwindowgeometry"), QStringLiteral("qwindowicon"),
                                       QStringLiteral("qwindowtitle"),    QStringLiteral("session"),
                                       QStringLiteral("display"),         QStringLiteral("name"),
                                       QStringLiteral("style"),           QStringLiteral("stylesheet"),
                                       QStringLiteral("geometry"),        QStringLiteral("title")};
    static const QStringList flags{QStringLiteral("reverse"), QStringLiteral("widgetcount"), QStringLiteral("nograb"),
                                   QStringLiteral("dograb")};
    QStringList kept;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        QString name = argument;
        while (name.startsWith(QLatin1Char('-')))
            name.remove(0, 1);
        if (i > 0 && argument.startsWith(QLatin1Char('-'))) {
            if (withValue.contains(name) && i + 1 < arguments.size()) {
                ++i;
                continue;
            }
            if (flags.contains(name) || name.startsWith(QLatin1String("qmljsdebugger=")))
                continue;
        }
        kept.append(argument);
    }
    return kept;
}

} // namespace

AppOptions AppOptions::parseBeforeTheGui(int &argc, char **argv)
{
    const QCoreApplication parsing(argc, argv);
    return parse(withoutGuiOptions(QCoreApplication::arguments()), QProcessEnvironment::systemEnvironment());
}

void AppOptions::addSharedOptions(QCommandLineParser &parser)
{
    for (const Described &described : described()) {
        if (described.shared)
            parser.addOption({described.name, described.description, described.valueName});
    }
}

void AppOptions::takeSharedOptions(const QCommandLineParser &parser, const QProcessEnvironment &environment)
{
    auto valueOf = [&](const QString &option, const char *variable) {
        return parser.isSet(option) ? parser.value(option) : environment.value(QLatin1String(variable));
    };
    auto urlOf = [&](const QString &option, const char *variable) -> std::optional<QUrl> {
        const QString text = valueOf(option, variable);
        if (text.isEmpty())
            return std::nullopt;
        return QUrl(text, QUrl::StrictMode);
    };
    settingsFile = valueOf(QStringLiteral("settings"), "NIMBREL_SETTINGS");
    demo = parser.isSet(QStringLiteral("demo"));
    apiBaseUrl = urlOf(QStringLiteral("api-base"), "NIMBREL_API_BASE");
    webSiteUrl = urlOf(QStringLiteral("web-site"), "NIMBREL_WEBSITE");
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
