#pragma once

#include "platform/AdminPrompt.h"
#include "platform/PrivilegedRunner.h"

#include <QMutex>
#include <QStringList>

#include <chrono>
#include <mutex>

// Stand-ins for the privileged operations, for the demo and the end-to-end tests: the same command
// lines, run without privilege. Nothing touches the system's routes, /etc, or any file's mode.

// "Installs" rights by writing the user's own helper path and its SHA-256 into a record in the demo's
// folder; the demo runner's "check" answers from it.
class DemoAdminPrompt final : public AdminPrompt {
public:
    DemoAdminPrompt(QString helperPath, QString installationRecord);
    ScriptResult runAsAdmin(const QStringList &command) override;
    bool isAvailable() const override { return true; }

private:
    QString m_helperPath;
    QString m_installationRecord;
};

// The control program's start, stop and check, played as the user for a helper the user may run: start
// runs the helper itself (the first line of the input becomes FERNWIRE_PSK), refused while the one it
// started still runs; stop ends that one as the program does (CONT, TERM, a wait, then KILL) and is true
// once it is gone; check describes the helper as an installation of it would. Like the program's run
// file, a record of the helper it started (its pid and start time) outlives the process when a file is
// given for it, so that a later process can stop a helper a killed one started.
class UserControlProgram {
public:
    explicit UserControlProgram(std::chrono::milliseconds stopWait = std::chrono::seconds(8),
                                QString runFile = QString());
    // verbArguments: MODE SERVER SNI.
    HelperProcess::Started start(const QString &helper, const QStringList &verbArguments, const QByteArray &input,
                                 int outputFd);
    bool stop();
    // sha256: that of root's copy, made when it was installed.
    QByteArray check(const QString &helper, const QString &sha256) const;
    void setStopWait(std::chrono::milliseconds wait);

private:
    struct Started {
        pid_t pid = -1;
        QString startTime;
    };
    std::optional<Started> recorded() const;
    void record(std::optional<Started> started);
    // The recorded helper, while it still runs.
    std::optional<Started> running() const;

    mutable std::mutex m_mutex;
    std::optional<Started> m_started;
    QString m_runFile;
    std::chrono::milliseconds m_stopWait;
};

// Answers the control program's verbs as the user, through UserControlProgram for the helper the
// demo's installation record names; everything else is only recorded, in memory and, when a file is
// given, one line per command in that file.
class DemoPrivilegedRunner final : public PrivilegedRunner {
public:
    explicit DemoPrivilegedRunner(QString recordFile = QString(), QString installationRecord = QString());
    Result run(const QStringList &arguments, Output output) override;
    HelperProcess::Started start(const QStringList &arguments, const QByteArray &input, int outputFd) override;

    // Every command asked for, in order.
    QList<QStringList> commands() const;

private:
    void record(const QStringList &arguments);
    // The helper and its hash from the installation record (empty when there is none).
    QStringList installation() const;

    QString m_recordFile;
    QString m_installationRecord;
    UserControlProgram m_control;
    mutable QMutex m_mutex;
    QList<QStringList> m_commands;
};
