#include "TerminalInput.h"

#include <QByteArray>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace TerminalInput {

namespace {

termios g_saved{};

void restoreAndLeave(int)
{
    // Only async-signal-safe calls here.
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
    static_cast<void>(::write(STDERR_FILENO, "\n", 1));
    ::_exit(1);
}

// Up to a line break or the end of input, read byte by byte so nothing after the line is consumed.
std::optional<QByteArray> readLine()
{
    QByteArray line;
    char byte = 0;
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return line.isEmpty() ? std::nullopt : std::optional(line);
        if (byte == '\n')
            break;
        line.append(byte);
        if (line.size() > 64 * 1024) // nobody types that; keep memory bounded
            break;
    }
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

} // namespace

bool isInteractive()
{
    return ::isatty(STDIN_FILENO) == 1;
}

std::optional<QString> readSecret(const QString &prompt)
{
    if (!isInteractive()) {
        const std::optional<QByteArray> line = readLine();
        return line ? std::optional(QString::fromUtf8(*line)) : std::nullopt;
    }
    std::fprintf(stderr, "%s", prompt.toLocal8Bit().constData());
    std::fflush(stderr);
    ::tcgetattr(STDIN_FILENO, &g_saved);
    termios quiet = g_saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    struct sigaction leave {};
    leave.sa_handler = restoreAndLeave;
    struct sigaction previousInt {};
    struct sigaction previousTerm {};
    ::sigaction(SIGINT, &leave, &previousInt);
    ::sigaction(SIGTERM, &leave, &previousTerm);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    const std::optional<QByteArray> line = readLine();
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
    ::sigaction(SIGINT, &previousInt, nullptr);
    ::sigaction(SIGTERM, &previousTerm, nullptr);
    std::fprintf(stderr, "\n");
    return line ? std::optional(QString::fromUtf8(*line)) : std::nullopt;
}

} // namespace TerminalInput
