#pragma once

#include "RecordingPrivilegedRunner.h"
#include "platform/AdminPrompt.h"

#include <QMutex>
#include <QSemaphore>
#include <QStringList>

#include <memory>

// Stands in for the administrator dialog: records each command, answers as told, and on success has the
// runner's "check" and "start" serve the given helper, as the real installation's copy would. A test may
// hold the dialog open.
class RecordingAdminPrompt final : public AdminPrompt {
public:
    ScriptResult runAsAdmin(const QStringList &command) override;
    bool isAvailable() const override { return true; }
    // Closes a dialog held open as cancelled.
    void cancel() override;

    void setAnswer(bool authorised) { m_authorised = authorised; }
    void setHelperPath(const QString &path) { m_helperPath = path; }
    void setRunner(std::shared_ptr<RecordingPrivilegedRunner> runner) { m_runner = std::move(runner); }
    QList<QStringList> commands() const;
    void holdOpen();
    bool waitUntilShown(int timeoutMs = 5000) { return m_shown.tryAcquire(1, timeoutMs); }
    // How many dialogs were cancelled while they were shown.
    int cancelledCount() const;

private:
    mutable QMutex m_mutex;
    QList<QStringList> m_commands;
    bool m_authorised = true;
    bool m_hold = false;
    bool m_showing = false;
    bool m_cancelled = false;
    int m_cancelledCount = 0;
    QString m_helperPath;
    std::shared_ptr<RecordingPrivilegedRunner> m_runner;
    QSemaphore m_closed;
    QSemaphore m_shown;
};
