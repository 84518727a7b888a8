#include "AppEnvironment.h"

#include "BuildConfig.h"
#include "platform/AdminPrompt.h"
#include "platform/NetworkAccess.h"
#include "platform/PrivilegedRunner.h"
#include "platform/SystemInfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QThreadPool>

AppEnvironment AppEnvironment::production(std::shared_ptr<PreferenceStore> preferences)
{
    AppEnvironment environment;
    environment.preferences = std::move(preferences);
    environment.apiBaseUrl = QUrl(QString::fromUtf8(BuildConfig::apiBaseUrl));
    environment.webSiteUrl = QUrl(QString::fromUtf8(BuildConfig::webSiteUrl));
    environment.network = &NetworkAccess::shared();
    environment.platform.adminPrompt = std::make_shared<SystemAdminPrompt>();
    environment.platform.privilegedRunner = std::make_shared<SudoRunner>();
    environment.helperPlaces.programPath = QCoreApplication::arguments().value(0);
    environment.helperPlaces.currentDirectory = QDir::currentPath();
    environment.helperPlaces.homeDirectory = SystemInfo::homeDirectory();
    environment.loginName = SystemInfo::loginName();
    environment.workers = QThreadPool::globalInstance();
    return environment;
}
