#pragma once

#include <QList>
#include <QObject>

class QTcpServer;

// TCP endpoints on 127.0.0.1 for the nodes' hosts and ports, so latency probes measure real
// handshakes: open listeners that accept and hang up, a port that refuses, and a listener whose
// queue is kept full so that a handshake never completes.
class ProbeTargets : public QObject {
    Q_OBJECT
public:
    explicit ProbeTargets(QObject *parent = nullptr);
    ~ProbeTargets() override;

    // A listener that accepts every connection and closes it at once. 0 when none could be opened.
    quint16 openListener();
    // A port with nothing listening on it: connections are refused.
    quint16 refusingPort();
    // A listener whose accept queue is full and never drained: new handshakes are never answered.
    quint16 silentListener();

private:
    QList<QTcpServer *> m_servers;
    QList<int> m_fds;
};
