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
{}

void ScreenshotTour::start()
{
    QTimer::singleShot(0, this, &ScreenshotTour::runStep);
}

void ScreenshotTour::runStep()
{
    if (m_next >= m_steps.size()) {
        emit finished(true, QString());
        return;
    }
    const Step &step = m_steps.at(m_next);
    if (step.act)
        step.act();
    waitForStep(0);
}

void ScreenshotTour::waitForStep(int waitedMs)
{
    constexpr int kPollMs = 50;
    constexpr int kGiveUpMs = 20000;
    const Step &step = m_steps.at(m_next);
    if (step.reached && !step.reached()) {
        if (waitedMs >= kGiveUpMs) {
            emit finished(false, QStringLiteral("step \"%1\" did not reach its state").arg(step.name));
            return;
        }
        QTimer::singleShot(kPollMs, this, [this, waitedMs] { waitForStep(waitedMs + kPollMs); });
        return;
    }
    QTimer::singleShot(kSettleMs, this, &ScreenshotTour::takePicture);
}

void ScreenshotTour::takePicture()
{
    const Step &step = m_steps.at(m_next);
    QQuickWindow *window = step.window ? step.window.data() : m_window.data();
    if (!window) {
        emit finished(false, QStringLiteral("the window of step \"%1\" is gone").arg(step.name));
        return;
    }
    const QString path =
        m_folder.filePath(QStringLiteral("%1-%2.png").arg(m_next + 1, 2, 10, QLatin1Char('0')).arg(step.name));
    const QImage image = window->grabWindow();
    if (image.isNull() || !image.save(path)) {
        emit finished(false, QStringLiteral("cannot write %1").arg(path));
        return;
    }
    m_written.append(path);
    ++m_next;
    runStep();
}
