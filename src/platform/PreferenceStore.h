#pragma once

#include <QMutex>
#include <QString>

#include <memory>
#include <optional>

class QSettings;

// The per-user key-value store of strings behind the session, the language, the routing mode and the
// helper path keys. On macOS it is the standard user defaults; elsewhere an INI file that only its
// owner can read, because it holds the session tokens. Safe to use from any thread.
class PreferenceStore {
public:
    // The store at its standard place for this user.
    static std::shared_ptr<PreferenceStore> openStandard();
    // An INI file at an explicit path (tests, the demo, a second profile).
    static std::shared_ptr<PreferenceStore> openFile(const QString &path);

    ~PreferenceStore();
    PreferenceStore(const PreferenceStore &) = delete;
    PreferenceStore &operator=(const PreferenceStore &) = delete;

    // The string stored under key, or none when the key holds no string.
    std::optional<QString> string(const QString &key) const;
    void setString(const QString &key, const QString &value);
    void remove(const QString &key);

    // Where the values live (a file path, or the native domain's name).
    QString location() const;

private:
    explicit PreferenceStore(std::unique_ptr<QSettings> settings, QString privateFile);
    void flushLocked();

    mutable QMutex m_mutex;
    std::unique_ptr<QSettings> m_settings;
    QString m_privateFile;
};
