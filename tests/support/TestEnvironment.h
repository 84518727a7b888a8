#pragma once

#include "app/AppEnvironment.h"

#include <QFileDevice>
#include <QTemporaryDir>

#include <memory>
#include <optional>

class PreferenceStore;
class RecordingPrivilegedRunner;

// A real environment in a temporary folder: a real settings file, the tunnel's files in the folder,
// a recording privileged runner, short intervals.
class TestEnvironment {
public:
    TestEnvironment();

    AppEnvironment environment();

    // Writes a file (replacing what was there) and, when given, sets its permissions. False on failure.
    static bool writeFile(const QString &path, const QByteArray &content,
                          std::optional<QFileDevice::Permissions> permissions = std::nullopt);

    // A file's bytes, or "<unreadable>".
    static QByteArray contentOf(const QString &path);

    // Points the shared language manager at a store of its own, in English, before its first use.
    // Call once per test program (initTestCase).
    static void useTemporaryLanguageStore();
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString settingsFile() const { return path(QStringLiteral("settings.conf")); }

    std::shared_ptr<PreferenceStore> preferences;
    std::shared_ptr<RecordingPrivilegedRunner> runner;
    TunnelPaths tunnelPaths;

private:
    QTemporaryDir m_dir;
};
