#pragma once

#include "api/NodeInfo.h"

#include <QList>

#include <optional>

namespace NodeSelection {

// The node selected once a new list has arrived. The selected node stays while its id is listed. When
// it has left the list, the first node that is exactly "ONLINE" takes its place (none without one).
// When nothing was selected, the node the user chose last (remembered) comes first, but only while it
// is listed and exactly "ONLINE".
std::optional<NodeInfo> choose(const std::optional<NodeInfo> &current, std::optional<qint64> remembered,
                               const QList<NodeInfo> &nodes);

} // namespace NodeSelection
