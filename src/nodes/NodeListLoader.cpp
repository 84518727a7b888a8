#include "NodeListLoader.h"

#include "app/AppViewModel.h"
#include "app/SessionFlows.h"

namespace NodeListLoader {

namespace {

// Keeps the selected record when its id is still listed; otherwise the node the user chose last, when
// listed; otherwise the first node that is exactly "ONLINE", or none.
std::optional<NodeInfo> chooseSelection(const std::optional<NodeInfo> &current, std::optional<qint64> remembered,
                                        const QList<NodeInfo> &nodes)
{
    const auto withId = [&nodes](qint64 id) {
        return std::find_if(nodes.cbegin(), nodes.cend(), [id](const NodeInfo &node) { return node.id == id; });
    };
    if (current && withId(current->id) != nodes.cend())
        return current;
    if (remembered) {
        if (const auto chosen = withId(*remembered); chosen != nodes.cend())
            return *chosen;
    }
    const auto online = std::find_if(nodes.cbegin(), nodes.cend(),
                                     [](const NodeInfo &node) { return node.status == QLatin1String("ONLINE"); });
    return online == nodes.cend() ? std::nullopt : std::optional(*online);
}

} // namespace

QCoro::Task<> load(QPointer<AppViewModel> vm)
{
    const std::optional<QString> version = vm->cachedNodeVersion();
    const quint64 session = vm->sessionGeneration();
    const ApiService api = vm->api();
    auto request = SessionFlows::withTokenRefresh<NodesResponse>(
        vm, [api, version](QString token) { return api.getNodes(std::move(token), version); });
    const ApiResult<NodesResponse> result = co_await std::move(request);
    if (!vm)
        co_return;
    if (!result) {
        vm->setNodesError(result.error().message);
        vm->setNodesLoading(false);
        co_return;
    }
    // A list that arrives for a session that has ended since (signed out, or signed in again) is
    // dropped: it must not bring back nodes or a key after the state was wiped.
    if (vm->sessionGeneration() != session) {
        vm->setNodesLoading(false);
        co_return;
    }
    apply(*vm, result.value());
    vm->setNodesLoading(false);
}

void apply(AppViewModel &vm, const NodesResponse &response)
{
    vm.setCachedNodeVersion(response.version);
    vm.setPsk(response.psk);
    if (!response.cached && response.nodes) {
        vm.setNodes(*response.nodes);
        vm.setSelectedNode(chooseSelection(vm.selectedNode(), vm.rememberedNodeId(), *response.nodes));
    }
}

} // namespace NodeListLoader
