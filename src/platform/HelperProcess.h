#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// Starts the tunnel helper (or what starts it as root) as a child of this process in a session of its
// own, with its standard output and error on one open file and, when input is given, that input on its
// standard input through a pipe that is filled and closed before it runs (so a secret never appears
// on a command line); and has it reaped when it ends (ChildReaper), so an exited child vanishes from
// the process table at once whatever the system's first process does. Call from a worker thread.
namespace HelperProcess {

struct Started {
    pid_t pid = -1; // > 0 when it started
    QString error;  // why it did not
};

Started spawn(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
              int outputFd, const QByteArray &input = QByteArray());

} // namespace HelperProcess
