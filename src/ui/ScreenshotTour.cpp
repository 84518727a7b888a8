#include "ScreenshotTour.h"

#include <QImage>
#include <QTimer>

namespace {
// Longer than the screens' cross-fade, so each picture shows one settled screen.
constexpr int kSettleMs = 350;
} // namespace

ScreenshotTour::ScreenshotTour(QQuickWindow &window, QDir folder, QList<Step> steps, QObject *parent)
    : QObject(parent)
    , m_window(&window)
    , m_folder(std::move(folder))
    , m_steps(std::move(steps))
{
}

void ScreenshotTour::start()
{
    QTimer::singleShot(0, this, &ScreenshotTour::runStep);
}

void ScreenshotTour::runStep()
{
    if (m_next >= m_steps.size()) {
        emit finished(true);
        return;
    }
    const Step &step = m_steps.at(m_next);
    if (step.act)
        step.act();
    QTimer::singleShot(kSettleMs, this, [this] {
        if (!m_window) {
            emit finished(false);
            return;
        }
        const Step &taken = m_steps.at(m_next);
        const QString path =
            m_folder.filePath(QStringLiteral("%1-%2.png").arg(m_next + 1, 2, 10, QLatin1Char('0')).arg(taken.name));
        const QImage image = m_window->grabWindow();
        if (image.isNull() || !image.save(path)) {
            emit finished(false);
            return;
        }
        m_written.append(path);
        ++m_next;
        runStep();
    });
}
