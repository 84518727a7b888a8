#pragma once

#include "RoutingMode.h"
#include "TunnelPhase.h"
#include "platform/ProcessIdentity.h"

#include <QDateTime>
#include <QString>

#include <sys/types.h>

#include <optional>

// Something wrong with one of the tunnel's own files (its log, its lock), for the view to put in words.
struct FileProblem {
    enum class Kind {
        cannotMakeFolder,   // detail: the system's error
        folderNotPrivate,   // another user could enter the folder
        cannotOpen,         // detail: the system's error
        cannotCreate,       // detail: the system's error
        notOurs,            // a folder, link or other non-file is in the way
        ownedByOtherUser,   // detail: that user's name
        cannotProtect,      // its mode could not be made private
        keepsBeingReplaced, // someone swaps the file while we lock it
        changedWhileCreated,
    };
    Kind kind = Kind::cannotOpen;
    QString path;
    QString detail;

    static FileProblem ownedByAnotherUser(const QString &path, uid_t owner);
    static FileProblem systemError(Kind kind, const QString &path, int error);
    bool operator==(const FileProblem &) const = default;
};

// The helper a holder started: enough to tell it from a later process with the same pid, and to
// delete its routes.
struct HelperRecord {
    qint32 pid = 0;
    std::optional<ProcessIdentity> identity;
    QString host;
    RoutingMode mode = RoutingMode::safe;

    // Whether it still runs: the process with its pid is the one that was started.
    bool isRunning() const;
};

// The node a tunnel runs to, as far as another process needs to name it.
struct RunningNode {
    qint64 id = 0;
    QString name;
    QString flagEmoji;
    bool operator==(const RunningNode &) const = default;
};

// Who holds the tunnel when it is not this process, from what its lock file says.
struct TunnelHolder {
    qint64 pid = 0;
    QString program; // "nimbrel", "nimbrel-cli"; empty when the file does not say
    QString state;   // the phase word it recorded
    std::optional<HelperRecord> helper;
    std::optional<RunningNode> node;
    std::optional<QDateTime> upSince;
    // Set when the lock file belongs to another user (not us, not root): then nothing it says is
    // believed, and the tunnel is not ours to take until an administrator removes it.
    std::optional<uid_t> foreignOwner;
    QString lockPath;
    // The holder was killed and is gone; what it recorded is what it left.
    bool leftBehind = false;

    // The recorded word as a phase (a record cut short by a kill: a start under way).
    TunnelPhase phase() const { return TunnelPhases::ofRecordedWord(state); }
};
