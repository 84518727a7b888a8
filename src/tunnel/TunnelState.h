#pragma once

#include "RoutingMode.h"
#include "TunnelCause.h"
#include "api/NodeInfo.h"

#include <QDateTime>
#include <QObject>

#include <optional>

// What the tunnel is doing, as the controller that drives it records it: the only writer of these
// fields is TunnelController. Every assignment notifies, in the order the controller makes them, so
// an observer that mirrors them sees the same sequence.
class TunnelState : public QObject {
    Q_OBJECT
public:
    explicit TunnelState(QObject *parent = nullptr);

    // Why it last changed; the view says it in words.
    const TunnelCause &cause() const { return m_cause; }
    TunnelPhase phase() const { return m_cause.phase(); }
    bool isConnected() const { return m_isConnected; }
    bool isLoading() const { return m_isLoading; }
    std::optional<qint32> pid() const { return m_pid; }
    const std::optional<QString> &serverHost() const { return m_serverHost; }
    RoutingMode mode() const { return m_mode; }
    // A start has been under way for long enough that it may be cancelled.
    bool canCancel() const { return m_canCancel; }
    // A tunnel that was up has been lost and is being started again: waiting for an attempt, or in one.
    bool isReconnecting() const { return m_isReconnecting; }
    // The node of the tunnel starting, up, reconnecting or stopping (not the one selected for the next).
    const std::optional<NodeInfo> &node() const { return m_node; }
    // When the tunnel came up (wall-clock), while it is up.
    const std::optional<QDateTime> &upSince() const { return m_upSince; }
    // Attempt k of n of a reconnect series, while one runs.
    struct Attempt {
        int number = 0;
        int of = 0;
    };
    const std::optional<Attempt> &attempt() const { return m_attempt; }
    // Set while the tunnel shown is another process's (or one a killed process left): shown, not ours.
    const std::optional<TunnelHolder> &holderElsewhere() const { return m_cause.reason == TunnelReason::runsElsewhere ? m_cause.holder : kNoHolder; }
    // Up or on its way up (again), or a helper still running that is ours to stop.
    bool isActive() const
    {
        return !holderElsewhere() && (m_isConnected || m_isLoading || m_isReconnecting || m_pid.has_value());
    }

    void setCause(TunnelCause cause);
    void setConnected(bool connected);
    void setLoading(bool loading);
    void setCanCancel(bool canCancel);
    void setReconnecting(bool reconnecting);
    void setPid(std::optional<qint32> pid) { m_pid = pid; }
    void setServerHost(std::optional<QString> host) { m_serverHost = std::move(host); }
    void setMode(RoutingMode mode) { m_mode = mode; }
    void setNode(std::optional<NodeInfo> node);
    void setUpSince(std::optional<QDateTime> since);
    void setAttempt(std::optional<Attempt> attempt) { m_attempt = attempt; }

signals:
    // The cause, and with it the phase and the status text.
    void statusChanged();
    void connectedChanged();
    void loadingChanged();
    void canCancelChanged();
    void reconnectingChanged();
    void nodeChanged();
    void upSinceChanged();

private:
    static inline const std::optional<TunnelHolder> kNoHolder;
    TunnelCause m_cause;
    bool m_isConnected = false;
    bool m_isLoading = false;
    bool m_canCancel = false;
    bool m_isReconnecting = false;
    std::optional<qint32> m_pid;
    std::optional<QString> m_serverHost;
    RoutingMode m_mode = RoutingMode::safe;
    std::optional<NodeInfo> m_node;
    std::optional<QDateTime> m_upSince;
    std::optional<Attempt> m_attempt;
};
