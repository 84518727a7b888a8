#include "TunnelState.h"

TunnelState::TunnelState(QObject *parent)
    : QObject(parent)
{}

void TunnelState::setCause(TunnelCause cause)
{
    m_cause = std::move(cause);
    emit statusChanged();
}

void TunnelState::setConnected(bool connected)
{
    m_isConnected = connected;
    emit connectedChanged();
}

void TunnelState::setLoading(bool loading)
{
    m_isLoading = loading;
    emit loadingChanged();
}

void TunnelState::setCanCancel(bool canCancel)
{
    m_canCancel = canCancel;
    emit canCancelChanged();
}

void TunnelState::setReconnecting(bool reconnecting)
{
    m_isReconnecting = reconnecting;
    emit reconnectingChanged();
}

void TunnelState::setNode(std::optional<NodeInfo> node)
{
    m_node = std::move(node);
    emit nodeChanged();
}

void TunnelState::setUpSince(std::optional<QDateTime> since)
{
    m_upSince = std::move(since);
    emit upSinceChanged();
}
