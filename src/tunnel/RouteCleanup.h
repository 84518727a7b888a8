#pragma once

#include <QString>

class PrivilegedRunner;

// Deletes, as root, the routes a tunnel may have left: the one to the server's host (when it is a
// plain host name or address) and the two half-default routes. Failures are ignored. Blocks.
namespace RouteCleanup {

void deleteTunnelRoutes(PrivilegedRunner &runner, const QString &serverHost);
// A host that route(8) reads as a host: an IP address, or a name of letters, digits, "-" and "."
// that does not start with "-" (so it can never be taken for an option).
bool isRoutableHost(const QString &host);

} // namespace RouteCleanup
