#pragma once

#include <memory>
#include <optional>

class AppShell;
class AppViewModel;
class Measurement;
class ScreenshotTour;
struct AppOptions;

// Developer tooling the app runs only when asked on its command line: a measurement for scripts/bench
// (--measure) and the screenshot tours of scripts/demo (--screenshot-dir, --tour-account). Each ends by
// quitting the app through the shell.
class DevTools {
public:
    DevTools();
    ~DevTools();

    // Starts what options ask for; an exit code when that cannot start.
    std::optional<int> start(const AppOptions &options, AppShell &shell, AppViewModel &viewModel);

private:
    std::unique_ptr<Measurement> m_measurement;
    std::unique_ptr<ScreenshotTour> m_tour;
};
