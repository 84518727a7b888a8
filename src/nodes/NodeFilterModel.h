#pragma once

#include "NodeSearch.h"

#include <QAbstractListModel>
#include <QString>

#include <vector>

class NodeListModel;

// The rows of a node list that match the search typed above it (NodeSearch), in the list's order, with
// the list's roles. The folded text of each node is made at the first search after a new list (most
// lists are never searched) and kept, so a later keystroke only compares; a new search resets the rows
// at once (one signal, however many rows come or go), which costs far less than telling each of
// thousands of scattered rows apart.
class NodeFilterModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
    Q_PROPERTY(QString query READ query NOTIFY queryChanged)
public:
    explicit NodeFilterModel(NodeListModel *source, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    int count() const { return rowCount(); }
    const QString &query() const { return m_query; }
    void setQuery(const QString &query);
    // The row showing the node with this id; 0 when none does.
    Q_INVOKABLE int rowOf(qint64 id) const;

signals:
    void countChanged();
    void queryChanged();

private:
    void indexNodes();
    void filter();
    void forwardChange(const QModelIndex &topLeft, const QModelIndex &bottomRight, const QList<int> &roles);

    NodeListModel *m_source;
    std::vector<NodeSearch> m_searches; // one per source row, once a list is searched
    std::vector<int> m_shown;           // the source rows shown, in order
    std::vector<int> m_rowOfSource;     // each source row's row here, -1 when it is not shown
    QString m_query;
    QString m_foldedQuery;
};
