#include "ChildReaper.h"

#include <QtGlobal>

#include <cerrno>
#include <mutex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#if defined(Q_OS_MACOS)
#include <sys/event.h>
#else
#include <sys/epoll.h>
#include <sys/syscall.h>
#endif

namespace ChildReaper {

namespace {

void reapNow(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// Without the facility (a kernel too old for pidfds, or out of descriptors) a child still gets reaped,
// by a thread of its own.
void reapOnAThreadOfItsOwn(pid_t pid)
{
    std::thread([pid] { reapNow(pid); }).detach();
}

#if defined(Q_OS_MACOS)

// One kqueue holds a one-shot exit event per child; the reaping thread waits on it for good.
int queue()
{
    static const int fd = [] {
        const int kq = ::kqueue();
        if (kq >= 0) {
            std::thread([kq] {
                struct kevent events[16];
                for (;;) {
                    const int count = ::kevent(kq, nullptr, 0, events, 16, nullptr);
                    for (int i = 0; i < count; ++i)
                        reapNow(pid_t(events[i].ident));
                }
            }).detach();
        }
        return kq;
    }();
    return fd;
}

void watch(pid_t pid)
{
    const int kq = queue();
    struct kevent change;
    EV_SET(&change, uintptr_t(pid), EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0, nullptr);
    if (kq >= 0 && ::kevent(kq, &change, 1, nullptr, 0, nullptr) == 0)
        return;
    if (kq >= 0 && errno == ESRCH) // ended already: a zombie now, reaped at once
        reapNow(pid);
    else
        reapOnAThreadOfItsOwn(pid);
}

#else

// One epoll set holds a pidfd per child (readable once the child has ended); the reaping thread waits on
// it for good. An event carries the pidfd and the pid together.
int epollSet()
{
    static const int fd = [] {
        const int set = ::epoll_create1(EPOLL_CLOEXEC);
        if (set >= 0) {
            std::thread([set] {
                epoll_event events[16];
                for (;;) {
                    const int count = ::epoll_wait(set, events, 16, -1);
                    for (int i = 0; i < count; ++i) {
                        const int pidfd = int(events[i].data.u64 >> 32);
                        ::epoll_ctl(set, EPOLL_CTL_DEL, pidfd, nullptr);
                        ::close(pidfd);
                        reapNow(pid_t(events[i].data.u64 & 0xffffffffu));
                    }
                }
            }).detach();
        }
        return set;
    }();
    return fd;
}

void watch(pid_t pid)
{
    const int set = epollSet();
    // A pidfd of a child that has ended already is readable at once.
    const int pidfd = set >= 0 ? int(::syscall(SYS_pidfd_open, pid, 0)) : -1;
    if (pidfd >= 0) { // opened close-on-exec
        epoll_event event{};
        event.events = EPOLLIN | EPOLLONESHOT;
        event.data.u64 = (quint64(quint32(pidfd)) << 32) | quint32(pid);
        if (::epoll_ctl(set, EPOLL_CTL_ADD, pidfd, &event) == 0)
            return;
        ::close(pidfd);
    }
    reapOnAThreadOfItsOwn(pid);
}

#endif

} // namespace

void reapWhenItEnds(pid_t pid)
{
    if (pid > 0)
        watch(pid);
}

} // namespace ChildReaper
