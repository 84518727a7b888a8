#pragma once

#include "AdminPrompt.h"
#include "PrivilegedRunner.h"

#include <QMutex>
#include <QStringList>

// Stand-ins for the privileged operations, for the demo and the end-to-end tests: the same command
// lines, run without privilege. Nothing touches the system's routes or /etc.

// "Installs" rights by setting the set-user-ID bit on the user's own simulated helper.
class DemoAdminPrompt final : public AdminPrompt {
public:
    explicit DemoAdminPrompt(QString helperPath);
    ScriptResult runAsAdmin(const QString &shellCommand) override;

private:
    QString m_helperPath;
};

// Stops the helper with a plain kill (it is the user's own process); records every other command,
// in memory and, when a file is given, one line per command in that file.
class DemoPrivilegedRunner final : public PrivilegedRunner {
public:
    explicit DemoPrivilegedRunner(QString recordFile = QString());
    void run(const QStringList &arguments, Output output) override;

    // Every command asked for, kills included, in order.
    QList<QStringList> commands() const;

private:
    QString m_recordFile;
    mutable QMutex m_mutex;
    QList<QStringList> m_commands;
};
