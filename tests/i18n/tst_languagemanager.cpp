#include "i18n/LanguageManager.h"
#include "i18n/LanguageTranslator.h"
#include "i18n/StringTables.h"
#include "platform/PreferenceStore.h"

#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The English table as the product words it, kept apart from the code under test: key, tab, text.
QList<std::pair<QString, QString>> englishRows()
{
    QFile file(QStringLiteral(ENGLISH_STRINGS_FILE));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", ENGLISH_STRINGS_FILE);
    QList<std::pair<QString, QString>> rows;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.isEmpty() && !line.startsWith('#'))
            rows.append({QString::fromUtf8(line.left(line.indexOf('\t'))),
                         QString::fromUtf8(line.mid(line.indexOf('\t') + 1))});
    }
    return rows;
}

// A text's placeholders in order: "%@" is how the tables write one, and any other "%" sequence would
// be shown as it is.
QStringList placeholdersOf(const QString &text)
{
    static const QRegularExpression placeholder(QStringLiteral("%."));
    QStringList found;
    for (const QRegularExpressionMatch &match : placeholder.globalMatch(text))
        found.append(match.captured());
    return found;
}

} // namespace

class TestLanguageManager : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_storeCount = 0;

    std::shared_ptr<PreferenceStore> freshStore()
    {
        return PreferenceStore::openFile(m_dir.filePath(QStringLiteral("s%1.conf").arg(++m_storeCount)));
    }

private slots:
    // Every key has a text in each of the four languages, with the English text's placeholders in the
    // same order, and no table holds a key the others lack.
    void everyKeyHasATextInEveryLanguage()
    {
        const QStringList &keys = StringTables::keys();
        for (AppLanguage language : AppLanguages::all()) {
            LanguageManager manager(freshStore());
            manager.setLanguage(language);
            QCOMPARE(StringTables::table(language).size(), keys.size());
            for (const QString &key : keys) {
                const QString text = manager.lookup(key).value_or(QString());
                const QString where = AppLanguages::rawValue(language) + QLatin1Char('/') + key;
                QVERIFY2(!text.trimmed().isEmpty(), qPrintable(where));
                QVERIFY2(placeholdersOf(text) == placeholdersOf(StringTables::table(AppLanguage::en).value(key)),
                         qPrintable(where + QStringLiteral(": ") + text));
            }
        }
    }

    void theEnglishTableIsExact()
    {
        QStringList expectedKeys;
        LanguageManager manager(freshStore());
        for (const auto &[key, text] : englishRows()) {
            expectedKeys.append(key);
            QCOMPARE(manager.localized(key), text);
        }
        QCOMPARE(StringTables::keys(), expectedKeys); // the same keys, in the same order
    }

    // The four codes are exact, also as stored; anything else names no language, and a store holding it
    // starts in English and keeps the value until the user picks a language.
    void languageCodesAreExact_data()
    {
        QTest::addColumn<QVariant>("stored"); // invalid: nothing stored
        QTest::addColumn<QString>("code");    // the language it names; empty: none
        QTest::newRow("nothing stored") << QVariant() << "";
        for (const char *code : {"en", "zh-CN", "zh-TW", "ru"})
            QTest::newRow(code) << QVariant(QString::fromLatin1(code)) << code;
        for (const char *other : {"EN", "ZH-CN", "zh", "zh_CN", "fr", "", " en"})
            QTest::newRow(qPrintable(QStringLiteral("'%1'").arg(QLatin1String(other))))
                << QVariant(QString::fromLatin1(other)) << "";
    }
    void languageCodesAreExact()
    {
        QFETCH(QVariant, stored);
        QFETCH(QString, code);
        const std::optional<AppLanguage> language = AppLanguages::fromRawValue(stored.toString());
        QCOMPARE(language ? AppLanguages::rawValue(*language) : QString(), code);
        auto store = freshStore();
        if (stored.isValid())
            store->setString(QStringLiteral("appLanguage"), stored.toString());
        LanguageManager manager(store);
        QCOMPARE(manager.languageCode(), code.isEmpty() ? QStringLiteral("en") : code);
        QCOMPARE(manager.localized(QStringLiteral("vpn_disconnected")),
                 StringTables::table(manager.language()).value(QStringLiteral("vpn_disconnected")));
        QCOMPARE(store->string(QStringLiteral("appLanguage")),
                 stored.isValid() ? std::optional(stored.toString()) : std::nullopt);
    }

    void switchingRemembersAndSwapsBeforeNotifying()
    {
        auto store = freshStore();
        LanguageManager manager(store);
        QStringList seenInSlot;
        connect(&manager, &LanguageManager::languageChanged, this,
                [&] { seenInSlot.append(manager.localized(QStringLiteral("connect_button"))); });
        manager.setLanguage(AppLanguage::ru);
        QCOMPARE(seenInSlot, QStringList{QStringLiteral("Подключить")});
        QCOMPARE(store->string(QStringLiteral("appLanguage")), std::optional(QStringLiteral("ru")));
        // Choosing the current language again repeats the whole switch.
        manager.setLanguage(AppLanguage::ru);
        QCOMPARE(seenInSlot.size(), 2);

        // A relaunch reads it back through a new store on the same file.
        LanguageManager relaunched(PreferenceStore::openFile(store->location()));
        QCOMPARE(relaunched.language(), AppLanguage::ru);
    }

    void unknownCodeFromQmlChangesNothing()
    {
        auto store = freshStore();
        LanguageManager manager(store);
        QSignalSpy changed(&manager, &LanguageManager::languageChanged);
        QVERIFY(!manager.setLanguageCode(QStringLiteral("fr")));
        QVERIFY(manager.setLanguageCode(QStringLiteral("zh-TW")));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(manager.language(), AppLanguage::zhTW);
        QCOMPARE(manager.flag(), QStringLiteral("🇨🇳"));
    }

    void missingKeyShowsTheKey()
    {
        LanguageManager manager(freshStore());
        const QString finished = QStringLiteral("Launch failed: no such file");
        QCOMPARE(manager.localized(finished), finished);
        QCOMPARE(manager.localized(QString()), QString());
        QVERIFY(!manager.lookup(QStringLiteral("not_a_key")).has_value());
    }

    void formatsFillThePlaceholder()
    {
        LanguageManager manager(freshStore());
        QCOMPARE(manager.formatted(QStringLiteral("launch_failed"), QStringLiteral("denied")),
                 QStringLiteral("Launch failed: denied"));
        // The argument is taken as it is, even when it looks like a placeholder itself.
        QCOMPARE(manager.formatted(QStringLiteral("nodes_load_failed"), QStringLiteral("50%@ off")),
                 QStringLiteral("Failed to load nodes: 50%@ off"));
        // A missing key is its own format; it has no placeholder, so the argument is dropped.
        QCOMPARE(manager.formatted(QStringLiteral("no_such_format"), QStringLiteral("x")),
                 QStringLiteral("no_such_format"));
        manager.setLanguage(AppLanguage::zhCN);
        QCOMPARE(manager.formatted(QStringLiteral("expires_format"), QStringLiteral("2025-01-31")),
                 QStringLiteral("到期：2025-01-31"));
        // Several placeholders take their arguments in order; what an argument brings stays as it is.
        manager.setLanguage(AppLanguage::ru);
        QCOMPARE(manager.formatted(QStringLiteral("path_owned_by_other"),
                                   QStringList{QStringLiteral("/tmp/%@"), QStringLiteral("mallory")}),
                 QStringLiteral("/tmp/%@ принадлежит пользователю mallory; удалить его может администратор"));
        QCOMPARE(LanguageManager::fillFormat(QStringLiteral("%@ and %@"), QStringList{QStringLiteral("one")}),
                 QStringLiteral("one and %@"));
    }

    void translatorAnswersOnlyForKeys()
    {
        LanguageManager manager(freshStore());
        manager.setLanguage(AppLanguage::zhCN);
        const LanguageTranslator translator(manager);
        QCOMPARE(translator.translate("Any", "login_button"), QStringLiteral("登录"));
        // Qt's own texts are not keys: an empty answer lets Qt keep its source text.
        QCOMPARE(translator.translate("QPlatformTheme", "Cancel"), QString());
        QCOMPARE(translator.translate("Any", nullptr), QString());
        manager.setLanguage(AppLanguage::en);
        QCOMPARE(translator.translate("Any", "login_button"), QStringLiteral("Login"));
    }
};

QTEST_GUILESS_MAIN(TestLanguageManager)
#include "tst_languagemanager.moc"
