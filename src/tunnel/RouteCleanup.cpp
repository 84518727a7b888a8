#include "RouteCleanup.h"

#include "platform/PrivilegedRunner.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace RouteCleanup {

namespace {

void routeDelete(PrivilegedRunner &runner, const QStringList &arguments)
{
    runner.run(QStringList{QStringLiteral("/sbin/route"), QStringLiteral("delete")} + arguments,
               PrivilegedRunner::Output::Discard);
}

} // namespace

bool isRoutableHost(const QString &host)
{
    if (host.isEmpty() || host.startsWith(QLatin1Char('-')) || host.size() > 253)
        return false;
    if (!QHostAddress(host).isNull())
        return true;
    static const QRegularExpression name(
        QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?(\\.[A-Za-z0-9]([A-Za-z0-9-]*[A-Za-z0-9])?)*\\.?$"));
    return name.match(host).hasMatch();
}

void deleteTunnelRoutes(PrivilegedRunner &runner, const QString &serverHost)
{
    if (isRoutableHost(serverHost))
        routeDelete(runner, {serverHost});
    routeDelete(runner, {QStringLiteral("-net"), QStringLiteral("0.0.0.0/1")});
    routeDelete(runner, {QStringLiteral("-net"), QStringLiteral("128.0.0.0/1")});
}

} // namespace RouteCleanup
