#include "TestEnvironment.h"
#include "platform/PreferenceStore.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <thread>
#include <vector>

#include <sys/stat.h>

using namespace Qt::Literals::StringLiterals;

static mode_t permissionsOf(const QString &path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class TestPreferenceStore : public QObject {
    Q_OBJECT

private slots:
    // Private from its creation, in folders made for it, and after every rewrite; each change reaches the
    // file at once (the command-line client reads it); a second store on it (the next launch) sees it all.
    void stringsReachAPrivateFileAtOnce()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"nested/folder/prefs.conf"_s);
        auto store = PreferenceStore::openFile(path);
        QCOMPARE(permissionsOf(path), mode_t(0600));
        const QString nickname = u"bob, the \"builder\" = 1; [x]"_s;
        QCOMPARE(store->string(u"auth.email"_s), std::nullopt);
        store->setString(u"auth.email"_s, QString());
        store->setString(u"auth.nickname"_s, nickname);
        store->setString(u"routingMode"_s, u"smart"_s);
        QVERIFY(TestEnvironment::contentOf(path).contains("routingMode=smart"));
        store->remove(u"routingMode"_s);
        QVERIFY(!TestEnvironment::contentOf(path).contains("routingMode"));
        QCOMPARE(permissionsOf(path), mode_t(0600));
        store.reset();
        auto reopened = PreferenceStore::openFile(path);
        QCOMPARE(reopened->string(u"auth.email"_s), std::optional(QString()));
        QCOMPARE(reopened->string(u"auth.nickname"_s), std::optional(nickname));
        QCOMPARE(reopened->string(u"routingMode"_s), std::nullopt);
    }

    // A file that was there is made private, and what it holds is read as text; a list is no string. An
    // INI file cannot tell a number from text: it is read back as the text it holds.
    void anExistingFileIsTightenedAndReadAsText()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"prefs.conf"_s);
        QVERIFY(TestEnvironment::writeFile(path, "[General]\nappLanguage=ru\nroutingMode=smart, safe\nport=42\n",
                                           QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
        auto store = PreferenceStore::openFile(path);
        QCOMPARE(permissionsOf(path), mode_t(0600));
        QCOMPARE(store->string(u"appLanguage"_s), std::optional(u"ru"_s));
        QCOMPARE(store->string(u"routingMode"_s), std::nullopt);
        QCOMPARE(store->string(u"port"_s), std::optional(u"42"_s));
    }

    void usableFromSeveralThreads()
    {
        QTemporaryDir dir;
        auto store = PreferenceStore::openFile(dir.filePath(u"prefs.conf"_s));
        {
            std::vector<std::jthread> threads; // joined as they go
            for (int t = 0; t < 4; ++t) {
                threads.emplace_back([store, t] {
                    for (int i = 0; i < 50; ++i) {
                        store->setString(u"key%1"_s.arg(t), QString::number(i));
                        (void)store->string(u"key%1"_s.arg((t + 1) % 4));
                    }
                });
            }
        }
        for (int t = 0; t < 4; ++t)
            QCOMPARE(store->string(u"key%1"_s.arg(t)), std::optional(u"49"_s));
    }
};

QTEST_GUILESS_MAIN(TestPreferenceStore)
#include "tst_preferencestore.moc"
