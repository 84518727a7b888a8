#include "NodeCatalog.h"

#include "i18n/LanguageManager.h"
#include "nodes/NodeFilterModel.h"
#include "nodes/NodeListModel.h"
#include "nodes/NodeSelection.h"
#include "platform/PreferenceStore.h"

#include <QPointer>

namespace {

const QString kSelectedNodeKey = QStringLiteral("selectedNodeId");

} // namespace

NodeCatalog::NodeCatalog(std::shared_ptr<PreferenceStore> preferences, Fetch fetch, Probe probe, QObject *parent)
    : QObject(parent)
    , m_preferences(std::move(preferences))
    , m_fetch(std::move(fetch))
    , m_probe(std::move(probe))
    , m_model(std::make_unique<NodeListModel>())
    , m_rows(std::make_unique<NodeFilterModel>(m_model.get()))
{
    connect(this, &NodeCatalog::pingStateChanged, this, &NodeCatalog::continuePick);
}

NodeCatalog::~NodeCatalog() = default;

const QList<NodeInfo> &NodeCatalog::nodes() const
{
    return m_model->nodes();
}

const QHash<qint64, qint64> &NodeCatalog::pingResults() const
{
    return m_model->pingResults();
}

const QHash<qint64, bool> &NodeCatalog::pingingNodes() const
{
    return m_model->pingingNodes();
}

const NodeInfo *NodeCatalog::listed(qint64 id) const
{
    const auto found =
        std::find_if(nodes().cbegin(), nodes().cend(), [id](const NodeInfo &node) { return node.id == id; });
    return found == nodes().cend() ? nullptr : &*found;
}

std::optional<qint64> NodeCatalog::rememberedId() const
{
    bool ok = false;
    const qint64 id = m_preferences->string(kSelectedNodeKey).value_or(QString()).toLongLong(&ok);
    return ok ? std::optional(id) : std::nullopt;
}

void NodeCatalog::load()
{
    setLoading(true);
    setError(std::nullopt);
    setNotice(std::nullopt);
    fetchList();
}

QCoro::Task<> NodeCatalog::fetchList()
{
    const QPointer<NodeCatalog> self(this);
    const quint64 generation = m_generation;
    auto request = m_fetch(m_version);
    const ApiResult<NodesResponse> result = co_await std::move(request);
    if (!self)
        co_return;
    // An answer for a session that has ended since is dropped, a list or a failure: it must not bring
    // back nodes or a key after they were wiped, nor hide the next session's list behind its message.
    if (generation == m_generation) {
        if (result)
            take(result.value());
        else
            setError(result.error().message);
    }
    setLoading(false);
}

void NodeCatalog::take(const NodesResponse &answer)
{
    m_version = answer.version;
    m_psk = answer.psk;
    emit pskChanged();
    if (!answer.cached && answer.nodes) {
        m_model->setNodes(*answer.nodes);
        emit nodesChanged();
        setSelected(NodeSelection::choose(m_selected, rememberedId(), *answer.nodes));
    }
}

void NodeCatalog::ping(const NodeInfo &node)
{
    const qint64 id = node.id;
    if (pingingNodes().value(id, false))
        return;
    setPinging(id, true);
    m_probe(node, this, [this, id, generation = m_generation](qint64 milliseconds) {
        // A result for a session that has ended since stays out of the wiped maps.
        if (generation != m_generation)
            return;
        setPingResult(id, milliseconds);
        setPinging(id, false);
    });
}

void NodeCatalog::pingById(qint64 id)
{
    if (const NodeInfo *node = listed(id))
        ping(*node);
}

void NodeCatalog::search(const QString &query)
{
    m_rows->setQuery(query);
}

void NodeCatalog::select(qint64 id)
{
    if (const NodeInfo *node = listed(id)) {
        setSelected(*node);
        m_preferences->setString(kSelectedNodeKey, QString::number(id));
    }
}

void NodeCatalog::testAll()
{
    for (const NodeInfo &node : QList<NodeInfo>(nodes()))
        ping(node);
}

void NodeCatalog::pickFastest()
{
    if (m_picking)
        return;
    setNotice(std::nullopt);
    setPicking(true);
    m_pickWaiting.clear();
    const QList<NodeInfo> listed = nodes(); // a copy: a probe may not change it, but the pick must not care
    for (const NodeInfo &node : listed) {
        if (pingingNodes().value(node.id, false) || !pingResults().contains(node.id))
            m_pickWaiting.insert(node.id);
    }
    for (const NodeInfo &node : listed) {
        if (m_pickWaiting.contains(node.id))
            ping(node);
    }
    continuePick(-1);
}

void NodeCatalog::continuePick(qint64 id)
{
    if (!m_picking)
        return;
    if (id >= 0 && !pingingNodes().value(id, false))
        m_pickWaiting.remove(id);
    if (!m_pickWaiting.isEmpty())
        return;
    const std::optional<NodeInfo> fastest = NodeSelection::fastest(nodes(), pingResults());
    if (fastest)
        select(fastest->id);
    else
        setNotice(LanguageManager::shared().localized(QStringLiteral("no_reachable_node")));
    setPicking(false);
    emit fastestPicked(fastest ? std::optional(fastest->id) : std::nullopt);
}

void NodeCatalog::clear()
{
    ++m_generation;
    m_model->setNodes({});
    m_rows->setQuery({});
    emit nodesChanged();
    setSelected(std::nullopt);
    m_preferences->remove(kSelectedNodeKey); // the next account starts on a node of its own
    m_psk.clear();
    emit pskChanged();
    m_version.reset();
    m_model->setProbes({}, {});
    emit pingResultsChanged();
    emit pingingNodesChanged();
    // A pick under way ends with the session: its probes' results are dropped.
    m_pickWaiting.clear();
    setPicking(false);
    setNotice(std::nullopt);
}

void NodeCatalog::setSelected(std::optional<NodeInfo> node)
{
    m_model->setSelectedId(node ? std::optional(node->id) : std::nullopt);
    m_selected = std::move(node);
    emit selectedNodeChanged();
}

void NodeCatalog::setLoading(bool loading)
{
    m_loading = loading;
    emit loadingChanged();
}

void NodeCatalog::setError(std::optional<QString> error)
{
    m_error = std::move(error);
    emit errorChanged();
}

void NodeCatalog::setNotice(std::optional<QString> notice)
{
    m_notice = std::move(notice);
    emit noticeChanged();
}

void NodeCatalog::setPicking(bool picking)
{
    m_picking = picking;
    emit pickingFastestChanged();
}

void NodeCatalog::setPingResult(qint64 id, qint64 milliseconds)
{
    m_model->setPingResult(id, milliseconds);
    emit pingResultsChanged();
    emit pingStateChanged(id);
}

void NodeCatalog::setPinging(qint64 id, bool pinging)
{
    m_model->setPinging(id, pinging);
    emit pingingNodesChanged();
    emit pingStateChanged(id);
}
