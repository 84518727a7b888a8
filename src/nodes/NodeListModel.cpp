#include "NodeListModel.h"

#include "app/AppViewModel.h"

NodeListModel::NodeListModel(AppViewModel &viewModel, QObject *parent)
    : QAbstractListModel(parent)
    , m_viewModel(viewModel)
{
    connect(&m_viewModel, &AppViewModel::nodesChanged, this, &NodeListModel::reload);
    connect(&m_viewModel, &AppViewModel::selectedNodeChanged, this, &NodeListModel::refreshSelection);
    connect(&m_viewModel, &AppViewModel::pingStateChanged, this, [this](qint64 id) {
        refreshRow(id, {PingMsRole, IsPingingRole});
    });
    connect(&m_viewModel, &AppViewModel::pingMapsReset, this, [this] {
        if (rowCount() > 0)
            emit dataChanged(index(0), index(rowCount() - 1), {PingMsRole, IsPingingRole});
    });
    reload();
}

int NodeListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_viewModel.nodes().size());
}

QVariant NodeListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const NodeInfo &node = m_viewModel.nodes().at(index.row());
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
    case LoadPercentRole:
        return node.loadPercent;
    case IsOnlineRole:
        return node.status == QLatin1String("ONLINE");
    case PingMsRole: {
        const auto found = m_viewModel.pingResults().constFind(node.id);
        return found == m_viewModel.pingResults().constEnd() ? QVariant() : QVariant(*found);
    }
    case IsPingingRole:
        return m_viewModel.pingingNodes().value(node.id, false);
    case IsSelectedRole:
        return m_viewModel.selectedNode() && m_viewModel.selectedNode()->id == node.id;
    case IsLastRole:
        return index.row() == rowCount() - 1;
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
        {PingMsRole, "pingMs"},
        {IsPingingRole, "isPinging"},
        {IsSelectedRole, "isSelected"},
        {IsLastRole, "isLast"},
    };
}

void NodeListModel::reload()
{
    beginResetModel();
    m_rows.clear();
    const QList<NodeInfo> &nodes = m_viewModel.nodes();
    m_rows.reserve(nodes.size());
    for (int row = 0; row < nodes.size(); ++row)
        m_rows.insert(nodes.at(row).id, row);
    endResetModel();
    emit countChanged();
    m_selectedId = m_viewModel.selectedNode() ? std::optional(m_viewModel.selectedNode()->id) : std::nullopt;
}

void NodeListModel::refreshRow(qint64 id, const QList<int> &roles)
{
    for (int row : m_rows.values(id))
        emit dataChanged(index(row), index(row), roles);
}

void NodeListModel::refreshSelection()
{
    const std::optional<qint64> selected =
        m_viewModel.selectedNode() ? std::optional(m_viewModel.selectedNode()->id) : std::nullopt;
    if (m_selectedId)
        refreshRow(*m_selectedId, {IsSelectedRole});
    m_selectedId = selected;
    if (selected)
        refreshRow(*selected, {IsSelectedRole});
}
