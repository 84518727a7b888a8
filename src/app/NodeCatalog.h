#pragma once

#include "api/ApiRecords.h"
#include "api/ApiResult.h"
#include "api/NodeInfo.h"

#include <QCoroTask>
#include <QHash>
#include <QObject>
#include <QSet>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class NodeFilterModel;
class NodeListModel;
class PreferenceStore;

// The session's node list and what the user does with it: the listed nodes (the rows the list draws),
// their version and pre-shared key, the selection (remembered in the preference store, so the next start
// of the app or the client picks it again), the probe results, Test all and Fastest. It alone writes
// these. The list comes through fetch; an answer for a session that has ended since is dropped.
class NodeCatalog : public QObject {
    Q_OBJECT
public:
    // Asks for the list, sending the version held (none: send the whole list).
    using Fetch = std::function<QCoro::Task<ApiResult<NodesResponse>>(std::optional<QString> version)>;
    // Probes a node's TCP port: done gets the milliseconds, or -1 when nothing answered in time. Nothing is
    // called once context is gone.
    using Probe = std::function<void(const NodeInfo &node, QObject *context, std::function<void(qint64)> done)>;

    NodeCatalog(std::shared_ptr<PreferenceStore> preferences, Fetch fetch, Probe probe, QObject *parent = nullptr);
    ~NodeCatalog() override;

    NodeListModel *model() const { return m_model.get(); }
    // The rows that match the search typed above the list.
    NodeFilterModel *rows() const { return m_rows.get(); }
    void search(const QString &query);
    const QList<NodeInfo> &nodes() const;
    const std::optional<NodeInfo> &selectedNode() const { return m_selected; }
    bool loading() const { return m_loading; }
    const std::optional<QString> &error() const { return m_error; }
    const QString &psk() const { return m_psk; }
    const std::optional<QString> &version() const { return m_version; }
    // Milliseconds of each node's last probe (-1: it timed out); a node never probed has none.
    const QHash<qint64, qint64> &pingResults() const;
    const QHash<qint64, bool> &pingingNodes() const;
    bool pickingFastest() const { return m_picking; }
    // A note under the list's header ("No reachable node"), until the next pick or list.
    const std::optional<QString> &notice() const { return m_notice; }
    // The listed node with this id, or null.
    const NodeInfo *listed(qint64 id) const;
    // The node chosen last, as the preference store remembers it.
    std::optional<qint64> rememberedId() const;

    // Fetches the list. A failure goes to error and leaves list, selection and key alone.
    void load();
    // Takes an answer: its version and key, and (unless it says "cached" or carries no list) the list and
    // the selection (NodeSelection::choose).
    void take(const NodesResponse &answer);
    void ping(const NodeInfo &node);
    void pingById(qint64 id);
    // Selects a listed node and remembers it; another id changes nothing.
    void select(qint64 id);
    void testAll();
    // Probes the listed nodes not measured yet, then selects the fastest (NodeSelection::fastest); when
    // none qualifies the selection stays and notice says so. fastestPicked tells the outcome.
    void pickFastest();
    // The session has ended: list, key, selection (also the remembered one), search and results go; answers and
    // probe results still on their way are dropped.
    void clear();

signals:
    void nodesChanged();
    void selectedNodeChanged();
    void loadingChanged();
    void errorChanged();
    void pskChanged();
    void pingResultsChanged();
    void pingingNodesChanged();
    // Finer than the two map signals: one node's probe entry changed.
    void pingStateChanged(qint64 id);
    void pickingFastestChanged();
    void noticeChanged();
    void fastestPicked(std::optional<qint64> picked);

private:
    QCoro::Task<> fetchList();
    void setSelected(std::optional<NodeInfo> node);
    void setLoading(bool loading);
    void setError(std::optional<QString> error);
    void setNotice(std::optional<QString> notice);
    void setPicking(bool picking);
    void setPingResult(qint64 id, qint64 milliseconds);
    void setPinging(qint64 id, bool pinging);
    // A probe has ended: the pick under way may now choose.
    void continuePick(qint64 id);

    std::shared_ptr<PreferenceStore> m_preferences;
    Fetch m_fetch;
    Probe m_probe;
    std::unique_ptr<NodeListModel> m_model;
    std::unique_ptr<NodeFilterModel> m_rows;
    std::optional<NodeInfo> m_selected;
    bool m_loading = false;
    std::optional<QString> m_error;
    QString m_psk;
    std::optional<QString> m_version;
    bool m_picking = false;
    QSet<qint64> m_pickWaiting; // the probes a pick under way still waits for
    std::optional<QString> m_notice;
    quint64 m_generation = 0; // grows with each clear: what was asked before is dropped
};
