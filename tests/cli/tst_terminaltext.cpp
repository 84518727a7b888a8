#include "cli/TerminalText.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

// What steers a terminal (C0, DEL, C1, bidirectional controls) becomes U+FFFD, line feeds and tabs kept
// where lines are; JSON keeps every value, with those characters escaped.
class TestTerminalText : public QObject {
    Q_OBJECT

private slots:
    void steeringCharactersAreReplacedOrEscaped()
    {
        const QString hostile = u"a\x1b[2Jb\x07" "c\rd\u202Ee\u2066f\x7fg\x9bh\ti\nj"_s;
        QCOMPARE(TerminalText::safe(hostile),
                 u"a\uFFFD[2Jb\uFFFDc\uFFFDd\uFFFDe\uFFFDf\uFFFDg\uFFFDh\uFFFDi\uFFFDj"_s);
        QCOMPARE(TerminalText::safe(hostile, TerminalText::Lines::Kept),
                 u"a\uFFFD[2Jb\uFFFDc\uFFFDd\uFFFDe\uFFFDf\uFFFDg\uFFFDh\ti\nj"_s);
        QCOMPARE(TerminalText::safe(u"Zürich 東京 🇯🇵 Москва"_s), u"Zürich 東京 🇯🇵 Москва"_s);
        const QByteArray json = QJsonDocument(QJsonObject{{u"name"_s, hostile}}).toJson(QJsonDocument::Compact);
        const QByteArray safe = TerminalText::safeJson(json);
        for (const QByteArray steering : {"\x1b", "\x07", "\r", "\x7f", "\xc2\x9b", "\xe2\x80\xae", "\xe2\x81\xa6"})
            QVERIFY2(!safe.contains(steering), safe.toHex().constData());
        QCOMPARE(QJsonDocument::fromJson(safe)["name"].toString(), hostile);
    }
};

QTEST_GUILESS_MAIN(TestTerminalText)
#include "tst_terminaltext.moc"
