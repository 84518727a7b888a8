#include "AppOptions.h"

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
    const QCommandLineOption screenshots(
        QStringLiteral("screenshot-dir"),
        QStringLiteral("Write a PNG of each screen into this folder, then quit."),
        QStringLiteral("folder"));
    parser.addOption(settings);
    parser.addOption(screenshots);
    parser.process(arguments);

    AppOptions options;
    options.settingsFile = parser.isSet(settings) ? parser.value(settings)
                                                  : environment.value(QStringLiteral("NIMBREL_SETTINGS"));
    options.screenshotDir = parser.value(screenshots);
    return options;
}
