#include "TunnelPaths.h"

#include "i18n/LanguageManager.h"
#include "platform/SystemInfo.h"

QString TunnelPaths::defaultOwnerLock()
{
    return SystemInfo::privateRuntimeFolder() + QStringLiteral("/tunnel.lock");
}

QString TunnelPaths::ownedByAnotherUser(const QString &path, uid_t owner)
{
    return LanguageManager::shared().formatted(QStringLiteral("path_owned_by_other"),
                                               QStringList{path, SystemInfo::userName(owner)});
}
