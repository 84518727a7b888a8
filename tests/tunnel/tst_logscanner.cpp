#include "OtherUser.h"
#include "tunnel/LogScanner.h"
#include "tunnel/TunnelLog.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kMarker = QStringLiteral("VPN 隧道已启动").toUtf8();

LogScanner scanWhole(const QByteArray &text)
{
    LogScanner scanner;
    scanner.feed(text);
    return scanner;
}

} // namespace

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
        QTest::newRow("chinese failure") << QStringLiteral("连接失败\n").toUtf8() << false << true;
        QTest::newRow("Error") << QByteArray("Error: refused") << false << true;
        QTest::newRow("error inside a word") << QByteArray("no_error_here") << false << true;
        QTest::newRow("capitals only") << QByteArray("ERROR ERROR") << false << false;
        QTest::newRow("nothing") << QByteArray("handshake...") << false << false;
        QTest::newRow("malformed bytes around the marker") << "\xff\xfe" + kMarker + "\xc3" << true << false;
        QTest::newRow("marker missing one byte") << kMarker.chopped(1) << false << false;
    }

    void verdicts()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, marker);
        QFETCH(bool, error);
        const LogScanner scanner = scanWhole(text);
        QCOMPARE(scanner.sawMarker(), marker);
        QCOMPARE(scanner.sawError(), error);
    }

    // Every way of cutting the text in two or three pieces gives the verdict of the whole text.
    void anyChunkingGivesTheSameVerdict()
    {
        const QList<QByteArray> texts{"boot\n" + kMarker + "\nerror later", QStringLiteral("x失败y").toUtf8(),
                                      QByteArray("aErrorb"), "ab" + kMarker};
        for (const QByteArray &text : texts) {
            const LogScanner whole = scanWhole(text);
            for (int first = 0; first <= text.size(); ++first) {
                for (int second = first; second <= text.size(); ++second) {
                    LogScanner pieces;
                    pieces.feed(text.left(first));
                    pieces.feed(text.mid(first, second - first));
                    pieces.feed(text.mid(second));
                    QCOMPARE(pieces.sawMarker(), whole.sawMarker());
                    QCOMPARE(pieces.sawError(), whole.sawError());
                }
            }
            LogScanner bytewise;
            for (char byte : text)
                bytewise.feed(QByteArray(1, byte));
            QCOMPARE(bytewise.sawMarker(), whole.sawMarker());
            QCOMPARE(bytewise.sawError(), whole.sawError());
        }
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
        QFile precious(target);
        QVERIFY(precious.open(QIODevice::WriteOnly));
        precious.write("keep me");
        precious.close();
        QVERIFY(QFile::link(target, path));
        FileProblem problem;
        TunnelLog viaLink = TunnelLog::create(path, &problem);
        QVERIFY(viaLink.isValid());
        ::write(viaLink.writeDescriptor(), "helper output", 13);
        QVERIFY(!QFileInfo(path).isSymLink());
        QVERIFY(precious.open(QIODevice::ReadOnly));
        QCOMPARE(precious.readAll(), QByteArray("keep me"));

        // A FIFO is removed, never opened (opening one would block until somebody writes).
        const QString fifo = dir.filePath(QStringLiteral("fifo.log"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0666), 0);
        TunnelLog viaFifo = TunnelLog::create(fifo, &problem);
        QVERIFY(viaFifo.isValid());
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
        TunnelLog blocked = TunnelLog::create(folderPath, &problem);
        QVERIFY(!blocked.isValid());
        QCOMPARE(problem.kind, FileProblem::Kind::notOurs);
    }
};

QTEST_GUILESS_MAIN(TestLogScanner)
#include "tst_logscanner.moc"
