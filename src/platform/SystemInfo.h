#pragma once

#include <QString>

#include <optional>

#include <sys/types.h>

// Facts about this process and its user that the tunnel needs.
namespace SystemInfo {

// The home folder from the password database (not from the environment, which anybody can set).
QString homeDirectory();
// The running program's own file, with links resolved (not the name it was started by): the kernel's
// record on Linux (/proc/self/exe), the loader's on macOS. Empty when it cannot be learnt.
QString executablePath();
// Whether path is a regular file (after links) that this user may execute.
bool isExecutableFile(const QString &path);
// The login name of uid, or "uid N" when the password database has none. Thread-safe.
QString userName(uid_t uid);
// The user at the other end of a connected local socket, as the kernel saw it when the connection
// was made (SO_PEERCRED on Linux, getpeereid on macOS). None when it cannot be learnt.
std::optional<uid_t> peerUser(int socketDescriptor);
// Signal 0 to pid: alive when it exists, also when it belongs to another user (EPERM).
bool isProcessAlive(pid_t pid);
// A folder for this user's own run-time files that no other user can create or enter first: under
// the session's XDG_RUNTIME_DIR when it is the user's private folder, macOS's per-user temporary
// folder there, else "nimbrel-run-HOST" in the user's cache folder (made private by whoever makes it;
// checked before use).
QString privateRuntimeFolder();

} // namespace SystemInfo
