#pragma once

#include <QCoroTask>
#include <QPointer>

class AppViewModel;
struct NodesResponse;

struct NodeListLoader {
    // Fetches the node list (sending the version held, so an unchanged list is not sent again), keeps the
    // pre-shared key and chooses a node. Failures go to nodesError and leave list, selection and key alone.
    static QCoro::Task<> load(QPointer<AppViewModel> vm);

    // Takes a received answer into the view model: version, key, and (unless it says "cached" or carries
    // no list) the list and the selection.
    static void apply(AppViewModel &vm, const NodesResponse &response);
};
