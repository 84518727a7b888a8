#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class AppViewModel;
class UnixSignalWatcher;

// Lets the command-line client wait for the view model like a screen would: it runs the event loop
// until a condition over the observed state holds, re-checking on every notification, or until
// Ctrl-C (SIGINT), SIGTERM or a hang-up of its terminal (SIGHUP) arrives.
class CliSession : public QObject {
    Q_OBJECT
public:
    explicit CliSession(AppViewModel &vm, QObject *parent = nullptr);
    ~CliSession() override;

    // False when a signal interrupted the wait; an uninterruptible wait (a clean-up) lets signals pass.
    bool waitUntil(const std::function<bool()> &done, bool interruptible = true);
    bool interrupted() const { return m_interrupted; }
    // Makes a running wait look at its condition again (for conditions that no notification covers).
    void wake() { emit changed(); }
    // The message of the last failed account load, if one failed.
    const std::optional<QString> &userDataError() const { return m_userDataError; }

signals:
    void changed();

private slots:
    void notify() { emit changed(); }

private:
    UnixSignalWatcher *m_signals = nullptr;
    bool m_interrupted = false;
    std::optional<QString> m_userDataError;
};
