#pragma once

#include <QMargins>
#include <QObject>
#include <QRect>

class QScreen;
class QWindow;

// Keeps a window's height inside the screen it is on: never taller than the screen's available area
// (the screen less its panels) less the frame the window manager draws around the window. Measured
// again when the window moves to another screen, a panel comes or goes, or the frame becomes known
// (a window manager tells it only once the window is shown).
class WindowFit : public QObject {
    Q_OBJECT
public:
    WindowFit(QWindow &window, int preferredHeight, int minimumHeight);

    struct Heights {
        int height;
        int minimum;
        friend bool operator==(const Heights &, const Heights &) = default;
    };
    // The window's height (preferred, or less when it does not fit) and its least height, for a window
    // now height tall on a screen whose available area is available, inside frame.
    static Heights fit(int height, int minimumHeight, const QRect &available, const QMargins &frame);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void apply();
    void follow(QScreen *screen);

    QWindow &m_window;
    int m_minimumHeight;
    QMetaObject::Connection m_screenConnection;
};
