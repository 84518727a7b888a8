#pragma once

#include "NodeCatalog.h"
#include "api/ApiService.h"
#include "platform/BrowserOpener.h"
#include "platform/SystemInfo.h"
#include "tunnel/ControlProgram.h"
#include "tunnel/HelperLocator.h"
#include "tunnel/TunnelPaths.h"
#include "tunnel/TunnelSettings.h"

#include <QList>
#include <QUrl>

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>

class AdminPrompt;
class PreferenceStore;
class QNetworkAccessManager;
class PrivilegedRunner;

// How long the app waits for things. Tests shrink them; production uses these values.
struct Intervals {
    std::chrono::milliseconds monitor{1000};
    std::chrono::milliseconds probeTimeout{3000};
    std::chrono::milliseconds stopPoll{200};
    int stopPolls = 40;
    std::chrono::milliseconds requestTimeout{15000};  // without progress
    std::chrono::milliseconds requestDeadline{60000}; // for a whole request, however steady
    std::chrono::milliseconds cancelDelay{10000};     // before a start may be cancelled
    // Before each attempt to start a lost tunnel again, when the user has asked for that.
    QList<std::chrono::milliseconds> reconnectWaits{std::chrono::seconds(2), std::chrono::seconds(4),
                                                    std::chrono::seconds(8)};
    std::chrono::milliseconds reconnectSettle{std::chrono::seconds(60)}; // up this long, a restored tunnel is sound
    // How often the app looks whether another process of the user (nimbrel-cli) drives a tunnel.
    std::chrono::milliseconds otherHolderLook{1000};
};

// What the operating system does for the tunnel. Tests and the demo plug in their own.
struct PlatformOperations {
    std::shared_ptr<AdminPrompt> adminPrompt;
    std::shared_ptr<PrivilegedRunner> privilegedRunner;
};

struct AppOptions;

// Everything AppViewModel depends on, handed in at construction: production wires the defaults,
// tests and the demo swap parts.
struct AppEnvironment {
    std::shared_ptr<PreferenceStore> preferences;
    QUrl apiBaseUrl;
    QUrl webSiteUrl;
    // The process's one network access manager; tests may hand in their own.
    QNetworkAccessManager *network = nullptr;
    TunnelPaths tunnelPaths;
    PlatformOperations platform;
    // What opens a page in the browser, given its path (see BrowserOpener), and the private folder the
    // page is written to.
    QString browserOpener = BrowserOpener::systemOpener();
    QString pageFolder = SystemInfo::privateRuntimeFolder();
    Intervals intervals;
    // Where the node list comes from; none: the service, through the session.
    NodeCatalog::Fetch nodeSource;
    // Owner a clean-up script must have before it is run as root.
    uid_t trustedScriptOwner = 0;
    // Where the helper is looked for, who installs its rights, and the sudoers drop-in they write.
    HelperLocator::Places helperPlaces;
    uid_t userId = 0;
    QString sudoersFile = QStringLiteral("/etc/sudoers.d/nimbrel");
    // The root-owned program the sudoers rule allows, and its configuration.
    ControlProgram::Location controlProgram;

    // The real system: the given store, the build's service URLs, the fixed /tmp paths, sudo, and on
    // Linux the packaged helper location after the usual places.
    static AppEnvironment production(std::shared_ptr<PreferenceStore> preferences);
    // What the app's or the client's options ask for over production: their service addresses and the
    // demo platform, with the given preference store (see openPreferences). None, with the reason, for
    // addresses that may not be used.
    static std::optional<AppEnvironment> fromOptions(const AppOptions &options,
                                                     std::shared_ptr<PreferenceStore> preferences, QString *problem);
    // The options' preference file, else the user's standard one.
    static std::shared_ptr<PreferenceStore> openPreferences(const AppOptions &options);
    // The demo: the same command lines without privilege, recorded in "privileged-commands.log" beside
    // the preference file, and the tunnel's files in that folder instead of /tmp.
    void useDemoPlatform();

    // What the tunnel controller and the service client are made with.
    TunnelSettings tunnelSettings() const;
    ApiService::Config apiConfig() const;
};
