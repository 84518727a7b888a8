#pragma once

#include "ControlProgram.h"
#include "HelperLocator.h"
#include "TunnelPaths.h"

#include <QString>

#include <sys/types.h>

#include <QList>

#include <chrono>
#include <functional>
#include <memory>

class AdminPrompt;
class PreferenceStore;
class PrivilegedRunner;

// What the tunnel controller works with: the system's operations, places and waits. The app builds
// it from its environment; tests and the demo swap parts.
struct TunnelSettings {
    std::shared_ptr<PreferenceStore> preferences;
    TunnelPaths paths;
    std::shared_ptr<AdminPrompt> adminPrompt;
    std::shared_ptr<PrivilegedRunner> privilegedRunner;
    std::chrono::milliseconds monitorInterval{1000};
    // How long a start runs before it may be cancelled.
    std::chrono::milliseconds cancelDelay{10000};
    // A stopped helper is awaited this often, this many times, before its routes are deleted anyway.
    std::chrono::milliseconds stopPoll{200};
    int stopPolls = 40;
    // Owner a clean-up script must have before it is run as root.
    uid_t trustedScriptOwner = 0;
    HelperLocator::Places helperPlaces;
    uid_t userId = 0; // the sudoers rule names the user by number
    QString sudoersFile;
    ControlProgram::Location controlProgram;
    // Whether a tunnel lost after it was up is started again (asked at each loss; none: never), and the
    // wait before each attempt, which is also how many attempts there are. A restored tunnel lost again
    // within reconnectSettle counts as a failed attempt, so that one that keeps dropping is given up.
    std::function<bool()> reconnectWhenLost;
    QList<std::chrono::milliseconds> reconnectWaits{std::chrono::seconds(2), std::chrono::seconds(4),
                                                    std::chrono::seconds(8)};
    std::chrono::milliseconds reconnectSettle{std::chrono::seconds(60)};
};
