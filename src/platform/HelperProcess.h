#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// Starts the tunnel helper as a child of this process with its standard output and error on one open
// file, and has it reaped when it ends (ChildReaper), so an exited helper vanishes from the process table
// at once whatever the system's first process does. Call from a worker thread.
namespace HelperProcess {

struct Started {
    pid_t pid = -1; // > 0 when it started
    QString error;  // why it did not
};

Started spawn(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
              int outputFd);

} // namespace HelperProcess
