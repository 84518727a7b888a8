#pragma once

#include "LogScanner.h"
#include "TunnelRecord.h"

#include <QString>

// The helper's log: created empty by us, exclusively, so nothing that was there before (another
// user's file, a link, a FIFO, a folder, a stale log) is written through or read. Read back
// incrementally from our own descriptor, so the cost per read does not grow with the log.
class TunnelLog {
public:
    TunnelLog() = default;
    ~TunnelLog();
    TunnelLog(TunnelLog &&other) noexcept;
    TunnelLog &operator=(TunnelLog &&other) noexcept;
    TunnelLog(const TunnelLog &) = delete;
    TunnelLog &operator=(const TunnelLog &) = delete;

    // Removes what is at path and creates a new private file there. On failure says why and returns an
    // invalid log. Blocking file work: worker threads only.
    static TunnelLog create(const QString &path, FileProblem *problem);

    bool isValid() const { return m_readFd >= 0; }
    // For the helper's standard output and error.
    int writeDescriptor() const { return m_writeFd; }
    // We keep only the reading side once the helper has its copy.
    void closeWriteDescriptor();

    // Reads what was added since the last call (at most maxBytes) into the scanner.
    void readNew(LogScanner &scanner, qint64 maxBytes);
    qint64 offset() const { return m_offset; }

private:
    int m_writeFd = -1;
    int m_readFd = -1;
    qint64 m_offset = 0;
};
