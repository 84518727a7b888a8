#include "TunnelPaths.h"

#include "platform/SystemInfo.h"

QString TunnelPaths::defaultOwnerLock()
{
    return SystemInfo::privateRuntimeFolder() + QStringLiteral("/tunnel.lock");
}
