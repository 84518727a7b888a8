#pragma once

#include <QDir>
#include <QObject>
#include <QPointer>
#include <QQuickWindow>

#include <functional>

// Walks the app through a list of steps and writes a PNG after each, for runs without a display. Each
// step changes the state, waits until its expected state is reached (or gives up and fails the tour),
// then takes a picture of the main window or of the window the step names.
class ScreenshotTour : public QObject {
    Q_OBJECT
public:
    struct Step {
        QString name;
        std::function<void()> act;
        std::function<bool()> reached; // none: reached at once
        QPointer<QQuickWindow> window; // none: the main window
    };

    ScreenshotTour(QQuickWindow &window, QDir folder, QList<Step> steps, QObject *parent = nullptr);

    void start();
    QStringList writtenFiles() const { return m_written; }

signals:
    // ok is false when a step did not reach its state or a picture could not be written; problem says which.
    void finished(bool ok, const QString &problem);

private:
    void runStep();
    void waitForStep(int waitedMs);
    void takePicture();

    QPointer<QQuickWindow> m_window;
    QDir m_folder;
    QList<Step> m_steps;
    qsizetype m_next = 0;
    QStringList m_written;
};
