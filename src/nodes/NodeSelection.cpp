#include "NodeSelection.h"

#include <algorithm>

namespace NodeSelection {

std::optional<NodeInfo> choose(const std::optional<NodeInfo> &current, std::optional<qint64> remembered,
                               const QList<NodeInfo> &nodes)
{
    const auto isOnline = [](const NodeInfo &node) { return node.status == QLatin1String("ONLINE"); };
    const auto withId = [&nodes](qint64 id) {
        return std::find_if(nodes.cbegin(), nodes.cend(), [id](const NodeInfo &node) { return node.id == id; });
    };
    if (current && withId(current->id) != nodes.cend())
        return current;
    if (!current && remembered) {
        if (const auto chosen = withId(*remembered); chosen != nodes.cend() && isOnline(*chosen))
            return *chosen;
    }
    const auto online = std::find_if(nodes.cbegin(), nodes.cend(), isOnline);
    return online == nodes.cend() ? std::nullopt : std::optional(*online);
}

std::optional<NodeInfo> fastest(const QList<NodeInfo> &nodes, const QHash<qint64, qint64> &latencies)
{
    const NodeInfo *best = nullptr;
    qint64 bestLatency = 0;
    for (const NodeInfo &node : nodes) {
        const qint64 latency = latencies.value(node.id, -1);
        if (node.status != QLatin1String("ONLINE") || latency < 0)
            continue;
        if (!best || latency < bestLatency || (latency == bestLatency && node.loadPercent < best->loadPercent)) {
            best = &node;
            bestLatency = latency;
        }
    }
    return best ? std::optional(*best) : std::nullopt;
}

} // namespace NodeSelection
