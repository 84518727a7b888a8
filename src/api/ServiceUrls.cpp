#include "ServiceUrls.h"

#include <QHostAddress>

namespace ServiceUrls {

namespace {

std::optional<QString> schemeProblem(const QUrl &url, const QString &what)
{
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return QStringLiteral("%1 \"%2\" is not an absolute URL with a host").arg(what, url.toDisplayString());
    const QString scheme = url.scheme();
    if (scheme == QLatin1String("https"))
        return std::nullopt;
    if (scheme == QLatin1String("http") && isLoopbackHost(url.host()))
        return std::nullopt;
    return QStringLiteral("%1 \"%2\" must use https (plain http only to a loopback address)")
        .arg(what, url.toDisplayString());
}

} // namespace

bool isLoopbackHost(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

std::optional<QString> apiBaseProblem(const QUrl &url)
{
    if (std::optional<QString> problem = schemeProblem(url, QStringLiteral("The API base URL")))
        return problem;
    if (!url.path().endsWith(QLatin1Char('/')))
        return QStringLiteral("The API base URL \"%1\" must end in \"/\"").arg(url.toDisplayString());
    if (url.hasQuery() || url.hasFragment())
        return QStringLiteral("The API base URL \"%1\" must not carry a query or fragment").arg(url.toDisplayString());
    return std::nullopt;
}

std::optional<QString> webSiteProblem(const QUrl &url)
{
    return schemeProblem(url, QStringLiteral("The web site URL"));
}

} // namespace ServiceUrls
