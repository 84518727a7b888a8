#include "NodeListLoader.h"

#include "AppViewModel.h"
#include "SessionFlows.h"
#include "nodes/NodeSelection.h"

QCoro::Task<> NodeListLoader::load(QPointer<AppViewModel> vm)
{
    const std::optional<QString> version = vm->cachedNodeVersion();
    const quint64 session = vm->sessionGeneration();
    const ApiService api = vm->api();
    auto request = SessionFlows::withTokenRefresh<NodesResponse>(
        vm, [api, version](QString token) { return api.getNodes(std::move(token), version); });
    const ApiResult<NodesResponse> result = co_await std::move(request);
    if (!vm)
        co_return;
    // An answer that arrives for a session that has ended since (signed out, or signed in again) is
    // dropped, a list or a failure: it must not bring back nodes or a key after the state was wiped,
    // nor hide the next session's list behind its message.
    if (vm->sessionGeneration() != session) {
        vm->setNodesLoading(false);
        co_return;
    }
    if (!result) {
        vm->setNodesError(result.error().message);
        vm->setNodesLoading(false);
        co_return;
    }
    apply(*vm, result.value());
    vm->setNodesLoading(false);
}

void NodeListLoader::apply(AppViewModel &vm, const NodesResponse &response)
{
    vm.setCachedNodeVersion(response.version);
    vm.setPsk(response.psk);
    if (!response.cached && response.nodes) {
        vm.setNodes(*response.nodes);
        vm.setSelectedNode(NodeSelection::choose(vm.selectedNode(), vm.rememberedNodeId(), *response.nodes));
    }
}
