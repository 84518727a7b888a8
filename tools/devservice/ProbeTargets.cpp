#include "ProbeTargets.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int boundSocket(quint16 *port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

} // namespace

ProbeTargets::ProbeTargets(QObject *parent)
    : QObject(parent)
{}

ProbeTargets::~ProbeTargets()
{
    for (int fd : m_fds)
        ::close(fd);
}

quint16 ProbeTargets::openListener()
{
    auto *server = new QTcpServer(this);
    if (!server->listen(QHostAddress::LocalHost, 0)) {
        delete server;
        return 0;
    }
    connect(server, &QTcpServer::newConnection, server, [server] {
        while (QTcpSocket *socket = server->nextPendingConnection()) {
            socket->abort();
            socket->deleteLater();
        }
    });
    m_servers.append(server);
    return server->serverPort();
}

quint16 ProbeTargets::refusingPort()
{
    // Bound but never listening: the kernel answers every connection attempt with a reset, and the
    // port stays ours so nothing else can start listening on it.
    quint16 port = 0;
    const int fd = boundSocket(&port);
    if (fd < 0)
        return 0;
    m_fds.append(fd);
    return port;
}

quint16 ProbeTargets::silentListener()
{
    // A backlog of 0 holds one connection; one connection of our own that is never accepted fills it,
    // and from then on the kernel drops every new handshake's first packet.
    quint16 port = 0;
    const int listener = boundSocket(&port);
    if (listener < 0 || ::listen(listener, 0) != 0) {
        if (listener >= 0)
            ::close(listener);
        return 0;
    }
    const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (filler < 0 || ::connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(listener);
        if (filler >= 0)
            ::close(filler);
        return 0;
    }
    m_fds.append(listener);
    m_fds.append(filler);
    return port;
}
