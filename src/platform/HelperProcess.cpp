#include "HelperProcess.h"

#include "ChildReaper.h"

#include <QFile>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <cstring>
#include <spawn.h>
#include <vector>

namespace HelperProcess {

namespace {

// Owns the C strings an exec call needs.
class CStrings {
public:
    explicit CStrings(const QList<QByteArray> &items)
        : m_items(items)
    {
        for (QByteArray &item : m_items)
            m_pointers.push_back(item.data());
        m_pointers.push_back(nullptr);
    }
    char *const *data() { return m_pointers.data(); }

private:
    QList<QByteArray> m_items;
    std::vector<char *> m_pointers;
};

} // namespace

Started spawn(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
              int outputFd, const QByteArray &input)
{
    int inputPipe[2] = {-1, -1};
    if (!input.isEmpty()) {
        // A pipe holds far more than a key: filled now, it never blocks, and the child reads it at leisure.
        if (input.size() > 4096 || ::pipe2(inputPipe, O_CLOEXEC) != 0)
            return {-1, QStringLiteral("cannot pass the input")};
        const bool written = ::write(inputPipe[1], input.constData(), size_t(input.size())) == input.size();
        ::close(inputPipe[1]);
        if (!written) {
            ::close(inputPipe[0]);
            return {-1, QStringLiteral("cannot pass the input")};
        }
    }
    QList<QByteArray> argv{QFile::encodeName(program)};
    for (const QString &argument : arguments)
        argv.append(argument.toLocal8Bit());
    QList<QByteArray> envp;
    for (const QString &entry : environment.toStringList())
        envp.append(entry.toLocal8Bit());
    CStrings argvStrings(argv);
    CStrings envStrings(envp);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outputFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, outputFd, STDERR_FILENO);
    }
    if (inputPipe[0] >= 0)
        posix_spawn_file_actions_adddup2(&actions, inputPipe[0], STDIN_FILENO);
    // The helper starts with ordinary signal handling whatever this process changed.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int number : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, number);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // A session of its own: Ctrl-C or a hang-up in the client's terminal reaches the client, which
    // stops the helper in order, and never the helper directly.
#ifdef POSIX_SPAWN_SETSID
    const short session = POSIX_SPAWN_SETSID;
#else
    const short session = POSIX_SPAWN_SETPGROUP; // a process group of its own (group 0: its pid)
#endif
    posix_spawnattr_setflags(&attributes, short(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | session));

    pid_t pid = -1;
    const int failure =
        ::posix_spawn(&pid, argv.first().constData(), &actions, &attributes, argvStrings.data(), envStrings.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (inputPipe[0] >= 0)
        ::close(inputPipe[0]);
    if (failure != 0)
        return {-1, QString::fromLocal8Bit(std::strerror(failure))};
    ChildReaper::reapWhenItEnds(pid);
    return {pid, QString()};
}

} // namespace HelperProcess
