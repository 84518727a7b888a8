#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// What the app was asked to do on its command line and in its environment.
struct AppOptions {
    // A preference file to use instead of the user's standard one (the demo, a second profile).
    QString settingsFile;
    // Walk the screens, write a PNG of each into this folder, then quit (runs without a display).
    QString screenshotDir;

    // Unknown arguments and --help are handled by the parser (it prints and exits).
    static AppOptions parse(const QStringList &arguments, const QProcessEnvironment &environment);
};
