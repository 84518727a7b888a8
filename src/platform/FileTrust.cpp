#include "FileTrust.h"

#include <QFile>

#include <sys/stat.h>

namespace FileTrust {

bool isTrustedScript(const QString &path, uid_t owner)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return S_ISREG(info.st_mode) && info.st_uid == owner && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace FileTrust
