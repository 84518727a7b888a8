#pragma once

#include <QString>

#include <sys/types.h>

namespace FileTrust {

// True only for a regular file (not a link, FIFO or folder) owned by owner that neither its group nor
// others may write: the only kind of script in a shared folder such as /tmp worth running as root.
bool isTrustedScript(const QString &path, uid_t owner);

} // namespace FileTrust
