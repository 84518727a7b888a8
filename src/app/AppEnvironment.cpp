#include "AppEnvironment.h"

#include "BuildConfig.h"
#include "platform/NetworkAccess.h"
#include "platform/PrivilegedRunner.h"

#include <QThreadPool>

AppEnvironment AppEnvironment::production(std::shared_ptr<PreferenceStore> preferences)
{
    AppEnvironment environment;
    environment.preferences = std::move(preferences);
    environment.apiBaseUrl = QUrl(QString::fromUtf8(BuildConfig::apiBaseUrl));
    environment.webSiteUrl = QUrl(QString::fromUtf8(BuildConfig::webSiteUrl));
    environment.network = &NetworkAccess::shared();
    environment.platform.privilegedRunner = std::make_shared<SudoRunner>();
    environment.workers = QThreadPool::globalInstance();
    return environment;
}
