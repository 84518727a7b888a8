#include "TunnelOwnership.h"

#include "platform/FileTrust.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>

#include <cerrno>
#include <limits>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMaxHolderBytes = 1024;
constexpr int kMaxNameLength = 128;

// Only a lock file of ours or root's speaks for its holder.
bool isForeign(uid_t owner)
{
    return owner != ::geteuid() && owner != 0;
}

// Whether the file open as info is still the one at path.
bool isAtPath(const QByteArray &path, const struct stat &info)
{
    struct stat current {};
    return ::lstat(path.constData(), &current) == 0 && current.st_dev == info.st_dev && current.st_ino == info.st_ino;
}

// The line that ends a whole record: what follows it is the tail of a longer one being replaced.
const QByteArray kRecordEnd = QByteArrayLiteral("end\n");

// The record, up to its end line. A live holder rewrites it in place while others may read: then a read
// without the end line caught it mid-write, and is repeated a few times. Without a live holder (the
// reader holds the lock itself) nobody is writing, and a record a killed holder left half written is
// taken as it is at once.
QByteArray readHolder(int fd, bool holderLive)
{
    QByteArray content;
    const int attempts = holderLive ? 5 : 1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        content = QByteArray(kMaxHolderBytes, Qt::Uninitialized);
        const ssize_t got = ::pread(fd, content.data(), size_t(content.size()), 0);
        content.truncate(got > 0 ? got : 0);
        const qsizetype end = content.startsWith(kRecordEnd) ? 0 : content.indexOf("\n" + kRecordEnd);
        if (end >= 0)
            return content.left(end == 0 ? 0 : end + 1);
        if (attempt + 1 < attempts)
            QThread::usleep(500);
    }
    return content;
}

// One line of text: whatever could end or start a line of the record (a control character) becomes a
// space, so that a value from the service can never add a line of its own.
QString oneLine(QString text, qsizetype limit)
{
    text.truncate(limit);
    for (QChar &character : text) {
        if (character.unicode() < 0x20 || character.unicode() == 0x7f)
            character = QLatin1Char(' ');
    }
    return text;
}

// A process id as the record holds it: 1 up to the largest pid_t, else none (0).
qint64 processId(const QString &value)
{
    bool ok = false;
    const qint64 pid = value.toLongLong(&ok);
    return ok && pid > 0 && pid <= std::numeric_limits<pid_t>::max() ? pid : 0;
}

// Whatever the file says, only well-formed values are taken: its writer may have been killed mid-write.
// A key given twice counts the first time only.
TunnelOwnership::Holder parseHolder(const QByteArray &content)
{
    TunnelOwnership::Holder holder;
    TunnelOwnership::HelperRecord helper;
    ProcessIdentity identity;
    RunningNode node;
    QDateTime upSince;
    QSet<QByteArray> seen;
    for (const QByteArray &line : content.split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0)
            continue;
        const QByteArray key = line.left(equals);
        if (seen.contains(key))
            continue;
        seen.insert(key);
        const QString value =
            QString::fromUtf8(line.mid(equals + 1)).left(key == "host" ? 255 : key == "name" ? kMaxNameLength : 64);
        if (key == "pid")
            holder.pid = processId(value);
        else if (key == "program")
            holder.program = value;
        else if (key == "state")
            holder.state = value;
        else if (key == "helper")
            helper.pid = qint32(processId(value));
        else if (key == "started")
            identity.startTime = value;
        else if (key == "command")
            identity.commandDigest = value;
        else if (key == "host")
            helper.host = value;
        else if (key == "mode")
            helper.mode = RoutingModes::fromRawValue(value).value_or(RoutingMode::safe);
        else if (key == "node")
            node.id = value.toLongLong();
        else if (key == "name")
            node.name = value;
        else if (key == "flag")
            node.flagEmoji = value;
        else if (key == "since")
            upSince = QDateTime::fromString(value, Qt::ISODate);
    }
    if (node.id > 0)
        holder.node = node;
    if (upSince.isValid())
        holder.upSince = upSince;
    if (helper.pid > 0) {
        if (!identity.startTime.isEmpty() && !identity.commandDigest.isEmpty())
            helper.identity = identity;
        holder.helper = helper;
    }
    return holder;
}

// The lock file lies in a folder only this user can enter: made so here when missing, and checked.
std::optional<FileProblem> preparePrivateFolder(const QString &folder)
{
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST)
        return FileProblem::systemError(FileProblem::Kind::cannotMakeFolder, folder, errno);
    if (!FileTrust::isPrivateFolder(folder, ::geteuid()))
        return FileProblem{FileProblem::Kind::folderNotPrivate, folder, {}};
    return std::nullopt;
}

// A short shared probe by another process (otherHolder) may hold the lock for a moment: a few tries.
bool lockExclusively(int fd)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK)
            return false;
        QThread::msleep(5);
    }
    return false;
}

// What a look at the lock file from outside shows, without ever holding it longer than a probe.
struct LockFileView {
    uid_t owner = 0;
    bool held = false;
    QByteArray content;
};

std::optional<LockFileView> viewLockFile(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::optional<LockFileView> view;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        if (isForeign(info.st_uid)) {
            view = LockFileView{info.st_uid, false, {}};
        } else if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
            view = LockFileView{info.st_uid, false, readHolder(fd, false)};
            ::flock(fd, LOCK_UN);
        } else if (errno == EWOULDBLOCK) {
            view = LockFileView{info.st_uid, true, readHolder(fd, true)};
        }
    }
    ::close(fd);
    return view;
}

} // namespace

TunnelOwnership::Lease::Lease(int fd, QString ownFile, QString program, std::optional<Holder> leftBehind)
    : m_fd(fd)
    , m_ownFile(std::move(ownFile))
    , m_program(std::move(program))
    , m_leftBehind(std::move(leftBehind))
{
    write();
}

TunnelOwnership::Lease::~Lease()
{
    // Nothing stale is left once free, so no other user ever finds a file of ours in the way. Removed
    // while still locked: whoever opened it meanwhile sees that it is gone (acquire checks). Only a
    // helper that could not be stopped stays on record, for the next process to find and stop.
    const bool helperMayRun = m_helper && m_state == TunnelPhases::rawValue(TunnelPhase::failed);
    if (!m_ownFile.isEmpty() && !helperMayRun) {
        struct stat info {};
        const QByteArray native = QFile::encodeName(m_ownFile);
        if (::fstat(m_fd, &info) == 0 && isAtPath(native, info))
            ::unlink(native.constData());
    }
    ::close(m_fd); // releases the lock
}

void TunnelOwnership::Lease::setState(TunnelPhase phase)
{
    std::lock_guard lock(m_mutex);
    m_state = TunnelPhases::rawValue(phase);
    write();
}

void TunnelOwnership::Lease::setTunnel(std::optional<RunningNode> node, std::optional<QDateTime> upSince)
{
    std::lock_guard lock(m_mutex);
    m_node = std::move(node);
    m_upSince = std::move(upSince);
    write();
}

void TunnelOwnership::Lease::setHelper(std::optional<HelperRecord> helper)
{
    std::lock_guard lock(m_mutex);
    m_helper = std::move(helper);
    write();
}

std::optional<TunnelOwnership::Holder> TunnelOwnership::Lease::takeLeftBehind()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_leftBehind, std::nullopt);
}

void TunnelOwnership::Lease::write()
{
    if (m_ownFile.isEmpty())
        return;
    QString text = QStringLiteral("pid=%1\nprogram=%2\nstate=%3\n")
                       .arg(QCoreApplication::applicationPid())
                       .arg(oneLine(m_program, 64), m_state);
    if (m_helper) {
        text += QStringLiteral("helper=%1\nhost=%2\nmode=%3\n")
                    .arg(m_helper->pid)
                    .arg(oneLine(m_helper->host, 255), RoutingModes::rawValue(m_helper->mode));
        if (m_helper->identity)
            text += QStringLiteral("started=%1\ncommand=%2\n")
                        .arg(m_helper->identity->startTime, m_helper->identity->commandDigest);
    }
    if (m_node) {
        // The name and the flag are the service's.
        text += QStringLiteral("node=%1\nname=%2\nflag=%3\n")
                    .arg(m_node->id)
                    .arg(oneLine(m_node->name, kMaxNameLength), oneLine(m_node->flagEmoji, 16));
    }
    if (m_upSince)
        text += QStringLiteral("since=%1\n").arg(m_upSince->toUTC().toString(Qt::ISODate));
    const QByteArray bytes = text.toUtf8() + kRecordEnd;
    // Over the old record, then cut to length: a reader never finds the file empty. A write cut short
    // (a full disk) leaves no record rather than the new one's start over the old one's end line.
    const bool whole = ::pwrite(m_fd, bytes.constData(), size_t(bytes.size()), 0) == bytes.size();
    static_cast<void>(::ftruncate(m_fd, whole ? bytes.size() : 0));
}

TunnelOwnership::TunnelOwnership(QString lockPath, QString program)
    : m_path(std::move(lockPath))
    , m_program(std::move(program))
{}

QString TunnelOwnership::currentProgram()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}

bool TunnelOwnership::recordIsOurs() const
{
    return FileTrust::ownerOf(m_path) == ::geteuid();
}

bool TunnelOwnership::heldByUs() const
{
    std::lock_guard lock(m_mutex);
    return !m_lease.expired();
}

namespace {

// Opens the lock file to hold it: not through a link, never blocking on a FIFO someone put there; -1
// with the refusal when it cannot be opened, is no regular file, or is another user's (who could hold
// it, or say anything in it, whenever they like).
int openLockFile(const QString &path, struct stat *info, TunnelOwnership::Refusal *refusal)
{
    const QByteArray native = QFile::encodeName(path);
    constexpr int kFlags = O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(native.constData(), O_RDWR | kFlags, 0600);
    if (fd < 0 && errno == EACCES) // root's lock file: it still locks, we just cannot write it
        fd = ::open(native.constData(), O_RDONLY | kFlags, 0600);
    if (fd < 0) {
        *refusal = {std::nullopt, FileProblem::systemError(FileProblem::Kind::cannotOpen, path, errno)};
        return -1;
    }
    if (::fstat(fd, info) != 0 || !S_ISREG(info->st_mode)) {
        ::close(fd);
        *refusal = {std::nullopt, {FileProblem::Kind::notOurs, path, {}}};
        return -1;
    }
    if (isForeign(info->st_uid)) {
        ::close(fd);
        *refusal = {std::nullopt, FileProblem::ownedByAnotherUser(path, info->st_uid)};
        return -1;
    }
    return fd;
}

} // namespace

std::shared_ptr<TunnelOwnership::Lease> TunnelOwnership::acquire(Refusal *refusal)
{
    std::lock_guard lock(m_mutex);
    if (std::shared_ptr<Lease> held = m_lease.lock())
        return held;

    const QByteArray native = QFile::encodeName(m_path);
    if (std::optional<FileProblem> problem = preparePrivateFolder(QFileInfo(m_path).absolutePath())) {
        *refusal = {std::nullopt, std::move(*problem)};
        return nullptr;
    }
    // A holder removes the file as it lets go: a file opened just before that removal is locked in
    // vain, and the lock is the file at the path now. Only a lost race repeats.
    for (int round = 0; round < 5; ++round) {
        struct stat info {};
        const int fd = openLockFile(m_path, &info, refusal);
        if (fd < 0)
            return nullptr;
        if (!lockExclusively(fd)) {
            const QByteArray content = readHolder(fd, true);
            ::close(fd);
            *refusal = {parseHolder(content), {}};
            return nullptr;
        }
        if (!isAtPath(native, info)) {
            ::close(fd);
            continue;
        }
        // Write who we are only into a file of our own that is not linked elsewhere; only such a file
        // is removed again.
        const bool ours =
            info.st_uid == ::geteuid() && info.st_nlink == 1 && (::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDWR;
        // Nobody else may open it, to read or to hold a lock on it, whatever mode it was made with.
        if (ours && ::fchmod(fd, 0600) != 0) {
            ::close(fd);
            *refusal = {std::nullopt, {FileProblem::Kind::cannotProtect, m_path, {}}};
            return nullptr;
        }
        // A holder lets go by removing the file: one with something in it was left by a holder that was
        // killed. Read before our own record replaces it.
        std::optional<Holder> leftBehind;
        if (ours) {
            if (const QByteArray content = readHolder(fd, false); !content.isEmpty())
            {
                leftBehind = parseHolder(content);
                leftBehind->leftBehind = true;
            }
        }
        std::shared_ptr<Lease> lease(new Lease(fd, ours ? m_path : QString(), m_program, std::move(leftBehind)));
        m_lease = lease;
        return lease;
    }
    *refusal = {std::nullopt, {FileProblem::Kind::keepsBeingReplaced, m_path, {}}};
    return nullptr;
}

std::optional<TunnelOwnership::Holder> TunnelOwnership::otherHolder() const
{
    if (heldByUs())
        return std::nullopt;
    const std::optional<LockFileView> view = viewLockFile(m_path);
    if (!view)
        return std::nullopt;
    if (isForeign(view->owner)) {
        Holder holder;
        holder.foreignOwner = view->owner;
        holder.lockPath = m_path;
        return holder;
    }
    if (view->held)
        return parseHolder(view->content);
    return std::nullopt;
}

std::optional<TunnelOwnership::Holder> TunnelOwnership::leftBehind() const
{
    if (heldByUs())
        return std::nullopt;
    const std::optional<LockFileView> view = viewLockFile(m_path);
    if (!view || view->held || view->owner != ::geteuid() || view->content.isEmpty())
        return std::nullopt;
    Holder left = parseHolder(view->content);
    left.leftBehind = true;
    return left;
}
