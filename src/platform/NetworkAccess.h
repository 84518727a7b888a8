#pragma once

class QNetworkAccessManager;

namespace NetworkAccess {

// The one network access manager of the process, created on first use on the main thread and kept
// until the process ends. Standard certificate validation; nothing weakens it.
QNetworkAccessManager &shared();

} // namespace NetworkAccess
