#pragma once

#include <functional>

#include <sys/types.h>

// Another local user for the tests that play an attacker (or an unprivileged user): "nobody".
namespace OtherUser {

constexpr uid_t kUid = 65534;
constexpr gid_t kGid = 65534;

// Runs fn in a child process that has become the other user for good; true when fn reported success.
// Only root can change user: callers skip when not root.
bool run(const std::function<bool()> &fn);

} // namespace OtherUser
