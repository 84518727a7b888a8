#include "platform/FileTrust.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

class TestFileTrust : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString script(const QString &name, mode_t mode)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return {};
        file.write("#!/bin/sh\n");
        file.close();
        ::chmod(QFile::encodeName(path).constData(), mode);
        return path;
    }

private slots:
    void onlyAPrivateRegularFileOfTheOwnerIsTrusted()
    {
        const uid_t me = ::geteuid();
        QVERIFY(FileTrust::isTrustedScript(script(QStringLiteral("ok.sh"), 0644), me));
        QVERIFY(FileTrust::isTrustedScript(script(QStringLiteral("ok-exec.sh"), 0755), me));
        QVERIFY(!FileTrust::isTrustedScript(script(QStringLiteral("group.sh"), 0664), me));
        QVERIFY(!FileTrust::isTrustedScript(script(QStringLiteral("world.sh"), 0646), me));
        QVERIFY(!FileTrust::isTrustedScript(script(QStringLiteral("other-owner.sh"), 0644), me + 1));
        QVERIFY(!FileTrust::isTrustedScript(m_dir.filePath(QStringLiteral("missing.sh")), me));
    }

    void linksFifosAndFoldersAreNotTrusted()
    {
        const uid_t me = ::geteuid();
        const QString target = script(QStringLiteral("target.sh"), 0644);
        const QString link = m_dir.filePath(QStringLiteral("link.sh"));
        QVERIFY(QFile::link(target, link));
        QVERIFY(!FileTrust::isTrustedScript(link, me));

        const QString fifo = m_dir.filePath(QStringLiteral("fifo.sh"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QVERIFY(!FileTrust::isTrustedScript(fifo, me));

        const QString folder = m_dir.filePath(QStringLiteral("folder.sh"));
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(!FileTrust::isTrustedScript(folder, me));
    }

    // A program is trusted at its canonical path only when nobody but root and the user can change it
    // or the folders above it.
    void programsAreTrustedOnlyInPlacesNobodyElseCanChange()
    {
        const uid_t me = ::geteuid();
        QTemporaryDir base;
        ::chmod(QFile::encodeName(base.path()).constData(), 0700);
        const auto make = [&](const QString &relative, mode_t mode) {
            const QString path = base.filePath(relative);
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.close();
            ::chmod(QFile::encodeName(path).constData(), mode);
            return path;
        };
        const QString own = make(QStringLiteral("ok/helper"), 0755);
        QCOMPARE(FileTrust::trustedProgram(own, me), std::optional(QFileInfo(own).canonicalFilePath()));
        QCOMPARE(FileTrust::trustedProgram(QStringLiteral("ok/../ok/helper"), me, base.path()),
                 std::optional(QFileInfo(own).canonicalFilePath()));
        QVERIFY(QFile::link(own, base.filePath(QStringLiteral("link"))));
        QCOMPARE(FileTrust::trustedProgram(base.filePath(QStringLiteral("link")), me),
                 std::optional(QFileInfo(own).canonicalFilePath()));

        QVERIFY(!FileTrust::trustedProgram(make(QStringLiteral("group-writable"), 0775), me));
        QVERIFY(!FileTrust::trustedProgram(make(QStringLiteral("world-writable"), 0757), me));
        if (me != 0)
            QVERIFY(!FileTrust::trustedProgram(own, me + 1)); // the file of a user other than root
        QVERIFY(!FileTrust::trustedProgram(base.filePath(QStringLiteral("missing")), me));
        QVERIFY(!FileTrust::trustedProgram(QString(), me));
        const QString inOpenFolder = make(QStringLiteral("open/helper"), 0755);
        ::chmod(QFile::encodeName(base.filePath(QStringLiteral("open"))).constData(), 0777);
        QVERIFY(!FileTrust::trustedProgram(inOpenFolder, me));
        // Sticky helps only in root's folder (such as /tmp): nobody else can then replace the file.
        ::chmod(QFile::encodeName(base.filePath(QStringLiteral("open"))).constData(), 01777);
        QCOMPARE(FileTrust::trustedProgram(inOpenFolder, me).has_value(), me == 0);
    }

    void rootOnlyFoldersAreRootsAllTheWayUp()
    {
        QVERIFY(FileTrust::isRootOnlyFolder(QStringLiteral("/usr/lib")));
        QVERIFY(FileTrust::isRootOnlyFolder(QStringLiteral("/usr/lib/nimbrel-not-there/nor-this")));
        QVERIFY(!FileTrust::isRootOnlyFolder(QStringLiteral("usr/lib")));
        QVERIFY(!FileTrust::isRootOnlyFolder(QStringLiteral("/tmp/nimbrel-not-there"))); // anybody writes /tmp
        QVERIFY(!FileTrust::isRootOnlyFolder(m_dir.path()));
    }
};

QTEST_GUILESS_MAIN(TestFileTrust)
#include "tst_filetrust.moc"
