#pragma once

#include <QString>

// The helper's fixed files in the shared temporary folder. Tests point them into a folder of their own.
struct TunnelPaths {
    QString log = QStringLiteral("/tmp/fw.log");
    QString pid = QStringLiteral("/tmp/fw.pid");
    QString cleanupScript = QStringLiteral("/tmp/fw_smart_cleanup.sh");
    QString gateway = QStringLiteral("/tmp/fw_smart_gw.txt");
    // Ours, not the helper's: held by the one process of this user that drives the tunnel, in a folder
    // no other user can enter (between users, the control program's run file keeps one helper).
    QString ownerLock = defaultOwnerLock();

    static QString defaultOwnerLock();
};
