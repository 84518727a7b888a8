#pragma once

#include <sys/types.h>

// Reaps child processes as they end, so an exited child leaves the process table at once (a pid check
// then says it is gone) whatever the system's first process does. One thread serves every child: it
// waits on a pidfd per child in one epoll set on Linux, and on one kqueue's process-exit events on macOS.
namespace ChildReaper {

// Takes pid, a child of this process, to be reaped when it ends. Callable from any thread.
void reapWhenItEnds(pid_t pid);

} // namespace ChildReaper
