#pragma once

#include <QString>

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <optional>

// Makes sure only one process drives the tunnel: an advisory lock (flock) on a file beside the helper's
// files, held from a start until that tunnel's clean-up has finished, and removed as it is let go. The
// lock dies with its process, so a crash never leaves the tunnel claimed. The holder writes its
// process id, program and state into the file so that others can say who holds it.
class TunnelOwnership {
public:
    struct Holder {
        qint64 pid = 0;
        QString program;
        QString state;
        // Set when the lock file belongs to another user (not us, not root): then nothing it says is
        // believed, and the tunnel is not ours to take until an administrator removes it.
        std::optional<uid_t> foreignOwner;
        QString lockPath;
        // "nimbrel-cli, pid 1234" (or "another process" when the file says nothing).
        QString description() const;
        // Why we cannot drive the tunnel, for the user.
        QString refusal() const;
    };

    // Held while the tunnel is ours; the lock goes with the last copy.
    class Lease {
    public:
        ~Lease();
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        // Records what the tunnel is doing, for other processes to read (a short word: "connecting", ...).
        void setState(const QString &state);

    private:
        friend class TunnelOwnership;
        // ownFile: the lock file's path when it is ours to write and to remove; empty otherwise.
        Lease(int fd, QString ownFile, QString program);
        void write();

        std::mutex m_mutex;
        int m_fd = -1;
        QString m_ownFile;
        QString m_program;
        QString m_state;
    };

    TunnelOwnership(QString lockPath, QString program);

    // Our lease (the one we hold already, if any), or null when another process holds the tunnel or the
    // lock file cannot be used; problem then says why, for the user.
    std::shared_ptr<Lease> acquire(QString *problem);
    // Who holds the tunnel, when another process does, or whose file keeps it from us.
    std::optional<Holder> otherHolder() const;
    bool heldByUs() const;

    // The running program's file name ("nimbrel", "nimbrel-cli").
    static QString currentProgram();

private:
    QString m_path;
    QString m_program;
    mutable std::mutex m_mutex;
    std::weak_ptr<Lease> m_lease;
};
