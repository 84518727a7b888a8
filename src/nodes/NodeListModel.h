#pragma once

#include "api/NodeInfo.h"

#include <QAbstractListModel>
#include <QHash>
#include <QList>

#include <optional>

// The node list for QML and its owner: one row per node, in the service's order, with the node's
// fields, its last probe result and whether it is being probed or selected. It holds the rows and the
// two probe maps; whoever composes it writes them. A probe result changes one row, a new list resets
// the model (announced while the old rows are still in place).
class NodeListModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(int count READ count NOTIFY countChanged)
public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        NameRole,
        CountryCodeRole,
        CountryNameRole,
        FlagEmojiRole,
        HostRole,
        PortRole,
        SniRole,
        StatusRole,
        LoadPercentRole,
        IsOnlineRole,
        HasPingRole, // probed at least once
        PingMsRole,  // the last probe's milliseconds (-1: timed out); 0 when never probed
        IsPingingRole,
        IsSelectedRole,
    };
    Q_ENUM(Role)

    explicit NodeListModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int count() const { return rowCount(); }
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The rows of a node id (a list may repeat an id), none when it is not listed.
    QList<int> rowsOf(qint64 id) const { return m_rows.values(id); }

    const QList<NodeInfo> &nodes() const { return m_nodes; }
    // Milliseconds of each node's last probe (-1: it timed out); a node never probed has none.
    const QHash<qint64, qint64> &pingResults() const { return m_pingResults; }
    const QHash<qint64, bool> &pingingNodes() const { return m_pingingNodes; }

    void setNodes(QList<NodeInfo> nodes);
    void setSelectedId(std::optional<qint64> id);
    // Replace both probe maps.
    void setProbes(QHash<qint64, qint64> results, QHash<qint64, bool> pinging);
    void setPingResult(qint64 id, qint64 milliseconds);
    void setPinging(qint64 id, bool pinging);

signals:
    void countChanged();

private:
    void refreshRow(qint64 id, const QList<int> &roles);

    QList<NodeInfo> m_nodes;
    QMultiHash<qint64, int> m_rows;
    std::optional<qint64> m_selectedId;
    QHash<qint64, qint64> m_pingResults;
    QHash<qint64, bool> m_pingingNodes;
};
