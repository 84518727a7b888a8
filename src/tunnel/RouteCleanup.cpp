#include "RouteCleanup.h"

#include "ControlProgram.h"

#include <QRegularExpression>

namespace RouteCleanup {

namespace {

bool isIpv4(const QString &host)
{
    static const QRegularExpression dotted(QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})$"));
    const QRegularExpressionMatch match = dotted.match(host);
    if (!match.hasMatch() || match.captured(1).toInt() == 0)
        return false;
    for (int octet = 1; octet <= 4; ++octet) {
        if (match.captured(octet).toInt() > 255)
            return false;
    }
    return true;
}

} // namespace

bool isRoutableHost(const QString &host)
{
    static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9.:-]{1,253}$"));
    if (!allowed.match(host).hasMatch() || host.startsWith(QLatin1Char('-')) || host.startsWith(QLatin1Char('.')) ||
        host.contains(QLatin1String("..")))
        return false;
    if (host.contains(QLatin1Char(':'))) {
        static const QRegularExpression ipv6(QStringLiteral("^[0-9A-Fa-f:.]+$"));
        static const QRegularExpression notUnspecified(QStringLiteral("[1-9A-Fa-f]"));
        return ipv6.match(host).hasMatch() && notUnspecified.match(host).hasMatch();
    }
    QString name = host;
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    const QString last = name.section(QLatin1Char('.'), -1);
    if (!last.isEmpty() && last.at(0).isDigit())
        return isIpv4(host);
    return !host.contains(QLatin1String(".-")) && !host.contains(QLatin1String("-.")) &&
           !host.endsWith(QLatin1Char('-')) && name.compare(QLatin1String("default"), Qt::CaseInsensitive) != 0;
}

void deleteTunnelRoutes(const ControlProgram &control, const QString &serverHost)
{
    control.deleteRoutes(isRoutableHost(serverHost) ? serverHost : QString());
}

} // namespace RouteCleanup
