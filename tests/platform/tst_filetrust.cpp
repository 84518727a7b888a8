#include "TestEnvironment.h"
#include "platform/FileTrust.h"
#include "platform/SystemInfo.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

class TestFileTrust : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir; // private to the user, in root's sticky /tmp

    // A file with mode at name in the test's folder, in the folders it needs.
    QString file(const QString &name, mode_t mode)
    {
        const QString path = m_dir.filePath(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (!TestEnvironment::writeFile(path, "#!/bin/sh\n"))
            return {};
        ::chmod(QFile::encodeName(path).constData(), mode);
        return path;
    }

private slots:
    void onlyAPrivateRegularFileOfTheOwnerIsTrusted()
    {
        const uid_t me = ::geteuid();
        QVERIFY(FileTrust::isTrustedScript(file(u"ok.sh"_s, 0644), me));
        QVERIFY(FileTrust::isTrustedScript(file(u"ok-exec.sh"_s, 0755), me));
        QVERIFY(!FileTrust::isTrustedScript(file(u"group.sh"_s, 0664), me));
        QVERIFY(!FileTrust::isTrustedScript(file(u"world.sh"_s, 0646), me));
        QVERIFY(!FileTrust::isTrustedScript(file(u"other-owner.sh"_s, 0644), me + 1));
        QVERIFY(!FileTrust::isTrustedScript(m_dir.filePath(u"missing.sh"_s), me));
        // Neither a link (even to a trusted file), nor a FIFO, nor a folder.
        const QString link = m_dir.filePath(u"link.sh"_s);
        QVERIFY(QFile::link(file(u"target.sh"_s, 0644), link));
        QVERIFY(!FileTrust::isTrustedScript(link, me));
        const QString fifo = m_dir.filePath(u"fifo.sh"_s);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(!FileTrust::isTrustedScript(fifo, me));
        QVERIFY(QDir().mkdir(m_dir.filePath(u"folder.sh"_s)));
        QVERIFY(!FileTrust::isTrustedScript(m_dir.filePath(u"folder.sh"_s), me));
    }

    // A program is trusted at its canonical path only when nobody but root and the user can change it
    // or the folders above it.
    void programsAreTrustedOnlyInPlacesNobodyElseCanChange()
    {
        const uid_t me = ::geteuid();
        const QString own = file(u"ok/helper"_s, 0755);
        const std::optional<QString> canonical = QFileInfo(own).canonicalFilePath();
        QCOMPARE(FileTrust::trustedProgram(own, me), canonical);
        QCOMPARE(FileTrust::trustedProgram(u"ok/../ok/helper"_s, me, m_dir.path()), canonical);
        QVERIFY(QFile::link(own, m_dir.filePath(u"link"_s)));
        QCOMPARE(FileTrust::trustedProgram(m_dir.filePath(u"link"_s), me), canonical);

        QVERIFY(!FileTrust::trustedProgram(file(u"group-writable"_s, 0775), me));
        QVERIFY(!FileTrust::trustedProgram(file(u"world-writable"_s, 0757), me));
        if (me != 0)
            QVERIFY(!FileTrust::trustedProgram(own, me + 1)); // the file of a user other than root
        QVERIFY(!FileTrust::trustedProgram(m_dir.filePath(u"missing"_s), me));
        QVERIFY(!FileTrust::trustedProgram(QString(), me));
        const QString inOpenFolder = file(u"open/helper"_s, 0755);
        const QByteArray openFolder = QFile::encodeName(m_dir.filePath(u"open"_s));
        ::chmod(openFolder.constData(), 0777);
        QVERIFY(!FileTrust::trustedProgram(inOpenFolder, me));
        // Sticky helps only in root's folder (such as /tmp): nobody else can then replace the file.
        ::chmod(openFolder.constData(), 01777);
        QCOMPARE(FileTrust::trustedProgram(inOpenFolder, me).has_value(), me == 0);
    }

    // The folder of the user's own run-time files (the tunnel's lock among them): the session's when it is
    // the user's private folder, else one in the user's cache folder; never a name in /tmp that another
    // user could make first.
    void theRuntimeFolderIsTheUsersOwn_data()
    {
        QTest::addColumn<QString>("session"); // XDG_RUNTIME_DIR
        QTest::addColumn<bool>("used");
        QTest::newRow("the session's, private") << m_dir.path() << true;
        QTest::newRow("none") << QString() << false;
        QTest::newRow("shared") << u"/tmp"_s << false;
        QTest::newRow("relative") << u"run/user"_s << false;
    }

    void theRuntimeFolderIsTheUsersOwn()
    {
#ifdef Q_OS_MACOS
        QSKIP("macOS has a per-user temporary folder of its own");
#endif
        QFETCH(QString, session);
        QFETCH(bool, used);
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        const auto restore =
            qScopeGuard([&] { saved.isNull() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", saved); });
        if (session.isNull())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(session));
        const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
        const QString ofThisHost = cache + u"/nimbrel-run-"_s + QSysInfo::machineHostName();
        QCOMPARE(SystemInfo::privateRuntimeFolder(), used ? session + u"/nimbrel"_s : ofThisHost);
    }

    void rootOnlyFoldersAreRootsAllTheWayUp()
    {
        QVERIFY(FileTrust::isRootOnlyFolder(u"/usr/lib"_s));
        QVERIFY(FileTrust::isRootOnlyFolder(u"/usr/lib/nimbrel-not-there/nor-this"_s));
        QVERIFY(!FileTrust::isRootOnlyFolder(u"usr/lib"_s));
        QVERIFY(!FileTrust::isRootOnlyFolder(u"/tmp/nimbrel-not-there"_s)); // anybody writes /tmp
        QVERIFY(!FileTrust::isRootOnlyFolder(m_dir.path()));
    }
};

QTEST_GUILESS_MAIN(TestFileTrust)
#include "tst_filetrust.moc"
