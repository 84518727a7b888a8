#include "OtherUser.h"
#include "TestEnvironment.h"
#include "tunnel/LogScanner.h"
#include "tunnel/TunnelLog.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

const QByteArray kMarker = QStringLiteral("VPN 隧道已启动").toUtf8();

class TestLogScanner : public QObject {
    Q_OBJECT

private slots:
    void verdicts_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("marker");
        QTest::addColumn<bool>("error");
        QTest::newRow("marker") << "starting\n" + kMarker + "\n" << true << false;
        QTest::newRow("marker and error") << "error: x\n" + kMarker << true << true;
        QTest::newRow("error after the marker") << "boot\n" + kMarker + "\nerror later" << true << true;
        QTest::newRow("chinese failure") << QStringLiteral("连接失败\n").toUtf8() << false << true;
        QTest::newRow("Error") << QByteArray("Error: refused") << false << true;
        QTest::newRow("error inside a word") << QByteArray("no_error_here") << false << true;
        QTest::newRow("capitals only") << QByteArray("ERROR ERROR") << false << false;
        QTest::newRow("nothing") << QByteArray("handshake...") << false << false;
        QTest::newRow("malformed bytes around the marker") << "\xff\xfe" + kMarker + "\xc3" << true << false;
        QTest::newRow("marker missing one byte") << kMarker.chopped(1) << false << false;
    }

    // The same verdict for the whole text (cut at 0 and 0) and however it is cut: in two or three pieces
    // anywhere (inside a marker or a multi-byte character too), or byte by byte.
    void verdicts()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, marker);
        QFETCH(bool, error);
        const auto check = [&](const LogScanner &scanner) {
            return scanner.sawMarker() == marker && scanner.sawError() == error;
        };
        for (int first = 0; first <= text.size(); ++first) {
            for (int second = first; second <= text.size(); ++second) {
                LogScanner pieces;
                pieces.feed(text.left(first));
                pieces.feed(text.mid(first, second - first));
                pieces.feed(text.mid(second));
                QVERIFY2(check(pieces), qPrintable(QStringLiteral("cut at %1 and %2").arg(first).arg(second)));
            }
        }
        LogScanner bytewise;
        for (char byte : text)
            bytewise.feed(QByteArray(1, byte));
        QVERIFY(check(bytewise));
    }

    void logIsReadIncrementallyFromOurOwnFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("fw.log"));
        FileProblem problem;
        TunnelLog log = TunnelLog::create(path, &problem);
        QVERIFY2(log.isValid(), qPrintable(problem.path + problem.detail));
        QCOMPARE(QFile(path).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup),
                 QFileDevice::Permissions());
        ::write(log.writeDescriptor(), "VPN ", 4);
        LogScanner scanner;
        log.readNew(scanner, 1 << 20);
        QCOMPARE(log.offset(), 4);
        // Removed from the folder mid-run: we go on reading the file we created.
        QVERIFY(QFile::remove(path));
        const QByteArray rest = kMarker.mid(4);
        ::write(log.writeDescriptor(), rest.constData(), size_t(rest.size()));
        log.readNew(scanner, 1 << 20);
        QVERIFY(scanner.sawMarker());
        QCOMPARE(log.offset(), kMarker.size());

        // A read is capped; the rest comes with the next one.
        const QByteArray bulk(3000, 'x');
        ::write(log.writeDescriptor(), bulk.constData(), size_t(bulk.size()));
        log.readNew(scanner, 1000);
        QCOMPARE(log.offset(), kMarker.size() + 1000);
    }

    void whatBlocksThePathIsNeverFollowed()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("fw.log"));
        const QString target = dir.filePath(QStringLiteral("precious.txt"));
        QVERIFY(TestEnvironment::writeFile(target, "keep me"));
        QVERIFY(QFile::link(target, path));
        FileProblem problem;
        TunnelLog viaLink = TunnelLog::create(path, &problem);
        QVERIFY(viaLink.isValid());
        ::write(viaLink.writeDescriptor(), "helper output", 13);
        QVERIFY(!QFileInfo(path).isSymLink());
        QCOMPARE(TestEnvironment::contentOf(target), QByteArray("keep me"));

        // A FIFO is removed, never opened (opening one would block until somebody writes).
        const QString fifo = dir.filePath(QStringLiteral("fifo.log"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0666), 0);
        QVERIFY(TunnelLog::create(fifo, &problem).isValid());
        QVERIFY(QFileInfo(fifo).isFile());

        // In a shared sticky folder another user's file cannot be removed: the refusal names its owner.
        if (::geteuid() == 0) {
            QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 01777), 0);
            const QString theirs = dir.filePath(QStringLiteral("theirs.log"));
            QVERIFY(QFile(theirs).open(QIODevice::WriteOnly)); // root's, and we are about to be somebody else
            QVERIFY(OtherUser::run([theirs] {
                FileProblem refusal;
                return !TunnelLog::create(theirs, &refusal).isValid() &&
                       refusal == FileProblem{FileProblem::Kind::ownedByOtherUser, theirs, QStringLiteral("root")};
            }));
            QVERIFY(QFileInfo(theirs).exists());
        }

        const QString folderPath = dir.filePath(QStringLiteral("folder.log"));
        QVERIFY(QDir().mkdir(folderPath));
        QVERIFY(!TunnelLog::create(folderPath, &problem).isValid());
        QCOMPARE(problem.kind, FileProblem::Kind::notOurs);
    }
};

QTEST_GUILESS_MAIN(TestLogScanner)
#include "tst_logscanner.moc"
