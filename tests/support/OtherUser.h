#pragma once

#include <functional>

#include <sys/types.h>

// Another local user for the tests that play an attacker (or an unprivileged user): "nobody".
namespace OtherUser {

constexpr uid_t kUid = 65534;
constexpr gid_t kGid = 65534;

// Makes this process the user uid (group gid) for good (no groups, no way back); async-signal-safe, so
// a child may call it between fork and exec. True on success. Only root can change user.
bool become(uid_t uid = kUid, gid_t gid = kGid);

// Runs fn in a child process that has become the user for good; true when fn reported success.
// Only root can change user: callers skip when not root.
bool run(const std::function<bool()> &fn, uid_t uid = kUid, gid_t gid = kGid);

} // namespace OtherUser
