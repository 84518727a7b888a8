#pragma once

#include <QDir>
#include <QObject>
#include <QPointer>
#include <QQuickWindow>

#include <functional>

// Walks the main window through a list of steps and writes a PNG of the window after each, for runs
// without a display. Each step changes the state; the picture is taken once the window has settled.
class ScreenshotTour : public QObject {
    Q_OBJECT
public:
    struct Step {
        QString name;
        std::function<void()> act;
    };

    ScreenshotTour(QQuickWindow &window, QDir folder, QList<Step> steps, QObject *parent = nullptr);

    void start();
    QStringList writtenFiles() const { return m_written; }

signals:
    // ok is false when a picture could not be taken or written.
    void finished(bool ok);

private:
    void runStep();

    QPointer<QQuickWindow> m_window;
    QDir m_folder;
    QList<Step> m_steps;
    qsizetype m_next = 0;
    QStringList m_written;
};
