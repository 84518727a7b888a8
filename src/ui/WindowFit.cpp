#include "WindowFit.h"

#include <QEvent>
#include <QScreen>
#include <QWindow>

#include <algorithm>

WindowFit::WindowFit(QWindow &window, int preferredHeight, int minimumHeight)
    : QObject(&window)
    , m_window(window)
    , m_minimumHeight(minimumHeight)
{
    m_window.resize(m_window.width(), preferredHeight);
    connect(&m_window, &QWindow::screenChanged, this, &WindowFit::follow);
    m_window.installEventFilter(this);
    follow(m_window.screen());
}

WindowFit::Heights WindowFit::fit(int height, int minimumHeight, const QRect &available, const QMargins &frame)
{
    const int room = std::max(1, available.height() - frame.top() - frame.bottom());
    return {std::min(height, room), std::min(minimumHeight, room)};
}

void WindowFit::follow(QScreen *screen)
{
    disconnect(m_screenConnection);
    if (screen)
        m_screenConnection = connect(screen, &QScreen::availableGeometryChanged, this, &WindowFit::apply);
    apply();
}

bool WindowFit::eventFilter(QObject *watched, QEvent *event)
{
    // The frame is known once the window manager has framed the window: after it is shown or moved.
    if (watched == &m_window && (event->type() == QEvent::Expose || event->type() == QEvent::Move))
        apply();
    return QObject::eventFilter(watched, event);
}

void WindowFit::apply()
{
    if (!m_window.screen())
        return;
    const Heights heights =
        fit(m_window.height(), m_minimumHeight, m_window.screen()->availableGeometry(), m_window.frameMargins());
    m_window.setMinimumHeight(heights.minimum);
    if (heights.height != m_window.height())
        m_window.resize(m_window.width(), heights.height);
}
