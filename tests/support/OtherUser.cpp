#include "OtherUser.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace OtherUser {

bool become()
{
    return ::setgroups(0, nullptr) == 0 && ::setresgid(kGid, kGid, kGid) == 0 && ::setresuid(kUid, kUid, kUid) == 0;
}

bool run(const std::function<bool()> &fn)
{
    const pid_t child = ::fork();
    if (child == 0) {
        const bool ok = become() && fn();
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace OtherUser
