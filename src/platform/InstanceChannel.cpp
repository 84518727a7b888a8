#include "InstanceChannel.h"

#include "FileTrust.h"
#include "SystemInfo.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <utility>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// sun_path holds 104 bytes on macOS, 108 on Linux.
constexpr qsizetype kMaxSocketPath = 100;

std::optional<QByteArray> takeLine(QByteArray &buffer)
{
    const qsizetype end = buffer.indexOf('\n');
    if (end < 0)
        return std::nullopt;
    QByteArray line = buffer.left(end);
    buffer.remove(0, end + 1);
    return line;
}

// Held while a launch finds out whether it is the first: a second launch at the same moment waits
// here until the first one listens. The kernel drops it when its holder ends, so none goes stale.
class LaunchLock {
public:
    explicit LaunchLock(const QString &path)
        : m_fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                      0600))
    {}
    ~LaunchLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LaunchLock(const LaunchLock &) = delete;
    LaunchLock &operator=(const LaunchLock &) = delete;

    bool acquire(int patienceMs)
    {
        const QDeadlineTimer deadline(patienceMs);
        while (m_fd >= 0 && ::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || deadline.hasExpired())
                return false;
            QThread::msleep(5);
        }
        return m_fd >= 0;
    }

private:
    int m_fd;
};

// Whether the process at the other end runs as this user.
bool isOwnUser(const QLocalSocket &socket)
{
    return SystemInfo::peerUser(int(socket.socketDescriptor())) == ::geteuid();
}

} // namespace

QString InstanceChannel::socketPath(const QString &preferenceLocation, uid_t user, const QString &sharedRoot)
{
    const QFileInfo preferences(preferenceLocation);
    const QByteArray hash =
        QCryptographicHash::hash(QFile::encodeName(preferences.absoluteFilePath()), QCryptographicHash::Sha256)
            .toHex()
            .left(16);
    // A folder of our own beside the preference file, made private by us: the preference folder itself
    // may be group-writable (umask 002).
    const QString name = QStringLiteral(".nimbrel-%1.sock").arg(QString::fromLatin1(hash));
    const QString beside = preferences.absoluteDir().filePath(QStringLiteral(".nimbrel/") + name);
    if (QFile::encodeName(beside).size() <= kMaxSocketPath)
        return beside;
    return QDir(sharedRoot).filePath(QStringLiteral("nimbrel-%1/%2").arg(user).arg(name));
}

InstanceChannel::InstanceChannel(QString socketPath, QObject *parent)
    : QObject(parent)
    , m_path(std::move(socketPath))
{}

InstanceChannel::~InstanceChannel()
{
    if (m_server)
        m_server->close(); // removes the socket file
}

bool InstanceChannel::prepareFolder()
{
    const QString folder = QFileInfo(m_path).absolutePath();
    QDir().mkpath(QFileInfo(folder).absolutePath());
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST) {
        m_error = QStringLiteral("cannot make %1 (%2)").arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (!FileTrust::isPrivateFolder(folder, ::geteuid())) {
        const std::optional<uid_t> owner = FileTrust::ownerOf(folder);
        m_error = owner && *owner != ::geteuid()
                      ? QStringLiteral("%1 belongs to %2").arg(folder, SystemInfo::userName(*owner))
                      : QStringLiteral("%1 is not a folder only this user can change").arg(folder);
        return false;
    }
    return true;
}

InstanceChannel::Role InstanceChannel::claim()
{
    if (!prepareFolder())
        return Role::Unavailable;
    // Two launches at the same moment: the lock makes one of them wait until the other listens.
    LaunchLock lock(m_path + QStringLiteral(".lock"));
    if (!lock.acquire(3000)) {
        m_error = QStringLiteral("cannot lock %1.lock").arg(m_path);
        return Role::Unavailable;
    }
    // An instance that accepts the connection is there, even when it is still too busy starting up to
    // answer; only a socket nobody listens on any more is replaced.
    QLocalSocket probe;
    probe.connectToServer(m_path);
    if (probe.waitForConnected(1000)) {
        if (isOwnUser(probe))
            return Role::Secondary;
        m_error = QStringLiteral("another user listens on %1").arg(m_path);
        return Role::Unavailable;
    }
    QLocalServer::removeServer(m_path);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_path)) {
        m_error = QStringLiteral("cannot listen on %1: %2").arg(m_path, m_server->errorString());
        delete m_server;
        m_server = nullptr;
        return Role::Unavailable;
    }
    connect(m_server, &QLocalServer::newConnection, this, &InstanceChannel::serveNext);
    return Role::Primary;
}

void InstanceChannel::setHandler(Handler handler)
{
    m_handler = std::move(handler);
    // A request whose sender has given up in the meantime is not carried out.
    for (const auto &[socket, request] : std::exchange(m_waiting, {}))
        if (socket && socket->state() == QLocalSocket::ConnectedState)
            answer(socket, request);
}

void InstanceChannel::serveNext()
{
    struct Peer {
        QByteArray buffer;
        bool heard = false;
    };
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // Another user is told nothing and asks nothing.
        if (!isOwnUser(*socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // A peer that says nothing, or too much, is dropped.
        auto *silence = new QTimer(socket);
        silence->setSingleShot(true);
        connect(silence, &QTimer::timeout, socket, &QLocalSocket::abort);
        silence->start(m_silenceLimit);
        auto peer = std::make_shared<Peer>();
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, silence, peer] {
            peer->buffer.append(socket->readAll());
            if (!peer->heard) {
                if (const std::optional<QByteArray> request = takeLine(peer->buffer)) {
                    peer->heard = true;
                    delete silence;
                    // Until the app is there to answer, a request waits for it (its sender has its own
                    // patience).
                    if (*request != "ping" && !m_handler)
                        m_waiting.emplace_back(socket, *request);
                    else
                        answer(socket, *request);
                }
            }
            if (peer->buffer.size() > kMaxLineBytes)
                socket->abort();
        });
    }
}

void InstanceChannel::answer(QLocalSocket *socket, const QByteArray &request)
{
    QByteArray reply = request == "ping" ? QByteArrayLiteral("ok") : m_handler(request).left(kMaxLineBytes);
    reply.replace('\n', ' ');
    socket->write(reply + '\n');
    socket->disconnectFromServer();
}

std::optional<QByteArray> InstanceChannel::send(const QString &socketPath, const QByteArray &request, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(timeoutMs) || !isOwnUser(socket))
        return std::nullopt;
    socket.write(request + '\n');
    if (!socket.waitForBytesWritten(timeoutMs))
        return std::nullopt;
    QByteArray buffer;
    while (buffer.size() <= kMaxLineBytes) {
        if (std::optional<QByteArray> line = takeLine(buffer))
            return line;
        if (!socket.waitForReadyRead(timeoutMs))
            return std::nullopt;
        buffer.append(socket.readAll());
    }
    return std::nullopt;
}
