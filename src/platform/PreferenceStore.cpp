#include "PreferenceStore.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Creates the file private to its owner before QSettings first writes it, so the tokens are never
// readable by others, not even for a moment. QSettings rewrites the file through QSaveFile, which
// keeps the permissions of the file it replaces.
void preparePrivateFile(const QString &path)
{
    const QFileInfo info(path);
    QDir().mkpath(info.absolutePath());
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);
        ::close(fd);
    }
}

} // namespace

std::shared_ptr<PreferenceStore> PreferenceStore::openStandard()
{
#ifdef Q_OS_MACOS
    return std::shared_ptr<PreferenceStore>(new PreferenceStore(
        std::make_unique<QSettings>(QStringLiteral("Nimbrel"), QStringLiteral("Nimbrel")), QString()));
#else
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return openFile(folder + QStringLiteral("/Nimbrel/Nimbrel.conf"));
#endif
}

std::shared_ptr<PreferenceStore> PreferenceStore::openFile(const QString &path)
{
    preparePrivateFile(path);
    return std::shared_ptr<PreferenceStore>(
        new PreferenceStore(std::make_unique<QSettings>(path, QSettings::IniFormat), path));
}

PreferenceStore::PreferenceStore(std::unique_ptr<QSettings> settings, QString privateFile)
    : m_settings(std::move(settings))
    , m_privateFile(std::move(privateFile))
{}

PreferenceStore::~PreferenceStore() = default;

std::optional<QString> PreferenceStore::string(const QString &key) const
{
    const QMutexLocker lock(&m_mutex);
    // Another process of the same user may have written since: sync() re-reads a file that changed.
    m_settings->sync();
    const QVariant value = m_settings->value(key);
    switch (value.typeId()) {
    case QMetaType::QString:
        return value.toString();
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Double:
    case QMetaType::Bool:
    case QMetaType::QByteArray:
        return value.toString();
    default:
        return std::nullopt; // nothing stored, or a list or a map that no string key holds
    }
}

void PreferenceStore::setString(const QString &key, const QString &value)
{
    const QMutexLocker lock(&m_mutex);
    m_settings->setValue(key, value);
    flushLocked();
}

void PreferenceStore::remove(const QString &key)
{
    const QMutexLocker lock(&m_mutex);
    m_settings->remove(key);
    flushLocked();
}

QString PreferenceStore::location() const
{
    const QMutexLocker lock(&m_mutex);
    return m_settings->fileName();
}

// Written at once so that another process of the same user (the command-line client) sees the change.
void PreferenceStore::flushLocked()
{
    m_settings->sync();
    if (!m_privateFile.isEmpty())
        ::chmod(QFile::encodeName(m_privateFile).constData(), 0600);
}
