#pragma once

#include "RoutingMode.h"
#include "TaskHandle.h"
#include "TunnelPhase.h"

#include <QObject>
#include <QString>

#include <optional>

// What the tunnel is doing, as the controller that drives it records it: the only writer of these
// fields is TunnelController. Every assignment notifies, in the order the controller makes them, so
// an observer that mirrors them sees the same sequence.
class TunnelState : public QObject {
    Q_OBJECT
public:
    explicit TunnelState(QString status, QObject *parent = nullptr);

    const QString &status() const { return m_status; }
    // The status as one stable word (see TunnelPhase), set with the text.
    TunnelPhase phase() const { return m_phase; }
    bool isConnected() const { return m_isConnected; }
    bool isLoading() const { return m_isLoading; }
    std::optional<qint32> pid() const { return m_pid; }
    const std::optional<TaskHandle> &monitor() const { return m_monitor; }
    const std::optional<QString> &serverHost() const { return m_serverHost; }
    RoutingMode mode() const { return m_mode; }
    // A start has been under way for long enough that it may be cancelled.
    bool canCancel() const { return m_canCancel; }
    // A tunnel that was up has been lost and is being started again: waiting for an attempt, or in one.
    bool isReconnecting() const { return m_isReconnecting; }
    // Up or on its way up (again), or a helper still running that is ours to stop.
    bool isActive() const { return m_isConnected || m_isLoading || m_isReconnecting || m_pid.has_value(); }

    void setStatus(QString status, TunnelPhase phase);
    void setConnected(bool connected);
    void setLoading(bool loading);
    void setCanCancel(bool canCancel);
    void setReconnecting(bool reconnecting);
    void setPid(std::optional<qint32> pid) { m_pid = pid; }
    void setMonitor(std::optional<TaskHandle> monitor) { m_monitor = std::move(monitor); }
    void setServerHost(std::optional<QString> host) { m_serverHost = std::move(host); }
    void setMode(RoutingMode mode) { m_mode = mode; }

signals:
    void statusChanged();
    void connectedChanged();
    void loadingChanged();
    void canCancelChanged();
    void reconnectingChanged();

private:
    QString m_status;
    TunnelPhase m_phase = TunnelPhase::disconnected;
    bool m_isConnected = false;
    bool m_isLoading = false;
    bool m_canCancel = false;
    bool m_isReconnecting = false;
    std::optional<qint32> m_pid;
    std::optional<TaskHandle> m_monitor;
    std::optional<QString> m_serverHost;
    RoutingMode m_mode = RoutingMode::safe;
};
