#include "TunnelState.h"

TunnelState::TunnelState(QString status, QObject *parent)
    : QObject(parent)
    , m_status(std::move(status))
{}

void TunnelState::setStatus(QString status, TunnelPhase phase)
{
    m_status = std::move(status);
    m_phase = phase;
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
