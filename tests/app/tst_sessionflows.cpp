#include "RecordingPrivilegedRunner.h"
#include "ScriptedServer.h"
#include "ServiceFixture.h"
#include "TestEnvironment.h"
#include "TunnelFixture.h"
#include "i18n/LanguageManager.h"
#include "platform/PreferenceStore.h"
#include "platform/SystemInfo.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using Screen = AppViewModel::Screen;

// The session flows against the local service over loopback: real requests, real token rotation.
class TestSessionFlows : public QObject {
    Q_OBJECT

private:
    static int count(ServiceFixture &fixture, const char *path)
    {
        return fixture.service ? fixture.service->requestCount(QLatin1String(path)) : -1;
    }

    static void store(ServiceFixture &fixture, const AuthResponse &auth)
    {
        TokenStore(fixture.env.preferences)
            .save(auth.accessToken, auth.refreshToken, auth.user.email, auth.user.nickname);
    }

private slots:
    void initTestCase() { TestEnvironment::useTemporaryLanguageStore(); }

    void freshSignInShowsHomeWithTheSubscription()
    {
        ServiceFixture fixture;
        auto vm = fixture.launch();
        QSignalSpy loading(vm.get(), &AppViewModel::authLoadingChanged);
        vm->login(fixture.service->activeDemoAccount().email, fixture.service->activeDemoAccount().password);
        QCOMPARE(vm->authLoading(), true);
        QCOMPARE(vm->screen(), Screen::Login); // nothing changes before the service answers
        QTRY_COMPARE(vm->screen(), Screen::Home);
        QVERIFY(!vm->authLoading() && !vm->authError() && vm->subscriptionPlan() && vm->subscriptionExpiry());
        QCOMPARE((QList{vm->userEmail(), vm->userNickname(), vm->subscriptionStatus()}),
                 (QList<std::optional<QString>>{QStringLiteral("demo@nimbrel.test"), QStringLiteral("Demo"),
                                                QStringLiteral("ACTIVE")}));
        const TokenStore::TokenData stored = vm->tokenStore().load();
        QCOMPARE((QList{stored.accessToken, stored.refreshToken, stored.email}),
                 (QList{vm->accessToken(), vm->refreshToken(), vm->userEmail()}));
        // An active subscription loads the node list.
        QTRY_VERIFY(!vm->nodes().isEmpty());
        QVERIFY(!vm->psk().isEmpty());
        QCOMPARE(count(fixture, "/api/auth/refresh"), 0);
    }

    // A stored session opens the home screen with the stored user before the service answers; without a
    // network it still does, says the account could not be loaded and lists no nodes; half a session is
    // not restored and sends nothing.
    void aStoredSessionIsRestoredAtStart_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("online");
        QTest::newRow("complete") << "complete" << true;
        QTest::newRow("complete, offline") << "complete" << false;
        QTest::newRow("an access token alone") << "access" << true;
    }
    void aStoredSessionIsRestoredAtStart()
    {
        QFETCH(QString, stored);
        QFETCH(bool, online);
        ServiceFixture fixture;
        const bool complete = stored == QLatin1String("complete");
        if (complete)
            store(fixture, fixture.signInDirectly(fixture.service->activeDemoAccount()));
        else
            fixture.env.preferences->setString(TokenStore::accessTokenKey, QStringLiteral("only-access"));
        if (!online)
            fixture.stopService();
        auto vm = fixture.launch();
        QSignalSpy failed(vm.get(), &AppViewModel::userDataFailed);
        QCOMPARE(count(fixture, "/api/user/me"), online ? 0 : -1); // construction sends nothing
        vm->tryAutoLogin();
        QCOMPARE(vm->authLoading(), false);
        QCOMPARE(vm->userEmail(), complete ? std::optional(QStringLiteral("demo@nimbrel.test")) : std::nullopt);
        if (!complete) {
            QVERIFY(!QTest::qWaitFor([&] { return count(fixture, "/api/user/me") > 0; }, 50));
            QCOMPARE(vm->accessToken(), std::nullopt);
            QCOMPARE(vm->tokenStore().load().accessToken, std::optional(QStringLiteral("only-access")));
            return;
        }
        QTRY_COMPARE(vm->screen(), Screen::Home);
        QCOMPARE(failed.count(), online ? 0 : 1);
        QVERIFY(vm->accessToken().has_value());
        QCOMPARE(count(fixture, "/api/user/me"), online ? 1 : -1);
        QCOMPARE(count(fixture, "/api/auth/refresh"), online ? 0 : -1);
        QTRY_VERIFY(!vm->nodesLoading());
        QCOMPARE(vm->nodes().isEmpty(), !online);
    }

    // Signed out while an answer is on its way: the account's brings back neither the home screen nor the
    // subscription; a renewal's new tokens are not taken (the next launch would sign the user back in),
    // and the session does not end a second time.
    void anAnswerArrivingAfterSignOutIsDropped_data()
    {
        QTest::addColumn<QString>("held");
        QTest::newRow("the account") << "/api/user/me";
        QTest::newRow("a renewal") << "/api/auth/refresh";
    }
    void anAnswerArrivingAfterSignOutIsDropped()
    {
        QFETCH(QString, held);
        ScriptedServer server;
        server.answerWith(401, R"({"message":"expired"})");
        server.holdAnswersTo(held);
        ServiceFixture fixture;
        fixture.baseUrl = server.baseUrl();
        TokenStore(fixture.env.preferences)
            .save(QStringLiteral("a"), QStringLiteral("r"), QStringLiteral("demo@nimbrel.test"), std::nullopt);
        auto vm = fixture.launch();
        QSignalSpy ended(&vm->session(), &Session::ended);
        vm->tryAutoLogin();
        QTRY_VERIFY(!server.received().isEmpty() && server.last().path == held);
        vm->logout();
        QTRY_COMPARE(ended.count(), 1);
        server.answerWith(200, R"({"user":{"id":"u1","email":"demo@nimbrel.test"},"accessToken":"new",)"
                               R"("refreshToken":"new-r","subscription":{"status":"ACTIVE"}})");
        server.releaseHeld();
        QTest::qWait(100); // for the held answer to be delivered
        QCOMPARE(vm->screen(), Screen::Login);
        QCOMPARE((QList{vm->subscriptionStatus(), vm->accessToken(), vm->tokenStore().load().accessToken}),
                 (QList<std::optional<QString>>{std::nullopt, std::nullopt, std::nullopt}));
        QCOMPARE(ended.count(), 1);
        QCOMPARE(server.received().last().path, QStringLiteral("/api/auth/logout")); // no list, no repetition
    }

    void expiredAccessTokenIsRenewedOnce()
    {
        ServiceFixture fixture;
        const AuthResponse old = fixture.signInDirectly(fixture.service->activeDemoAccount());
        store(fixture, old);
        fixture.service->expireAccessTokens();
        fixture.service->setSubscription(QStringLiteral("demo@nimbrel.test"),
                                         SubscriptionInfo{QStringLiteral("EXPIRED"), std::nullopt, std::nullopt});
        auto session = fixture.session();
        QSignalSpy loaded(session.get(), &Session::accountLoaded);
        session->tryAutoLogin();
        QTRY_COMPARE(loaded.count(), 1);
        QCOMPARE(count(fixture, "/api/auth/refresh"), 1);
        QCOMPARE(count(fixture, "/api/user/me"), 2);
        QVERIFY(session->accessToken() != std::optional(old.accessToken));
        QVERIFY(session->refreshToken() != std::optional(old.refreshToken));
        const TokenStore::TokenData stored = session->tokenStore().load();
        QCOMPARE(stored.accessToken, session->accessToken());
        QCOMPARE(stored.refreshToken, session->refreshToken());
        QCOMPARE(session->subscriptionStatus(), std::optional(QStringLiteral("EXPIRED")));
        QVERIFY(!session->subscriptionActive());
    }

    // Stale tokens (the renewal fails) or tokens the service refuses even when new (the repetition
    // fails): the session ends without a message, forced, and the store is empty; the renewal is tried
    // once, never again for the repetition.
    void refusedTokensEndTheSessionSilently_data()
    {
        QTest::addColumn<bool>("stale");
        QTest::addColumn<int>("accountAsks");
        QTest::newRow("stale tokens") << true << 1;
        QTest::newRow("every token refused") << false << 2;
    }
    void refusedTokensEndTheSessionSilently()
    {
        QFETCH(bool, stale);
        QFETCH(int, accountAsks);
        ServiceFixture fixture;
        if (stale)
            TokenStore(fixture.env.preferences)
                .save(QStringLiteral("stale-access"), QStringLiteral("stale-refresh"), QStringLiteral("a@b.c"),
                      QStringLiteral("nick"));
        else
            store(fixture, fixture.signInDirectly(fixture.service->activeDemoAccount()));
        auto session = fixture.session();
        session->login(QStringLiteral("a@b.c"), QStringLiteral("wrong password"));
        QTRY_VERIFY(session->authError().has_value());
        const std::optional<QString> error = session->authError();
        fixture.service->setRejectAllAccessTokens(!stale);
        QSignalSpy ended(session.get(), &Session::ended);
        session->tryAutoLogin();
        QTRY_COMPARE(ended.count(), 1);
        QCOMPARE(ended.first().first().toBool(), true); // forced
        QCOMPARE(count(fixture, "/api/auth/refresh"), 1);
        QCOMPARE(count(fixture, "/api/user/me"), accountAsks);
        for (const std::optional<QString> &field : {session->accessToken(), session->email(), session->nickname()})
            QCOMPARE(field, std::nullopt);
        QCOMPARE(session->authError(), error); // untouched
        const TokenStore::TokenData kept = session->tokenStore().load();
        QVERIFY(!kept.accessToken && !kept.refreshToken && !kept.email && !kept.nickname);
    }

    // The service's own message, or the transport's when it cannot be reached; the next attempt clears
    // the old error at once.
    void aFailedSignInSaysWhy_data()
    {
        QTest::addColumn<bool>("online");
        QTest::newRow("wrong password") << true;
        QTest::newRow("service unreachable") << false;
    }
    void aFailedSignInSaysWhy()
    {
        QFETCH(bool, online);
        ServiceFixture fixture;
        if (!online)
            fixture.stopService();
        auto vm = fixture.launch();
        vm->login(QStringLiteral("demo@nimbrel.test"), QStringLiteral("wrong-password"));
        QTRY_COMPARE(vm->authLoading(), false);
        QVERIFY(vm->authError().has_value() && !vm->authError()->isEmpty());
        if (online)
            QCOMPARE(vm->authError(), std::optional(QStringLiteral("Invalid e-mail or password")));
        QCOMPARE(vm->screen(), Screen::Login);
        QCOMPARE(vm->tokenStore().load().accessToken, std::nullopt);
        vm->login(QStringLiteral("demo@nimbrel.test"), QStringLiteral("nimbrel-demo"));
        QCOMPARE(vm->authError(), std::nullopt);
        if (online)
            QTRY_COMPARE(vm->screen(), Screen::Home);
    }

    void subscriptionDecidesTheNodeLoad_data()
    {
        QTest::addColumn<QVariant>("status"); // invalid: no subscription
        QTest::newRow("none") << QVariant();
        QTest::newRow("lower-case active") << QVariant(QStringLiteral("active"));
        QTest::newRow("expired") << QVariant(QStringLiteral("EXPIRED"));
    }

    void subscriptionDecidesTheNodeLoad()
    {
        QFETCH(QVariant, status);
        ServiceFixture fixture;
        std::optional<SubscriptionInfo> subscription;
        if (status.isValid())
            subscription = SubscriptionInfo{status.toString(), QStringLiteral("Plan"), std::nullopt};
        fixture.service->setSubscription(QStringLiteral("demo@nimbrel.test"), subscription);
        auto vm = fixture.launch();
        vm->login(QStringLiteral("demo@nimbrel.test"), QStringLiteral("nimbrel-demo"));
        QTRY_COMPARE(vm->screen(), Screen::Home);
        QCOMPARE(vm->subscriptionStatus(), status.isValid() ? std::optional(status.toString()) : std::nullopt);
        QCOMPARE(vm->subscriptionPlan(), status.isValid() ? std::optional(QStringLiteral("Plan")) : std::nullopt);
        QCOMPARE(vm->nodesLoading(), false);
        QCOMPARE(count(fixture, "/api/nodes"), 0);
        QVERIFY(vm->nodes().isEmpty());
    }

    // Signing out revokes the tokens, or, offline, still ends the session: every field of it is empty,
    // in memory and in the store, and the sign-in screen shows once the request has ended.
    void signOutEndsTheSession_data()
    {
        QTest::addColumn<bool>("online");
        QTest::newRow("online") << true;
        QTest::newRow("offline") << false;
    }
    void signOutEndsTheSession()
    {
        QFETCH(bool, online);
        ServiceFixture fixture;
        auto vm = fixture.launch();
        vm->login(QStringLiteral("demo@nimbrel.test"), QStringLiteral("nimbrel-demo"));
        QTRY_VERIFY(!vm->nodes().isEmpty());
        const QString refresh = *vm->refreshToken();
        if (!online)
            fixture.stopService();
        vm->logout();
        QCOMPARE(vm->screen(), Screen::Home); // stays until the request has ended
        QTRY_COMPARE(vm->screen(), Screen::Login);
        for (const std::optional<QString> &field :
             {vm->accessToken(), vm->refreshToken(), vm->userEmail(), vm->userNickname(), vm->subscriptionStatus(),
              vm->subscriptionPlan(), vm->subscriptionExpiry(), vm->cachedNodeVersion()})
            QCOMPARE(field, std::nullopt);
        QCOMPARE(vm->rememberedNodeId(), std::nullopt);
        QCOMPARE(vm->vpnStatus(), QStringLiteral("Disconnected"));
        QVERIFY(vm->nodes().isEmpty());
        QCOMPARE(vm->psk(), QString());
        QCOMPARE(vm->tokenStore().load().accessToken, std::nullopt);
        if (!online)
            return;
        QCOMPARE(count(fixture, "/api/auth/logout"), 1);
        const ApiService api({&fixture.network, fixture.baseUrl, std::chrono::seconds(5), 1 << 24});
        QCOMPARE(QCoro::waitFor(api.refreshTokens(refresh)).error().code, 401); // revoked
    }

    // Signing out leaves no tunnel behind: a start under way (here waiting in the administrator's dialog)
    // or a connected tunnel is stopped. A forced sign-out (the service refusing the tokens, perhaps over a
    // network blip) stops only a start under way, which would come up on the sign-in screen; a connected
    // tunnel stays up, status and all.
    void theTunnelAtSignOut_data()
    {
        QTest::addColumn<bool>("forced");
        QTest::addColumn<bool>("connected");
        QTest::newRow("signed out, starting") << false << false;
        QTest::newRow("signed out, connected") << false << true;
        QTest::newRow("forced, starting") << true << false;
        QTest::newRow("forced, connected") << true << true;
    }
    void theTunnelAtSignOut()
    {
        QFETCH(bool, forced);
        QFETCH(bool, connected);
        DevService service(DevService::Options{});
        QVERIFY(service.listen());
        QNetworkAccessManager network;
        TunnelFixture fixture(QStringLiteral("normal"), std::chrono::milliseconds(10),
                              [&](AppEnvironment &environment) {
                                  environment.apiBaseUrl = service.baseUrl();
                                  environment.network = &network;
                                  environment.nodeSource = {}; // the service's list, through the session
                              });
        AppViewModel &vm = fixture.vm();
        vm.login(service.activeDemoAccount().email, service.activeDemoAccount().password);
        QTRY_VERIFY(vm.screen() == Screen::Home && !vm.nodes().isEmpty());
        if (connected)
            fixture.installRights();
        else
            fixture.prompt->holdOpen();
        vm.vpnConnect();
        QVERIFY(connected ? QTest::qWaitFor([&] { return vm.isConnected(); }) : fixture.prompt->waitUntilShown());
        const qsizetype before = fixture.env.runner->verbs().size();
        if (forced) {
            service.setRejectAllAccessTokens(true); // the next request meets it
            vm.loadNodes();
        } else {
            vm.logout();
        }
        QTRY_COMPARE(vm.screen(), Screen::Login);
        QVERIFY(!vm.isVpnLoading());
        if (forced && connected) {
            QCOMPARE(vm.vpnStatus(), QStringLiteral("Connected"));
            QVERIFY(SystemInfo::isProcessAlive(pid_t(fixture.helperPid())));
            fixture.disconnectAndSettle();
            return;
        }
        QTRY_COMPARE(vm.vpnStatus(), QStringLiteral("Disconnected"));
        QVERIFY(fixture.waitIdle());
        QCOMPARE(fixture.prompt->cancelledCount(), connected ? 0 : 1);
        if (connected) // whatever the control program still runs for us, then the two half-default routes
            QCOMPARE(fixture.env.runner->verbs().mid(before),
                     (QStringList{QStringLiteral("stop"), QStringLiteral("routes")}));
        else
            QVERIFY(fixture.helperRecord().isEmpty());
    }

    void registrationSendsNoEmptyNickname()
    {
        ScriptedServer server;
        server.answerWith(200,
                          R"({"user":{"id":"u9","email":"new@example.org"},"accessToken":"a","refreshToken":"r"})");
        ServiceFixture fixture;
        fixture.baseUrl = server.baseUrl();
        auto session = fixture.session();
        // The address as typed with white space around it; the password exactly as typed.
        session->registerAccount(QStringLiteral(" new@example.org \n"), QStringLiteral(" password "), QString());
        QTRY_VERIFY(!session->authLoading());
        const QJsonObject sent = QJsonDocument::fromJson(server.received().first().body).object();
        QCOMPARE(server.received().first().path, QStringLiteral("/api/auth/register"));
        QCOMPARE(sent.value(QStringLiteral("email")).toString(), QStringLiteral("new@example.org"));
        QCOMPARE(sent.value(QStringLiteral("password")).toString(), QStringLiteral(" password "));
        QCOMPARE(sent.size(), 4);
        QVERIFY(!sent.contains(QStringLiteral("nickname")));
        QCOMPARE(session->nickname(), std::nullopt);

        session->registerAccount(QStringLiteral("new@example.org"), QStringLiteral("password"), QStringLiteral(" "));
        QTRY_COMPARE(session->authLoading(), false);
        const QJsonObject second = QJsonDocument::fromJson(server.received().at(2).body).object();
        QCOMPARE(second.value(QStringLiteral("nickname")).toString(), QStringLiteral(" "));

        session->login(QStringLiteral("\tnew@example.org "), QStringLiteral(" secret "));
        QTRY_COMPARE(session->authLoading(), false);
        const auto &signIn = server.received().at(4);
        QCOMPARE(signIn.path, QStringLiteral("/api/auth/login"));
        const QJsonObject signInSent = QJsonDocument::fromJson(signIn.body).object();
        QCOMPARE(signInSent.value(QStringLiteral("email")).toString(), QStringLiteral("new@example.org"));
        QCOMPARE(signInSent.value(QStringLiteral("password")).toString(), QStringLiteral(" secret "));
    }

    void sessionGoneMidFlightIsHarmless()
    {
        ServiceFixture fixture;
        auto session = fixture.session();
        session->login(QStringLiteral("demo@nimbrel.test"), QStringLiteral("nimbrel-demo"));
        session.reset();
        QTRY_COMPARE(count(fixture, "/api/auth/login"), 1);
        QTest::qWait(50); // for the answer to be delivered to no one
        QCOMPARE(count(fixture, "/api/user/me"), 0);
    }
};

QTEST_GUILESS_MAIN(TestSessionFlows)
#include "tst_sessionflows.moc"
