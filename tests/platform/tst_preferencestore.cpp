#include "platform/PreferenceStore.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <sys/stat.h>

namespace {

mode_t permissionsOf(const QString &path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
}

} // namespace

class TestPreferenceStore : public QObject {
    Q_OBJECT

private slots:
    void fileIsPrivateFromCreationAndAfterRewrites()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("nested/folder/prefs.conf"));
        auto store = PreferenceStore::openFile(path);
        QVERIFY(QFileInfo::exists(path));
        QCOMPARE(permissionsOf(path), mode_t(0600));
        store->setString(QStringLiteral("auth.accessToken"), QStringLiteral("a"));
        store->setString(QStringLiteral("auth.refreshToken"), QStringLiteral("b"));
        store->remove(QStringLiteral("auth.refreshToken"));
        QCOMPARE(permissionsOf(path), mode_t(0600));
    }

    void existingLooseFileIsTightened()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("prefs.conf"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[General]\nappLanguage=ru\n");
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
        auto store = PreferenceStore::openFile(path);
        QCOMPARE(permissionsOf(path), mode_t(0600));
        QCOMPARE(store->string(QStringLiteral("appLanguage")), std::optional(QStringLiteral("ru")));
    }

    void stringsRoundTripIncludingEmpty()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("prefs.conf"));
        {
            auto store = PreferenceStore::openFile(path);
            QCOMPARE(store->string(QStringLiteral("auth.email")), std::nullopt);
            store->setString(QStringLiteral("auth.email"), QString());
            store->setString(QStringLiteral("auth.nickname"), QStringLiteral("bob, the \"builder\" = 1; [x]"));
            store->setString(QStringLiteral("routingMode"), QStringLiteral("smart"));
            store->remove(QStringLiteral("routingMode"));
        }
        // A second store on the same file (the next launch, or the command-line client) sees it all.
        auto reopened = PreferenceStore::openFile(path);
        QCOMPARE(reopened->string(QStringLiteral("auth.email")), std::optional(QString()));
        QCOMPARE(reopened->string(QStringLiteral("auth.nickname")),
                 std::optional(QStringLiteral("bob, the \"builder\" = 1; [x]")));
        QCOMPARE(reopened->string(QStringLiteral("routingMode")), std::nullopt);
    }

    void writesAreVisibleToAnotherStoreAtOnce()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("prefs.conf"));
        auto writer = PreferenceStore::openFile(path);
        auto reader = PreferenceStore::openFile(path);
        writer->setString(QStringLiteral("appLanguage"), QStringLiteral("zh-CN"));
        QSettings direct(path, QSettings::IniFormat);
        QCOMPARE(direct.value(QStringLiteral("appLanguage")).toString(), QStringLiteral("zh-CN"));
    }

    void nonStringValuesReadAsNone()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("prefs.conf"));
        {
            QSettings direct(path, QSettings::IniFormat);
            direct.setValue(QStringLiteral("routingMode"),
                            QStringList{QStringLiteral("smart"), QStringLiteral("safe")});
            direct.setValue(QStringLiteral("appLanguage"), 42);
        }
        auto store = PreferenceStore::openFile(path);
        QCOMPARE(store->string(QStringLiteral("routingMode")), std::nullopt);
        // An INI file cannot tell a number from text; it is read back as the text it holds.
        QCOMPARE(store->string(QStringLiteral("appLanguage")), std::optional(QStringLiteral("42")));
    }

    void usableFromSeveralThreads()
    {
        QTemporaryDir dir;
        auto store = PreferenceStore::openFile(dir.filePath(QStringLiteral("prefs.conf")));
        QList<QThread *> threads;
        for (int t = 0; t < 4; ++t) {
            threads.append(QThread::create([store, t] {
                for (int i = 0; i < 50; ++i) {
                    store->setString(QStringLiteral("key%1").arg(t), QString::number(i));
                    (void)store->string(QStringLiteral("key%1").arg((t + 1) % 4));
                }
            }));
            threads.last()->start();
        }
        for (QThread *thread : threads) {
            QVERIFY(thread->wait(30000));
            delete thread;
        }
        for (int t = 0; t < 4; ++t)
            QCOMPARE(store->string(QStringLiteral("key%1").arg(t)), std::optional(QStringLiteral("49")));
    }
};

QTEST_GUILESS_MAIN(TestPreferenceStore)
#include "tst_preferencestore.moc"
