#include "CliCommands.h"

#include "CliFormat.h"
#include "CliSession.h"
#include "app/AppViewModel.h"
#include "i18n/LanguageManager.h"
#include "nodes/NodeSelection.h"
#include "platform/PreferenceStore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

using namespace CliFormat;

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

QHash<qint64, qint64> CliCommands::probe(const QList<qint64> &ids, bool print)
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
            if (!print)
                return;
            const NodeInfo *node = m_vm.listedNode(id);
            m_out.line(QStringLiteral("%1  %2  %3 %4")
                           .arg(id, 4)
                           .arg(latencyText(milliseconds), 8)
                           .arg(node ? node->flagEmoji : QString(), node ? node->name : QString()));
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

int CliCommands::nodes()
{
    if (const std::optional<int> failed = openSession(Nodes::Required))
        return *failed;
    if (m_request.refresh) {
        QList<qint64> ids;
        for (const NodeInfo &node : m_vm.nodes())
            ids.append(node.id);
        probe(ids, false);
        if (m_session.interrupted())
            return failure(localized(QStringLiteral("cli_interrupted")));
    }
    QStringList ids;
    for (const NodeInfo &node : m_vm.nodes())
        ids.append(QString::number(node.id));
    m_vm.environment().preferences->setString(kListedIdsKey, ids.join(QLatin1Char(' ')));
    const QHash<qint64, qint64> latencies = lastLatencies();
    const std::optional<qint64> selected = m_vm.selectedNode() ? std::optional(m_vm.selectedNode()->id) : std::nullopt;
    if (m_out.json()) {
        QJsonArray list;
        for (const NodeInfo &node : m_vm.nodes()) {
            QJsonObject entry = nodeJson(node);
            entry.insert(QStringLiteral("selected"), selected == node.id);
            // The last probe's result, as the last ping or refresh left it.
            insertLatency(entry, latencies.contains(node.id) ? std::optional(latencies.value(node.id)) : std::nullopt);
            list.append(entry);
        }
        m_out.document(
            {{QStringLiteral("nodes"), list},
             {QStringLiteral("selectedId"), selected ? QJsonValue(*selected) : QJsonValue(QJsonValue::Null)}});
        return ExitSuccess;
    }
    if (m_vm.nodes().isEmpty()) {
        m_out.line(localized(QStringLiteral("no_nodes_available")));
        return ExitSuccess;
    }
    // The name goes last: flags and scripts are of uneven width in a terminal.
    m_out.line(QStringLiteral("    ID  STATUS    LOAD  LATENCY  NODE"));
    for (const NodeInfo &node : m_vm.nodes()) {
        m_out.line(
            QStringLiteral("%1 %2  %3  %4  %5  %6 %7")
                .arg(selected == node.id ? QStringLiteral("*") : QStringLiteral(" "))
                .arg(node.id, 4)
                .arg(node.status.left(8), -8)
                .arg(QStringLiteral("%1%").arg(node.loadPercent), 4)
                .arg(latencies.contains(node.id) ? latencyText(latencies.value(node.id)) : QStringLiteral("-"), 7)
                .arg(node.flagEmoji, node.name));
    }
    return ExitSuccess;
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
    const QHash<qint64, qint64> results = probe(ids, true);
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
