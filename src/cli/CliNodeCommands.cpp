#include "CliCommands.h"

#include "CliFormat.h"
#include "CliSession.h"
#include "app/AppViewModel.h"
#include "i18n/LanguageManager.h"
#include "nodes/NodeSearch.h"
#include "nodes/NodeSelection.h"
#include "platform/PreferenceStore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <algorithm>
#include <limits>

using namespace CliFormat;

namespace {

const QString kPingHeader = QStringLiteral("  ID   LATENCY  NODE");

// A probe's line under kPingHeader. The name goes last: flags and scripts are of uneven width in a
// terminal.
QString latencyLine(qint64 id, qint64 milliseconds, const NodeInfo *node)
{
    return QStringLiteral("%1  %2  %3 %4")
        .arg(QString::number(id).rightJustified(4), latencyText(milliseconds).rightJustified(8),
             node ? node->flagEmoji : QString(), node ? node->name : QString());
}

// Timeouts after every answer.
qint64 latencyRank(qint64 milliseconds)
{
    return milliseconds < 0 ? std::numeric_limits<qint64>::max() : milliseconds;
}

} // namespace

QHash<qint64, qint64> CliCommands::lastLatencies() const
{
    const QJsonObject stored =
        QJsonDocument::fromJson(m_vm.environment().preferences->string(kLatencyKey).value_or(QString()).toUtf8())
            .object();
    QHash<qint64, qint64> latencies;
    for (auto it = stored.begin(); it != stored.end(); ++it) {
        if (const std::optional<qint64> id = nodeId(it.key()); id && it.value().isDouble())
            latencies.insert(*id, it.value().toInteger(-1));
    }
    return latencies;
}

void CliCommands::rememberLatencies(const QHash<qint64, qint64> &results)
{
    QJsonObject stored;
    QHash<qint64, qint64> merged = lastLatencies();
    merged.insert(results);
    for (auto it = merged.cbegin(); it != merged.cend(); ++it) {
        if (m_vm.listedNode(it.key())) // forget nodes the service no longer lists
            stored.insert(QString::number(it.key()), it.value());
    }
    m_vm.environment().preferences->setString(kLatencyKey,
                                              QString::fromUtf8(QJsonDocument(stored).toJson(QJsonDocument::Compact)));
}

QHash<qint64, qint64> CliCommands::probe(const QList<qint64> &ids, ProbeOutput output)
{
    QSet<qint64> waiting(ids.cbegin(), ids.cend());
    QHash<qint64, qint64> results;
    const QMetaObject::Connection arrival =
        QObject::connect(&m_vm, &AppViewModel::pingStateChanged, &m_session, [&](qint64 id) {
            if (!waiting.contains(id) || m_vm.pingingNodes().value(id) || !m_vm.pingResults().contains(id))
                return;
            waiting.remove(id);
            const qint64 milliseconds = m_vm.pingResults().value(id);
            results.insert(id, milliseconds);
            m_session.wake(); // the wait may have looked before this handler ran
            if (output == ProbeOutput::None)
                return;
            const NodeInfo *node = m_vm.listedNode(id);
            if (output == ProbeOutput::EachAsItArrives)
                m_out.line(latencyLine(id, milliseconds, node));
            QJsonObject result{{QStringLiteral("id"), id}, {QStringLiteral("name"), node ? node->name : QString()}};
            insertLatency(result, milliseconds);
            m_out.document(result);
        });
    for (const qint64 id : waiting)
        m_vm.pingNodeById(id);
    m_session.waitUntil([&waiting] { return waiting.isEmpty(); });
    QObject::disconnect(arrival);
    rememberLatencies(results);
    return results;
}

QList<NodeInfo> CliCommands::nodesFound(const QString &query) const
{
    const QString folded = NodeSearch::fold(query.trimmed());
    QList<NodeInfo> found;
    std::copy_if(m_vm.nodes().cbegin(), m_vm.nodes().cend(), std::back_inserter(found),
                 [&folded](const NodeInfo &node) { return NodeSearch(node).matches(folded); });
    return found;
}

const NodeInfo *CliCommands::requireOneFound(const QString &query)
{
    const QList<NodeInfo> found = nodesFound(query);
    if (found.size() == 1)
        return m_vm.listedNode(found.first().id);
    if (found.isEmpty()) {
        m_out.error(formatted(QStringLiteral("cli_no_node_matches"), query.trimmed()));
    } else {
        listNodes(found);
        m_out.error(formatted(QStringLiteral("cli_node_ambiguous"),
                              QStringList{query.trimmed(), QString::number(found.size())}));
    }
    return nullptr;
}

int CliCommands::nodes()
{
    if (const std::optional<int> failed = openSession(Nodes::Required))
        return *failed;
    if (m_request.refresh) {
        QList<qint64> ids;
        for (const NodeInfo &node : m_vm.nodes())
            ids.append(node.id);
        probe(ids, ProbeOutput::None);
        if (m_session.interrupted())
            return failure(localized(QStringLiteral("cli_interrupted")));
    }
    QStringList ids;
    for (const NodeInfo &node : m_vm.nodes())
        ids.append(QString::number(node.id));
    m_vm.environment().preferences->setString(kListedIdsKey, ids.join(QLatin1Char(' ')));
    const std::optional<QString> filter =
        m_request.operands.isEmpty() ? std::nullopt : std::optional(m_request.operands.first());
    const QList<NodeInfo> shown = filter ? nodesFound(*filter) : m_vm.nodes();
    if (shown.isEmpty() && !m_out.json()) {
        m_out.line(filter ? formatted(QStringLiteral("cli_no_nodes_match"), filter->trimmed())
                          : localized(QStringLiteral("no_nodes_available")));
        return ExitSuccess;
    }
    listNodes(shown);
    return ExitSuccess;
}

void CliCommands::listNodes(const QList<NodeInfo> &nodes) const
{
    const QHash<qint64, qint64> latencies = lastLatencies();
    const std::optional<qint64> selected = m_vm.selectedNode() ? std::optional(m_vm.selectedNode()->id) : std::nullopt;
    if (m_out.json()) {
        QJsonArray list;
        for (const NodeInfo &node : nodes) {
            QJsonObject entry = nodeJson(node);
            entry.insert(QStringLiteral("selected"), selected == node.id);
            // The last probe's result, as the last ping or refresh left it.
            insertLatency(entry, latencies.contains(node.id) ? std::optional(latencies.value(node.id)) : std::nullopt);
            list.append(entry);
        }
        m_out.document(
            {{QStringLiteral("nodes"), list},
             {QStringLiteral("selectedId"), selected ? QJsonValue(*selected) : QJsonValue(QJsonValue::Null)}});
        return;
    }
    // The name goes last: flags and scripts are of uneven width in a terminal. One arg call: a "%1" in
    // what the service sends stays as it is.
    m_out.line(QStringLiteral("    ID  STATUS    LOAD  LATENCY  NODE"));
    for (const NodeInfo &node : nodes) {
        const QString latency =
            latencies.contains(node.id) ? latencyText(latencies.value(node.id)) : QStringLiteral("-");
        m_out.line(QStringLiteral("%1 %2  %3  %4  %5  %6 %7")
                       .arg(selected == node.id ? QStringLiteral("*") : QStringLiteral(" "),
                            QString::number(node.id).rightJustified(4), node.status.left(8).leftJustified(8),
                            QString::number(node.loadPercent).append(u'%').rightJustified(4), latency.rightJustified(7),
                            node.flagEmoji, node.name));
    }
}

int CliCommands::listedNodeIds()
{
    const QString ids = m_vm.environment().preferences->string(kListedIdsKey).value_or(QString());
    if (!ids.isEmpty())
        m_out.line(ids);
    return ExitSuccess;
}

int CliCommands::ping()
{
    QList<qint64> ids;
    for (const QString &operand : m_request.operands) {
        const std::optional<qint64> id = nodeId(operand);
        if (!id)
            return usageError(QStringLiteral("not a node id: \"%1\"").arg(operand));
        ids.append(*id);
    }
    if (const std::optional<int> failed = openSession(Nodes::Required))
        return *failed;
    if (m_request.all) {
        for (const NodeInfo &node : m_vm.nodes())
            ids.append(node.id);
    } else if (ids.isEmpty()) {
        if (!m_vm.selectedNode())
            return failure(localized(QStringLiteral("select_node_first")));
        ids.append(m_vm.selectedNode()->id);
    }
    for (const qint64 id : ids) {
        if (!requireListed(id))
            return ExitFailure;
    }
    // --all waits for every probe, then shows them fastest first; JSON lines still come as they arrive.
    const QHash<qint64, qint64> results =
        probe(ids, m_request.all ? ProbeOutput::JsonAsItArrives : ProbeOutput::EachAsItArrives);
    if (m_request.all)
        printByLatency(ids, results);
    if (m_session.interrupted())
        return failure(localized(QStringLiteral("cli_interrupted")));
    if (!m_request.pick)
        return ExitSuccess;
    QList<NodeInfo> probed;
    for (const qint64 id : ids)
        probed.append(*m_vm.listedNode(id));
    const std::optional<NodeInfo> fastest = NodeSelection::fastest(probed, results);
    if (!fastest)
        return failure(localized(QStringLiteral("no_reachable_node")));
    m_vm.selectNodeById(fastest->id);
    m_out.line(formatted(QStringLiteral("cli_selected"), nodeLabel(*fastest)));
    m_out.document({{QStringLiteral("selectedNode"), nodeJson(*fastest)}});
    return ExitSuccess;
}

void CliCommands::printByLatency(QList<qint64> ids, const QHash<qint64, qint64> &results) const
{
    ids.removeIf([&results](qint64 id) { return !results.contains(id); }); // cut short by Ctrl-C
    std::stable_sort(ids.begin(), ids.end(), [&results](qint64 a, qint64 b) {
        return latencyRank(results.value(a)) < latencyRank(results.value(b));
    });
    m_out.line(kPingHeader);
    for (const qint64 id : ids)
        m_out.line(latencyLine(id, results.value(id), m_vm.listedNode(id)));
}

int CliCommands::select()
{
    const std::optional<qint64> id = nodeId(m_request.operands.value(0));
    if (!id)
        return usageError(QStringLiteral("not a node id: \"%1\"").arg(m_request.operands.value(0)));
    if (const std::optional<int> failed = openSession(Nodes::Required))
        return *failed;
    const NodeInfo *node = requireListed(*id);
    if (!node)
        return ExitFailure;
    m_vm.selectNodeById(*id);
    m_out.line(formatted(QStringLiteral("cli_selected"), nodeLabel(*node)));
    m_out.document({{QStringLiteral("selectedNode"), nodeJson(*node)}});
    return ExitSuccess;
}
