#include "LatencyProbe.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace LatencyProbe {

namespace {

// One probe: owns its socket and timer, delivers once, then deletes itself.
class Attempt : public QObject {
public:
    Attempt(QObject *context, std::function<void(qint64)> done)
        : QObject(context)
        , m_done(std::move(done))
    {
        m_clock.start();
    }

    void start(const QString &host, quint16 port, std::chrono::milliseconds timeout)
    {
        auto *socket = new QTcpSocket(this);
        connect(socket, &QTcpSocket::connected, this, [this, socket] {
            const qint64 elapsed = m_clock.nsecsElapsed() / 1000000;
            socket->abort();
            deliver(elapsed);
        });
        connect(socket, &QTcpSocket::errorOccurred, this, [this] { deliver(-1); });
        auto *timer = new QTimer(this);
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        connect(timer, &QTimer::timeout, this, [this, socket] {
            socket->abort();
            deliver(-1);
        });
        timer->start(timeout);
        socket->connectToHost(host, port);
    }

    void deliver(qint64 result)
    {
        if (m_delivered)
            return;
        m_delivered = true;
        m_done(result);
        deleteLater();
    }

private:
    std::function<void(qint64)> m_done;
    QElapsedTimer m_clock;
    bool m_delivered = false;
};

} // namespace

void tcpPing(const QString &host, qint64 port, std::chrono::milliseconds timeout, QObject *context,
             std::function<void(qint64)> done)
{
    auto *attempt = new Attempt(context, std::move(done));
    if (port < 0 || port > 65535) {
        QTimer::singleShot(0, attempt, [attempt] { attempt->deliver(-1); });
        return;
    }
    attempt->start(host, static_cast<quint16>(port), timeout);
}

} // namespace LatencyProbe
