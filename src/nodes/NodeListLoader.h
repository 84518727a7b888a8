#pragma once

#include <QCoroTask>
#include <QPointer>

class AppViewModel;

namespace NodeListLoader {

// Fetches the node list (sending the version held, so an unchanged list is not sent again), keeps the
// pre-shared key and chooses a node. Failures go to nodesError and leave list, selection and key alone.
QCoro::Task<> load(QPointer<AppViewModel> vm);

} // namespace NodeListLoader
