#pragma once

#include "api/NodeInfo.h"

#include <QHash>
#include <QList>

#include <optional>

namespace NodeSelection {

// The node selected once a new list has arrived. The selected node stays while its id is listed. When
// it has left the list, the first node that is exactly "ONLINE" takes its place (none without one).
// When nothing was selected, the node the user chose last (remembered) comes first, but only while it
// is listed and exactly "ONLINE".
std::optional<NodeInfo> choose(const std::optional<NodeInfo> &current, std::optional<qint64> remembered,
                               const QList<NodeInfo> &nodes);

// The node a "fastest" pick takes: exactly "ONLINE", with a measured latency (a probe that timed out or
// was refused never wins), the lowest latency first, then the lower load, then the earlier in the list.
std::optional<NodeInfo> fastest(const QList<NodeInfo> &nodes, const QHash<qint64, qint64> &latencies);

} // namespace NodeSelection
