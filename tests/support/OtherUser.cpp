#include "OtherUser.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace OtherUser {

bool become(uid_t uid, gid_t gid)
{
    return ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 && ::setresuid(uid, uid, uid) == 0;
}

bool run(const std::function<bool()> &fn, uid_t uid, gid_t gid)
{
    const pid_t child = ::fork();
    if (child == 0) {
        const bool ok = become(uid, gid) && fn();
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace OtherUser
