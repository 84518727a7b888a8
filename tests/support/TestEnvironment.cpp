#include "TestEnvironment.h"

#include "RecordingPrivilegedRunner.h"
#include "i18n/LanguageManager.h"
#include "platform/PreferenceStore.h"

#include <QFile>

#include <unistd.h>

using namespace std::chrono_literals;

TestEnvironment::TestEnvironment()
    : runner(std::make_shared<RecordingPrivilegedRunner>())
{
    preferences = PreferenceStore::openFile(settingsFile());
    tunnelPaths.log = path(QStringLiteral("fw.log"));
    tunnelPaths.pid = path(QStringLiteral("fw.pid"));
    tunnelPaths.cleanupScript = path(QStringLiteral("fw_smart_cleanup.sh"));
    tunnelPaths.gateway = path(QStringLiteral("fw_smart_gw.txt"));
    tunnelPaths.ownerLock = path(QStringLiteral("tunnel.lock"));
}

AppEnvironment TestEnvironment::environment()
{
    AppEnvironment environment;
    environment.preferences = preferences;
    environment.apiBaseUrl = QUrl(QStringLiteral("http://127.0.0.1:9/"));
    environment.webSiteUrl = QUrl(QStringLiteral("http://127.0.0.1:9"));
    environment.tunnelPaths = tunnelPaths;
    environment.platform.privilegedRunner = runner;
    environment.intervals.monitor = 20ms;
    environment.intervals.probeTimeout = 300ms;
    environment.intervals.stopPoll = 10ms;
    environment.intervals.otherHolderLook = 20ms;
    environment.intervals.requestTimeout = 2000ms;
    environment.trustedScriptOwner = ::geteuid();
    environment.userId = ::getuid();
    environment.browserOpener = path(QStringLiteral("no-browser-opener")); // tests never open a real browser
    environment.pageFolder = path(QStringLiteral("run"));
    return environment;
}

QByteArray TestEnvironment::contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool TestEnvironment::writeFile(const QString &path, const QByteArray &content,
                                std::optional<QFileDevice::Permissions> permissions)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return false;
    file.close();
    return !permissions || file.setPermissions(*permissions);
}

void TestEnvironment::useTemporaryLanguageStore()
{
    static QTemporaryDir folder;
    LanguageManager::useSharedPreferences(PreferenceStore::openFile(folder.filePath(QStringLiteral("language.conf"))));
    LanguageManager::shared().setLanguage(AppLanguage::en);
}
