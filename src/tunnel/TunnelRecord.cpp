#include "TunnelRecord.h"

#include "platform/SystemInfo.h"

#include <cstring>

FileProblem FileProblem::ownedByAnotherUser(const QString &path, uid_t owner)
{
    return {Kind::ownedByOtherUser, path, SystemInfo::userName(owner)};
}

FileProblem FileProblem::systemError(Kind kind, const QString &path, int error)
{
    return {kind, path, QString::fromLocal8Bit(std::strerror(error))};
}

bool HelperRecord::isRunning() const
{
    return identity && ProcessIdentity::of(pid) == identity;
}
