#include "TunnelState.h"

TunnelState::TunnelState(QString status, QObject *parent)
    : QObject(parent)
    , m_status(std::move(status))
{}

void TunnelState::setStatus(QString status)
{
    m_status = std::move(status);
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
