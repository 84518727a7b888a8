#include "TestEnvironment.h"
#include "app/TokenStore.h"
#include "platform/PreferenceStore.h"

#include <QTest>

class TestTokenStore : public QObject {
    Q_OBJECT

private slots:
    void saveWithoutNicknameRemovesTheOldOne()
    {
        TestEnvironment env;
        const TokenStore store(env.preferences);
        store.save(QStringLiteral("a1"), QStringLiteral("r1"), QStringLiteral("e1"), QStringLiteral("bob"));
        store.save(QStringLiteral("a2"), QStringLiteral("r2"), QStringLiteral("e2"), std::nullopt);
        // Read back through a second store on the same file: what the next launch sees.
        const TokenStore::TokenData data = TokenStore(PreferenceStore::openFile(env.settingsFile())).load();
        QCOMPARE(data.accessToken, std::optional(QStringLiteral("a2")));
        QCOMPARE(data.refreshToken, std::optional(QStringLiteral("r2")));
        QCOMPARE(data.email, std::optional(QStringLiteral("e2")));
        QCOMPARE(data.nickname, std::nullopt);
        QCOMPARE(env.preferences->string(TokenStore::nicknameKey), std::nullopt);
    }

    // Exactly what is stored loads: a missing key as none, an empty string as an empty string.
    void loadsExactlyWhatIsStored()
    {
        TestEnvironment env;
        const TokenStore store(env.preferences);
        env.preferences->setString(TokenStore::accessTokenKey, QStringLiteral("only-access"));
        const TokenStore::TokenData partial = store.load();
        QCOMPARE(partial.accessToken, std::optional(QStringLiteral("only-access")));
        QVERIFY(!partial.refreshToken && !partial.email && !partial.nickname);
        store.save(QString(), QString(), QString(), QString());
        const TokenStore::TokenData data = store.load();
        for (const std::optional<QString> &value : {data.accessToken, data.refreshToken, data.email, data.nickname})
            QCOMPARE(value, std::optional(QString()));
    }

    void clearEmptiesOnlyTheSessionKeys()
    {
        TestEnvironment env;
        const TokenStore store(env.preferences);
        env.preferences->setString(QStringLiteral("appLanguage"), QStringLiteral("ru"));
        store.clear(); // on an empty store: nothing to see
        store.save(QStringLiteral("a"), QStringLiteral("r"), QStringLiteral("e"), QStringLiteral("n"));
        store.clear();
        const TokenStore::TokenData data = store.load();
        QVERIFY(!data.accessToken && !data.refreshToken && !data.email && !data.nickname);
        QCOMPARE(env.preferences->string(QStringLiteral("appLanguage")), std::optional(QStringLiteral("ru")));
    }
};

QTEST_GUILESS_MAIN(TestTokenStore)
#include "tst_tokenstore.moc"
