#pragma once

#include <QAbstractListModel>
#include <QHash>

class AppViewModel;

// The node list for QML: one row per node, in the service's order, with the node's fields, its last
// probe result and whether it is being probed or selected. A probe result changes one row, a new list
// resets the model.
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
        PingMsRole, // null when never probed
        IsPingingRole,
        IsSelectedRole,
        IsLastRole,
    };
    Q_ENUM(Role)

    explicit NodeListModel(AppViewModel &viewModel, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int count() const { return rowCount(); }
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The rows of a node id (a list may repeat an id), none when it is not listed.
    QList<int> rowsOf(qint64 id) const { return m_rows.values(id); }

signals:
    void countChanged();

private:
    void reload();
    void refreshRow(qint64 id, const QList<int> &roles);
    void refreshSelection();

    AppViewModel &m_viewModel;
    QMultiHash<qint64, int> m_rows;
    std::optional<qint64> m_selectedId;
};
