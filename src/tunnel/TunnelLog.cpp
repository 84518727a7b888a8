#include "TunnelLog.h"

#include "TunnelPaths.h"
#include "platform/FileTrust.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TunnelLog::~TunnelLog()
{
    closeWriteDescriptor();
    if (m_readFd >= 0)
        ::close(m_readFd);
}

TunnelLog::TunnelLog(TunnelLog &&other) noexcept
    : m_writeFd(std::exchange(other.m_writeFd, -1))
    , m_readFd(std::exchange(other.m_readFd, -1))
    , m_offset(other.m_offset)
{}

TunnelLog &TunnelLog::operator=(TunnelLog &&other) noexcept
{
    if (this != &other) {
        this->~TunnelLog();
        m_writeFd = std::exchange(other.m_writeFd, -1);
        m_readFd = std::exchange(other.m_readFd, -1);
        m_offset = other.m_offset;
    }
    return *this;
}

TunnelLog TunnelLog::create(const QString &path, FileProblem *problem)
{
    const QByteArray native = QFile::encodeName(path);
    // Removing a link removes the link, never its target; a folder or a file of another user in a
    // sticky folder stays, and the exclusive creation below then refuses to start.
    ::unlink(native.constData());
    TunnelLog log;
    log.m_writeFd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (log.m_writeFd < 0) {
        const int error = errno;
        const std::optional<uid_t> owner = error == EEXIST ? FileTrust::ownerOf(path) : std::nullopt;
        if (owner && *owner != ::geteuid())
            *problem = FileProblem::ownedByAnotherUser(path, *owner);
        else if (error == EEXIST)
            *problem = {FileProblem::Kind::notOurs, path, {}};
        else
            *problem = FileProblem::systemError(FileProblem::Kind::cannotCreate, path, error);
        return {};
    }
    log.m_readFd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat written {};
    struct stat read {};
    if (log.m_readFd < 0 || ::fstat(log.m_writeFd, &written) != 0 || ::fstat(log.m_readFd, &read) != 0 ||
        written.st_dev != read.st_dev || written.st_ino != read.st_ino) {
        *problem = {FileProblem::Kind::changedWhileCreated, path, {}};
        return {};
    }
    return log;
}

void TunnelLog::closeWriteDescriptor()
{
    if (m_writeFd >= 0) {
        ::close(m_writeFd);
        m_writeFd = -1;
    }
}

void TunnelLog::readNew(LogScanner &scanner, qint64 maxBytes)
{
    if (m_readFd < 0)
        return;
    constexpr qint64 kBlock = 64 * 1024;
    QByteArray buffer(int(std::min(kBlock, maxBytes)), Qt::Uninitialized);
    qint64 budget = maxBytes;
    while (budget > 0) {
        const ssize_t got = ::pread(m_readFd, buffer.data(), size_t(std::min<qint64>(buffer.size(), budget)), m_offset);
        if (got <= 0)
            return;
        m_offset += got;
        budget -= got;
        scanner.feed(QByteArray::fromRawData(buffer.constData(), got));
    }
}
