#include "platform/FileTrust.h"

#include <QFile>
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
};

QTEST_GUILESS_MAIN(TestFileTrust)
#include "tst_filetrust.moc"
