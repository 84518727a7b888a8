#pragma once

#include <QString>
#include <QStringList>

struct NodeInfo;

// Whether the service's node data is safe to put on the helper's command line (the control program
// checks it again as root). The helper runs as root, so a value it could read as an option, split into
// more words, or cut short never reaches it.
namespace HelperLaunch {

// A port from 1 to 65535, a host that is not empty, host and SNI name (the host when the node has none;
// an empty SNI passes) without whitespace or control characters and not starting with "-", and a key
// without a line break or NUL.
bool isSafe(const NodeInfo &node, const QString &psk);

} // namespace HelperLaunch
