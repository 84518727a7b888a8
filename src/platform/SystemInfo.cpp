#include "SystemInfo.h"

#include "FileTrust.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QSysInfo>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#ifdef Q_OS_MACOS
#include <mach-o/dyld.h>
#endif

namespace SystemInfo {

namespace {

const passwd *ownEntry()
{
    return ::getpwuid(::geteuid());
}

} // namespace

QString homeDirectory()
{
    const passwd *entry = ownEntry();
    if (entry && entry->pw_dir && *entry->pw_dir)
        return QString::fromLocal8Bit(entry->pw_dir);
    return QDir::homePath();
}

QString executablePath()
{
#ifdef Q_OS_MACOS
    uint32_t size = 0;
    ::_NSGetExecutablePath(nullptr, &size);
    QByteArray loaderPath(qsizetype(size), '\0');
    if (::_NSGetExecutablePath(loaderPath.data(), &size) != 0)
        return QString();
    char resolved[PATH_MAX];
    return ::realpath(loaderPath.constData(), resolved) ? QFile::decodeName(resolved) : QString();
#else
    char resolved[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", resolved, sizeof resolved - 1);
    return length > 0 ? QFile::decodeName(QByteArray(resolved, length)) : QString();
#endif
}

QString userName(uid_t uid)
{
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd *found = nullptr;
    while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < 1 << 20)
        buffer.resize(buffer.size() * 2);
    if (found && found->pw_name && *found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    return QStringLiteral("uid %1").arg(uid);
}

std::optional<uid_t> peerUser(int socketDescriptor)
{
#ifdef Q_OS_MACOS
    uid_t uid = 0;
    gid_t gid = 0;
    if (::getpeereid(socketDescriptor, &uid, &gid) != 0)
        return std::nullopt;
    return uid;
#else
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socketDescriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof credentials)
        return std::nullopt;
    return credentials.uid;
#endif
}

bool isExecutableFile(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info {};
    return ::stat(native.constData(), &info) == 0 && S_ISREG(info.st_mode) && ::access(native.constData(), X_OK) == 0;
}

bool isProcessAlive(pid_t pid)
{
    if (pid <= 0)
        return false;
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

QString privateRuntimeFolder()
{
#ifdef Q_OS_MACOS
    char buffer[PATH_MAX];
    const size_t size = ::confstr(_CS_DARWIN_USER_TEMP_DIR, buffer, sizeof buffer);
    if (size > 0 && size <= sizeof buffer)
        return QDir(QFile::decodeName(buffer)).filePath(QStringLiteral("nimbrel"));
#else
    const QString runtime = QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"));
    if (QDir::isAbsolutePath(runtime) && FileTrust::isPrivateFolder(runtime, ::geteuid()))
        return QDir(runtime).filePath(QStringLiteral("nimbrel"));
#endif
    // No session's folder (a shell from su, a cron job): one in the user's own cache folder, by host, as a
    // home folder may be shared between machines. A fixed name in /tmp could be made first by another
    // user, and would keep this user from connecting.
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    QDir().mkpath(cache); // the folder is made private by its user, one level down
    return QDir(cache).filePath(QStringLiteral("nimbrel-run-") + QSysInfo::machineHostName());
}

} // namespace SystemInfo
