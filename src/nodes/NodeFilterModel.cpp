#include "NodeFilterModel.h"

#include "NodeListModel.h"

NodeFilterModel::NodeFilterModel(NodeListModel *source, QObject *parent)
    : QSortFilterProxyModel(parent)
    , m_source(source)
{
    // The proxy's own reset handler runs after this one, so the rows it asks about are indexed.
    connect(source, &QAbstractItemModel::modelReset, this, &NodeFilterModel::indexNodes);
    indexNodes();
    setSourceModel(source);
    setDynamicSortFilter(false); // a probe result or the selection never changes whether a row matches
    connect(this, &QAbstractItemModel::rowsInserted, this, &NodeFilterModel::countChanged);
    connect(this, &QAbstractItemModel::rowsRemoved, this, &NodeFilterModel::countChanged);
    connect(this, &QAbstractItemModel::modelReset, this, &NodeFilterModel::countChanged);
    connect(this, &QAbstractItemModel::layoutChanged, this, &NodeFilterModel::countChanged);
}

void NodeFilterModel::indexNodes()
{
    const QList<NodeInfo> &nodes = m_source->nodes();
    m_searches.clear();
    m_searches.reserve(nodes.size());
    for (const NodeInfo &node : nodes)
        m_searches.emplace_back(node);
}

void NodeFilterModel::setQuery(const QString &query)
{
    if (query == m_query)
        return;
    m_query = query;
    emit queryChanged();
    QString folded = NodeSearch::fold(query.trimmed());
    if (folded == m_foldedQuery)
        return;
    m_foldedQuery = std::move(folded);
    invalidateFilter();
}

int NodeFilterModel::rowOf(qint64 id) const
{
    const QList<int> sourceRows = m_source->rowsOf(id);
    const QModelIndex shown = sourceRows.isEmpty() ? QModelIndex() : mapFromSource(m_source->index(sourceRows.first()));
    return shown.isValid() ? shown.row() : 0;
}

bool NodeFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex &) const
{
    return sourceRow < int(m_searches.size()) && m_searches[size_t(sourceRow)].matches(m_foldedQuery);
}
