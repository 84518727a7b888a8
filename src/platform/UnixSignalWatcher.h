#pragma once

#include <QList>
#include <QObject>

class QSocketNotifier;

// Turns POSIX signals (SIGINT, SIGTERM, ...) into a Qt signal on the thread that owns the watcher, so
// a program can end cleanly from its event loop. One watcher per process.
class UnixSignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit UnixSignalWatcher(const QList<int> &signalNumbers, QObject *parent = nullptr);
    ~UnixSignalWatcher() override;

signals:
    void received(int signalNumber);

private:
    void drain();

    QList<int> m_signals;
    QSocketNotifier *m_notifier = nullptr;
};
