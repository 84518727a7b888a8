#include "ReconnectSeries.h"

ReconnectSeries::ReconnectSeries(QList<std::chrono::milliseconds> waits, std::chrono::milliseconds settle,
                                 QObject *parent)
    : QObject(parent)
    , m_waits(std::move(waits))
    , m_settle(settle)
{
    m_waitTimer.setSingleShot(true);
    m_settleTimer.setSingleShot(true);
    connect(&m_waitTimer, &QTimer::timeout, this, &ReconnectSeries::due);
    connect(&m_settleTimer, &QTimer::timeout, this, &ReconnectSeries::end);
}

bool ReconnectSeries::awaitNext()
{
    m_settleTimer.stop();
    if (m_attempt >= m_waits.size()) {
        end();
        return false;
    }
    m_waitTimer.start(m_waits.at(m_attempt++));
    return true;
}

void ReconnectSeries::restored()
{
    m_waitTimer.stop();
    m_settleTimer.start(m_settle);
}

void ReconnectSeries::end()
{
    m_waitTimer.stop();
    m_settleTimer.stop();
    m_attempt = 0;
}
