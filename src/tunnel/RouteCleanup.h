#pragma once

#include <QString>

class ControlProgram;

// Deletes, as root through the control program, the routes a tunnel may have left: the one to the
// server's host (when it is a plain host name or address) and the two half-default routes. Failures
// are ignored. Blocks.
namespace RouteCleanup {

void deleteTunnelRoutes(const ControlProgram &control, const QString &serverHost);
// A host that route(8) can only read as one host, by the control program's own rule: an IP address
// (not an unspecified one, no IPv4 in another notation) or a DNS name of letters, digits, "-" and "."
// whose last label starts with a letter, never "default" and never starting with "-".
bool isRoutableHost(const QString &host);

} // namespace RouteCleanup
