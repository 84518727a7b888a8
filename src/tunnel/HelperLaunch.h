#pragma once

#include <QString>
#include <QStringList>

struct NodeInfo;

// What the helper is started with: its command line, and whether the service's node data is safe to put
// on it. The helper runs as root, so a value it could read as an option, split into more words, or cut
// short never reaches it.
namespace HelperLaunch {

// "--server-addr" HOST:PORT "--sni" NAME and "--smart" or "--route-all".
QStringList arguments(const QString &serverAddress, const QString &sni, bool smart);
// A port from 1 to 65535, a host that is not empty, host and SNI name (the host when the node has none;
// an empty SNI passes) without whitespace or control characters and not starting with "-", and a key
// without a line break or NUL.
bool isSafe(const NodeInfo &node, const QString &psk);

} // namespace HelperLaunch
