#include "FileTrust.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileTrust {

namespace {

bool writableByOthers(const struct stat &info)
{
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// Every folder from path's parent up to "/" passes the test.
template <typename Test>
bool everyFolderAbove(const QString &path, Test test)
{
    QString folder = QFileInfo(path).absolutePath();
    for (;;) {
        struct stat info {};
        if (::lstat(QFile::encodeName(folder).constData(), &info) != 0 || !S_ISDIR(info.st_mode) || !test(info))
            return false;
        if (folder == QLatin1String("/"))
            return true;
        folder = QFileInfo(folder).absolutePath();
    }
}

} // namespace

bool isTrustedScript(const QString &path, uid_t owner)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    return S_ISREG(info.st_mode) && info.st_uid == owner && !writableByOthers(info);
}

std::optional<QString> trustedProgram(const QString &path, uid_t user, const QString &base)
{
    if (path.isEmpty())
        return std::nullopt;
    const QString absolute = QDir::isAbsolutePath(path) ? path : QDir(base).absoluteFilePath(path);
    if (!QDir::isAbsolutePath(absolute))
        return std::nullopt;
    const QString canonical = QFileInfo(absolute).canonicalFilePath();
    if (canonical.isEmpty())
        return std::nullopt;
    const auto ownedByRootOrUser = [user](const struct stat &info) { return info.st_uid == 0 || info.st_uid == user; };
    struct stat info {};
    if (::lstat(QFile::encodeName(canonical).constData(), &info) != 0 || !S_ISREG(info.st_mode) ||
        !ownedByRootOrUser(info) || writableByOthers(info))
        return std::nullopt;
    const bool safeChain = everyFolderAbove(canonical, [&](const struct stat &folder) {
        const bool rootSticky = folder.st_uid == 0 && (folder.st_mode & S_ISVTX) != 0;
        return ownedByRootOrUser(folder) && (!writableByOthers(folder) || rootSticky);
    });
    return safeChain ? std::optional(canonical) : std::nullopt;
}

bool isRootOnlyFolder(const QString &folder)
{
    QString existing = QDir::cleanPath(folder);
    if (!QDir::isAbsolutePath(existing))
        return false;
    while (!QFileInfo::exists(existing) && existing != QLatin1String("/"))
        existing = QFileInfo(existing).absolutePath();
    // Links resolved first: on macOS /etc is a link to /private/etc.
    existing = QFileInfo(existing).canonicalFilePath();
    if (existing.isEmpty())
        return false;
    return everyFolderAbove(QDir(existing).filePath(QStringLiteral("entry")),
                            [](const struct stat &info) { return info.st_uid == 0 && !writableByOthers(info); });
}

QString sha256Of(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QString();
    struct stat info {};
    QFile file;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (!regular) {
        ::close(fd);
        return QString();
    }
    const bool read = file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle) && hash.addData(&file);
    return read ? QString::fromLatin1(hash.result().toHex()) : QString();
}

std::optional<uid_t> ownerOf(const QString &path)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return info.st_uid;
}

bool isPrivateFolder(const QString &path, uid_t user)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == user &&
           !writableByOthers(info);
}

} // namespace FileTrust
