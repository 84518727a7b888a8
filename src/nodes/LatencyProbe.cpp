#include "LatencyProbe.h"

#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QQueue>
#include <QTcpSocket>
#include <QTimer>

namespace LatencyProbe {

namespace {

// A few probes are started per turn of the event loop: starting hundreds in one go would keep the
// thread busy for milliseconds, and every probe would count the others' starts as its own latency.
constexpr int kStartsPerTurn = 16;

// One probe: owns its socket and timer, delivers once, then deletes itself.
class Attempt : public QObject {
public:
    Attempt(QObject *owner, std::function<void(qint64)> done)
        : QObject(owner)
        , m_done(std::move(done))
    {}

    // The clock starts here, before the connection is created, so name resolution counts.
    void start(const QString &host, quint16 port, std::chrono::milliseconds timeout)
    {
        m_clock.start();
        auto *socket = new QTcpSocket(this);
        // The handshake with the node itself, never with a proxy the system may name.
        socket->setProxy(QNetworkProxy::NoProxy);
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

// The probes of one context: it owns them (so they end with the context) and starts them a few at a
// time. Owning them keeps the context's own children few, so the queue is found quickly.
class StartQueue : public QObject {
public:
    explicit StartQueue(QObject *context)
        : QObject(context)
    {
        setObjectName(name());
        m_turn.setInterval(0);
        connect(&m_turn, &QTimer::timeout, this, &StartQueue::startSome);
    }

    static QString name() { return QStringLiteral("nimbrel-probe-start-queue"); }

    static StartQueue &of(QObject *context)
    {
        auto *queue = context->findChild<StartQueue *>(name(), Qt::FindDirectChildrenOnly);
        return queue ? *queue : *new StartQueue(context);
    }

    void add(Attempt *attempt, std::function<void(Attempt &)> start)
    {
        m_waiting.enqueue({attempt, std::move(start)});
        if (!m_turn.isActive())
            m_turn.start();
    }

private:
    void startSome()
    {
        for (int started = 0; started < kStartsPerTurn && !m_waiting.isEmpty(); ++started) {
            auto [attempt, start] = m_waiting.dequeue();
            start(*attempt);
        }
        if (m_waiting.isEmpty())
            m_turn.stop();
    }

    QTimer m_turn;
    QQueue<std::pair<Attempt *, std::function<void(Attempt &)>>> m_waiting; // children not started yet
};

} // namespace

void tcpPing(const QString &host, qint64 port, std::chrono::milliseconds timeout, QObject *context,
             std::function<void(qint64)> done)
{
    StartQueue &queue = StartQueue::of(context);
    auto *attempt = new Attempt(&queue, std::move(done));
    if (port < 0 || port > 65535) {
        QTimer::singleShot(0, attempt, [attempt] { attempt->deliver(-1); });
        return;
    }
    queue.add(attempt,
              [host, port, timeout](Attempt &waiting) { waiting.start(host, static_cast<quint16>(port), timeout); });
}

} // namespace LatencyProbe
