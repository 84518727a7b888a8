#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

class QCommandLineParser;

// What the app was asked to do on its command line and in its environment.
struct AppOptions {
    // A preference file to use instead of the user's standard one (the demo, a second profile).
    QString settingsFile;
    // Walk the screens, write a PNG of each into this folder, then quit (runs without a display).
    QString screenshotDir;
    // Development overrides of the build's service addresses (--api-base / NIMBREL_API_BASE,
    // --web-site / NIMBREL_WEBSITE).
    std::optional<QUrl> apiBaseUrl;
    // The demo: privileged commands run without privilege (kill) or are only recorded, and the window
    // says so. With tourAccount, the screenshot tour signs in with it (password in NIMBREL_DEMO_PASSWORD)
    // and walks through probing, connecting, disconnecting, a language switch and the panel.
    bool demo = false;
    QString tourAccount;
    QString tourPassword;
    std::optional<QUrl> webSiteUrl;
    // For scripts/bench: report one measurement and quit (see Measurement).
    QString measure;
    // Start in the tray alone, the main window closed (as a login starts it).
    bool trayOnly = false;

    // The addresses to use: the overrides, else the build's defaults. On a URL that may not be used,
    // returns false and says why in problem.
    bool resolveServiceUrls(QUrl *apiBase, QUrl *webSite, QString *problem) const;

    // Unknown arguments and --help are handled by the parser (it prints and exits).
    static AppOptions parse(const QStringList &arguments, const QProcessEnvironment &environment);
    // The same, before any application object exists: --help, --version and a mistyped option are answered
    // (and the process ends) before the GUI, which needs a display, is made.
    static AppOptions parseBeforeTheGui(int &argc, char **argv);

    // One of the app's options, as its help and manual page describe it.
    struct Described {
        QString name;
        QString valueName; // empty for a switch
        QString description;
        bool shared = false;        // the command-line client takes it too
        bool developerOnly = false; // accepted by every build, listed by debug builds' help alone
    };
    static const QList<Described> &described();

    // The options the app and the command-line client share: --settings, --api-base, --web-site, --demo.
    static void addSharedOptions(QCommandLineParser &parser);
    void takeSharedOptions(const QCommandLineParser &parser, const QProcessEnvironment &environment);
};
