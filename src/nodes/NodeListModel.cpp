#include "NodeListModel.h"

#include <algorithm>

NodeListModel::NodeListModel(QObject *parent)
    : QAbstractListModel(parent)
{}

int NodeListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_nodes.size());
}

QVariant NodeListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const NodeInfo &node = m_nodes.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case NameRole:
        return node.name;
    case IdRole:
        return node.id;
    case CountryCodeRole:
        return node.countryCode;
    case CountryNameRole:
        return node.countryName;
    case FlagEmojiRole:
        return node.flagEmoji;
    case HostRole:
        return node.host;
    case PortRole:
        return node.port;
    case SniRole:
        return node.sniVariant();
    case StatusRole:
        return node.status;
    case LoadPercentRole: // the service's number as a percentage, whatever it sent
        return int(std::clamp<qint64>(node.loadPercent, 0, 100));
    case IsOnlineRole:
        return node.status == QLatin1String("ONLINE");
    case HasPingRole:
        return m_pingResults.contains(node.id);
    case PingMsRole:
        return m_pingResults.value(node.id, 0);
    case IsPingingRole:
        return m_pingingNodes.value(node.id, false);
    case IsSelectedRole:
        return m_selectedId == node.id;
    default:
        return {};
    }
}

QHash<int, QByteArray> NodeListModel::roleNames() const
{
    return {
        {IdRole, "nodeId"},
        {NameRole, "name"},
        {CountryCodeRole, "countryCode"},
        {CountryNameRole, "countryName"},
        {FlagEmojiRole, "flagEmoji"},
        {HostRole, "host"},
        {PortRole, "port"},
        {SniRole, "sni"},
        {StatusRole, "status"},
        {LoadPercentRole, "loadPercent"},
        {IsOnlineRole, "isOnline"},
        {HasPingRole, "hasPing"},
        {PingMsRole, "pingMs"},
        {IsPingingRole, "isPinging"},
        {IsSelectedRole, "isSelected"},
    };
}

void NodeListModel::setNodes(QList<NodeInfo> nodes)
{
    beginResetModel();
    m_nodes = std::move(nodes);
    m_rows.clear();
    m_rows.reserve(m_nodes.size());
    for (int row = 0; row < m_nodes.size(); ++row)
        m_rows.insert(m_nodes.at(row).id, row);
    endResetModel();
    emit countChanged();
}

void NodeListModel::setSelectedId(std::optional<qint64> id)
{
    const std::optional<qint64> previous = std::exchange(m_selectedId, id);
    if (previous)
        refreshRow(*previous, {IsSelectedRole});
    if (id && id != previous)
        refreshRow(*id, {IsSelectedRole});
}

void NodeListModel::setProbes(QHash<qint64, qint64> results, QHash<qint64, bool> pinging)
{
    m_pingResults = std::move(results);
    m_pingingNodes = std::move(pinging);
    if (rowCount() > 0)
        emit dataChanged(index(0), index(rowCount() - 1), {HasPingRole, PingMsRole, IsPingingRole});
}

void NodeListModel::setPingResult(qint64 id, qint64 milliseconds)
{
    m_pingResults.insert(id, milliseconds);
    refreshRow(id, {HasPingRole, PingMsRole});
}

void NodeListModel::setPinging(qint64 id, bool pinging)
{
    m_pingingNodes.insert(id, pinging);
    refreshRow(id, {IsPingingRole});
}

void NodeListModel::refreshRow(qint64 id, const QList<int> &roles)
{
    for (int row : m_rows.values(id))
        emit dataChanged(index(row), index(row), roles);
}
