#pragma once

#include <QString>
#include <QUrl>

#include <optional>

// Checks the service addresses the app is given. Only https is accepted, except plain http to a
// loopback address (the local development service), so nothing leaves the machine unencrypted.
namespace ServiceUrls {

// An absolute http(s) URL with a host, whose path ends in "/". Returns why not, or none when fine.
std::optional<QString> apiBaseProblem(const QUrl &url);
// The web site opened for subscribing: an absolute http(s) URL with a host.
std::optional<QString> webSiteProblem(const QUrl &url);
bool isLoopbackHost(const QString &host);

} // namespace ServiceUrls
