#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class AppViewModel;
class QQuickWindow;

// What scripts/bench measures in the running app (--measure WHAT), written to standard output, after
// which the app quits:
//   first-frame        "first-frame" as soon as the first frame is on screen
//   signed-in          once the stored session is open and its node list is drawn: "peak-rss-kb N"
//   connected-idle=S   connects; once connected, hides the window (as when it is in the tray) and
//                      reports the process's CPU time over S seconds: "cpu-ms N seconds S"
//   visible-connected=S, visible-disconnected=S
//                      with the window shown and (for the first) connected, prints "measuring" after
//                      a 3 s warm-up, then the CPU time over the next S seconds as above
class Measurement : public QObject {
    Q_OBJECT
public:
    Measurement(AppViewModel &vm, QQuickWindow &window, std::function<void()> quit, QObject *parent = nullptr);

    // False (with the reason) for a measurement it does not know.
    bool start(const QString &what, QString *problem);

    // The process's peak resident set and its CPU time so far (user and system, all threads).
    static qint64 peakRssKb();
    static qint64 cpuMs();

private:
    void whenSignedIn(std::function<void()> next);
    // Reports the CPU time over seconds, after "measuring" (its start).
    void measureCpu(int seconds);
    void afterNextFrame(std::function<void()> next);
    void report(const QString &line);

    AppViewModel &m_vm;
    QPointer<QQuickWindow> m_window;
    std::function<void()> m_quit;
};
