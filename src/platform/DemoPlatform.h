#pragma once

#include "AdminPrompt.h"
#include "PrivilegedRunner.h"

#include <QMutex>
#include <QStringList>

// Stand-ins for the privileged operations, for the demo and the end-to-end tests: the same command
// lines, run without privilege. Nothing touches the system's routes, /etc, or any file's mode.

// "Installs" rights by writing the user's own helper path into a record in the demo's folder; the demo
// runner's "check" answers from it.
class DemoAdminPrompt final : public AdminPrompt {
public:
    DemoAdminPrompt(QString helperPath, QString installationRecord);
    ScriptResult runAsAdmin(const QString &shellCommand) override;
    bool isAvailable() const override { return true; }

private:
    QString m_helperPath;
    QString m_installationRecord;
};

// Answers the control program's verbs as the user: "stop PID" is a plain kill (the helper is the user's
// own process), "check" reads the demo's installation record, everything else is only recorded, in
// memory and, when a file is given, one line per command in that file.
class DemoPrivilegedRunner final : public PrivilegedRunner {
public:
    explicit DemoPrivilegedRunner(QString recordFile = QString(), QString installationRecord = QString());
    Result run(const QStringList &arguments, Output output) override;

    // Every command asked for, in order.
    QList<QStringList> commands() const;

private:
    QString m_recordFile;
    QString m_installationRecord;
    mutable QMutex m_mutex;
    QList<QStringList> m_commands;
};
