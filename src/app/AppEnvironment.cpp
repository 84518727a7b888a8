#include "AppEnvironment.h"

#include "AppOptions.h"
#include "AppSwitches.h"
#include "BuildConfig.h"
#include "demo/DemoPlatform.h"
#include "platform/AdminPrompt.h"
#include "platform/NetworkAccess.h"
#include "platform/PreferenceStore.h"
#include "platform/PrivilegedRunner.h"
#include "platform/SystemInfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>

#include <unistd.h>

AppEnvironment AppEnvironment::production(std::shared_ptr<PreferenceStore> preferences)
{
    AppEnvironment environment;
    environment.preferences = std::move(preferences);
    environment.apiBaseUrl = QUrl(QString::fromUtf8(BuildConfig::apiBaseUrl));
    environment.webSiteUrl = QUrl(QString::fromUtf8(BuildConfig::webSiteUrl));
    environment.network = &NetworkAccess::shared();
    environment.platform.adminPrompt = std::make_shared<SystemAdminPrompt>();
    environment.platform.privilegedRunner = std::make_shared<SudoRunner>();
    environment.helperPlaces.programPath = SystemInfo::executablePath();
    environment.helperPlaces.currentDirectory = QDir::currentPath();
    environment.helperPlaces.homeDirectory = SystemInfo::homeDirectory();
#if defined(Q_OS_LINUX)
    environment.helperPlaces.extraCandidates = {QString::fromUtf8(BuildConfig::packagedHelperPath)};
#endif
    environment.userId = ::getuid();
    return environment;
}

std::shared_ptr<PreferenceStore> AppEnvironment::openPreferences(const AppOptions &options)
{
    return options.settingsFile.isEmpty() ? PreferenceStore::openStandard()
                                          : PreferenceStore::openFile(options.settingsFile);
}

std::optional<AppEnvironment>
AppEnvironment::fromOptions(const AppOptions &options, std::shared_ptr<PreferenceStore> preferences, QString *problem)
{
    QUrl apiBase;
    QUrl webSite;
    if (!options.resolveServiceUrls(&apiBase, &webSite, problem))
        return std::nullopt;
    AppEnvironment environment = production(std::move(preferences));
    environment.apiBaseUrl = apiBase;
    environment.webSiteUrl = webSite;
    if (options.demo)
        environment.useDemoPlatform();
    return environment;
}

void AppEnvironment::useDemoPlatform()
{
    const QString helper = HelperLocator(preferences, helperPlaces).binaryPath();
    const QDir folder = QFileInfo(preferences->location()).absoluteDir();
    const QString installation = folder.filePath(QStringLiteral("privileges-installed"));
    platform.adminPrompt = std::make_shared<DemoAdminPrompt>(helper, installation);
    platform.privilegedRunner = std::make_shared<DemoPrivilegedRunner>(
        folder.filePath(QStringLiteral("privileged-commands.log")), installation);
    trustedScriptOwner = ::geteuid(); // the simulated helper's clean-up script is the user's own

    // The tunnel's files live beside the preference file too, so a demo never meets a real tunnel's
    // files in /tmp (nor another demo's); the simulated helper learns the paths from its environment.
    const QDir state = QFileInfo(preferences->location()).absoluteDir();
    tunnelPaths.log = state.filePath(QStringLiteral("fw.log"));
    tunnelPaths.pid = state.filePath(QStringLiteral("fw.pid"));
    tunnelPaths.cleanupScript = state.filePath(QStringLiteral("fw_smart_cleanup.sh"));
    tunnelPaths.gateway = state.filePath(QStringLiteral("fw_smart_gw.txt"));
    tunnelPaths.ownerLock = state.filePath(QStringLiteral("tunnel.lock"));
    qputenv("NIMBREL_SIMHELPER_CLEANUP_SCRIPT", QFile::encodeName(tunnelPaths.cleanupScript));
    qputenv("NIMBREL_SIMHELPER_GATEWAY_FILE", QFile::encodeName(tunnelPaths.gateway));
}

TunnelSettings AppEnvironment::tunnelSettings() const
{
    TunnelSettings settings;
    settings.preferences = preferences;
    settings.paths = tunnelPaths;
    settings.adminPrompt = platform.adminPrompt;
    settings.privilegedRunner = platform.privilegedRunner;
    settings.monitorInterval = intervals.monitor;
    settings.cancelDelay = intervals.cancelDelay;
    settings.stopPoll = intervals.stopPoll;
    settings.stopPolls = intervals.stopPolls;
    settings.trustedScriptOwner = trustedScriptOwner;
    settings.helperPlaces = helperPlaces;
    settings.userId = userId;
    settings.sudoersFile = sudoersFile;
    settings.controlProgram = controlProgram;
    settings.reconnectWhenLost = [preferences = preferences] {
        return AppSwitches(preferences, QString()).isOn(AppSwitches::Switch::autoReconnect);
    };
    settings.reconnectWaits = intervals.reconnectWaits;
    settings.reconnectSettle = intervals.reconnectSettle;
    return settings;
}

ApiService::Config AppEnvironment::apiConfig() const
{
    ApiService::Config config;
    config.network = network ? network : &NetworkAccess::shared();
    config.baseUrl = apiBaseUrl;
    config.timeout = intervals.requestTimeout;
    config.deadline = intervals.requestDeadline;
    return config;
}
