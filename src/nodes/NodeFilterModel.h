#pragma once

#include "NodeSearch.h"

#include <QSortFilterProxyModel>
#include <QString>

#include <vector>

class NodeListModel;

// The rows of a node list that match the search typed above it (NodeSearch), in the list's order. The
// folded text of each node is kept from one list to the next keystroke, so a keystroke compares only.
class NodeFilterModel : public QSortFilterProxyModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
    Q_PROPERTY(QString query READ query NOTIFY queryChanged)
public:
    explicit NodeFilterModel(NodeListModel *source, QObject *parent = nullptr);

    int count() const { return rowCount(); }
    const QString &query() const { return m_query; }
    void setQuery(const QString &query);
    // The row showing the node with this id; 0 when none does.
    Q_INVOKABLE int rowOf(qint64 id) const;

signals:
    void countChanged();
    void queryChanged();

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    void indexNodes();

    NodeListModel *m_source;
    std::vector<NodeSearch> m_searches; // one per source row
    QString m_query;
    QString m_foldedQuery;
};
