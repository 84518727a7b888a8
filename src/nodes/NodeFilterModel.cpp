#include "NodeFilterModel.h"

#include "NodeListModel.h"

NodeFilterModel::NodeFilterModel(NodeListModel *source, QObject *parent)
    : QAbstractListModel(parent)
    , m_source(source)
{
    connect(source, &QAbstractItemModel::modelAboutToBeReset, this, &NodeFilterModel::beginResetModel);
    connect(source, &QAbstractItemModel::modelReset, this, [this] {
        m_searches.clear(); // folded again at the next search, not with every list
        filter();
        endResetModel();
        emit countChanged();
    });
    connect(source, &QAbstractItemModel::dataChanged, this, &NodeFilterModel::forwardChange);
    filter();
}

int NodeFilterModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_shown.size());
}

QVariant NodeFilterModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    return m_source->data(m_source->index(m_shown[size_t(index.row())]), role);
}

QHash<int, QByteArray> NodeFilterModel::roleNames() const
{
    return m_source->roleNames();
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
    const int before = count();
    beginResetModel();
    filter();
    endResetModel();
    if (count() != before)
        emit countChanged();
}

int NodeFilterModel::rowOf(qint64 id) const
{
    for (const int sourceRow : m_source->rowsOf(id)) {
        if (m_rowOfSource[size_t(sourceRow)] >= 0)
            return m_rowOfSource[size_t(sourceRow)];
    }
    return 0;
}

void NodeFilterModel::indexNodes()
{
    const QList<NodeInfo> &nodes = m_source->nodes();
    m_searches.clear();
    m_searches.reserve(size_t(nodes.size()));
    for (const NodeInfo &node : nodes)
        m_searches.emplace_back(node);
}

void NodeFilterModel::filter()
{
    const auto rows = size_t(m_source->nodes().size());
    if (!m_foldedQuery.isEmpty() && m_searches.size() != rows)
        indexNodes();
    m_shown.clear();
    m_rowOfSource.assign(rows, -1);
    for (size_t row = 0; row < rows; ++row) {
        if (m_foldedQuery.isEmpty() || m_searches[row].matches(m_foldedQuery)) {
            m_rowOfSource[row] = int(m_shown.size());
            m_shown.push_back(int(row));
        }
    }
}

void NodeFilterModel::forwardChange(const QModelIndex &topLeft, const QModelIndex &bottomRight, const QList<int> &roles)
{
    // The shown rows between the two, as one range: one row stays one row, every row stays every row.
    int first = -1;
    int last = -1;
    for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
        if (const int shown = m_rowOfSource[size_t(row)]; shown >= 0) {
            first = first < 0 ? shown : first;
            last = shown;
        }
    }
    if (first >= 0)
        emit dataChanged(index(first), index(last), roles);
}
