#pragma once

#include "TunnelRecord.h"

#include <QString>

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <optional>

// Makes sure only one process drives the tunnel: an advisory lock (flock) on a file beside the helper's
// files, held from a start until that tunnel's clean-up has finished, and removed as it is let go. The
// lock dies with its process, so a crash never leaves the tunnel claimed. The holder writes its
// process id, program and state into the file so that others can say who holds it, and the helper it
// started, so that whoever takes the lock after a crash finds the helper that was left running.
class TunnelOwnership {
public:
    using HelperRecord = ::HelperRecord;
    using Holder = TunnelHolder;
    // Why the tunnel cannot be ours: another process holds it, or its lock file cannot be used.
    struct Refusal {
        std::optional<Holder> holder;
        FileProblem file;
    };

    // Held while the tunnel is ours; the lock goes with the last copy.
    class Lease {
    public:
        ~Lease();
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        // Records what the tunnel is doing, for other processes to read.
        void setState(TunnelPhase phase);
        // Records the node the tunnel runs to, and since when it is up (none: not up).
        void setTunnel(std::optional<RunningNode> node, std::optional<QDateTime> upSince);
        // Records the helper this holder runs (none: it runs none).
        void setHelper(std::optional<HelperRecord> helper);
        // What the lock file said when this lease took it: a holder that ended without letting go
        // (killed), and perhaps the helper it left running. Given once.
        std::optional<Holder> takeLeftBehind();

    private:
        friend class TunnelOwnership;
        // ownFile: the lock file's path when it is ours to write and to remove; empty otherwise.
        Lease(int fd, QString ownFile, QString program, std::optional<Holder> leftBehind);
        void write();

        std::mutex m_mutex;
        int m_fd = -1;
        QString m_ownFile;
        QString m_program;
        QString m_state;
        std::optional<HelperRecord> m_helper;
        std::optional<RunningNode> m_node;
        std::optional<QDateTime> m_upSince;
        std::optional<Holder> m_leftBehind;
    };

    TunnelOwnership(QString lockPath, QString program);

    // Our lease (the one we hold already, if any), or null when another process holds the tunnel or the
    // lock file cannot be used; refusal then says which.
    std::shared_ptr<Lease> acquire(Refusal *refusal);
    // Who holds the tunnel, when another process does, or whose file keeps it from us.
    std::optional<Holder> otherHolder() const;
    // When nobody holds the tunnel: what a holder that was killed left in our lock file, if anything.
    // Only reads; the next lease takes it over.
    std::optional<Holder> leftBehind() const;
    bool heldByUs() const;
    // Whether the lock file is this user's own: only then did its holder write it (root's file, left by
    // a run as root, is locked but never rewritten), and only then is the pid in it worth a signal.
    bool recordIsOurs() const;
    const QString &path() const { return m_path; }

    // The running program's file name ("nimbrel", "nimbrel-cli").
    static QString currentProgram();

private:
    QString m_path;
    QString m_program;
    mutable std::mutex m_mutex;
    std::weak_ptr<Lease> m_lease;
};
