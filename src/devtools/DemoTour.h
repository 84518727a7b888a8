#pragma once

#include "ScreenshotTour.h"

class AppViewModel;
class LanguageManager;

// The steps the app walks through when it runs without a display.
struct DemoTour {
    // The sign-in and registration screens, then the sign-in screen in Simplified Chinese.
    static QList<ScreenshotTour::Step> screens(AppViewModel &vm, LanguageManager &languages);

    // A newcomer's first session against a service: sign in, home with nodes, a latency probe, "Test all",
    // "Fastest", connect, connected, a lost tunnel that is started again, disconnect, a failed start in Russian, a switch to Simplified
    // Chinese, and the tray panel.
    static QList<ScreenshotTour::Step> walkthrough(AppViewModel &vm, LanguageManager &languages,
                                                   QQuickWindow *mainWindow, QQuickWindow *panel, const QString &email,
                                                   const QString &password);
};
