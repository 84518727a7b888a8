#pragma once

#include "TokenStore.h"
#include "api/ApiService.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>

// The signed-in session: its tokens, the user, the subscription and the state of a sign-in under way.
// It alone writes them; every observed field notifies on every assignment. Each operation starts its
// work and returns at once; the awaited flows check after every wait that the session still exists.
class Session : public QObject {
    Q_OBJECT

public:
    Session(ApiService api, TokenStore tokens, QObject *parent = nullptr);

    const ApiService &api() const { return m_api; }
    const TokenStore &tokenStore() const { return m_tokens; }

    bool authLoading() const { return m_authLoading; }
    const std::optional<QString> &authError() const { return m_authError; }
    const std::optional<QString> &email() const { return m_email; }
    const std::optional<QString> &nickname() const { return m_nickname; }
    const std::optional<QString> &subscriptionStatus() const { return m_subscriptionStatus; }
    // The service's status is exactly "ACTIVE": nodes are listed and a tunnel may be started.
    bool subscriptionActive() const { return m_subscriptionStatus == QLatin1String("ACTIVE"); }
    const std::optional<QString> &subscriptionPlan() const { return m_subscriptionPlan; }
    const std::optional<QString> &subscriptionExpiry() const { return m_subscriptionExpiry; }
    const std::optional<QString> &accessToken() const { return m_accessToken; }
    const std::optional<QString> &refreshToken() const { return m_refreshToken; }
    // Grows each time the session ends, so late answers for an ended session can be told.
    quint64 generation() const { return m_generation; }

    // Takes the stored tokens and user into memory without asking the service. False when no complete
    // session is stored.
    bool restoreStored();
    // restoreStored, then the account's load.
    void tryAutoLogin();
    // The e-mail address is sent trimmed; the password and the nickname exactly as typed; an empty
    // nickname is sent as none.
    void login(const QString &email, const QString &password);
    void registerAccount(const QString &email, const QString &password, const QString &nickname);
    // Tells the service (when signed in), then ends the session.
    void logout();
    void clearAuthError() { setAuthError(std::nullopt); }
    // Asks for the user and the subscription; accountLoaded tells that the session goes on.
    QCoro::Task<> loadUserData();

    // Runs call with the current access token; on a 401 renews the tokens once and repeats the call once.
    // A 401 without a refresh token, a failed renewal or a failed repetition ends the session (forced).
    // An answer that comes after the session it was made for has ended changes nothing.
    template <typename T>
    QCoro::Task<ApiResult<T>> withTokenRefresh(std::function<QCoro::Task<ApiResult<T>>(QString)> call);

signals:
    void authLoadingChanged();
    void authErrorChanged();
    void emailChanged();
    void nicknameChanged();
    void subscriptionStatusChanged();
    void subscriptionPlanChanged();
    void subscriptionExpiryChanged();
    // The account's load has ended and the session goes on (with or without the account's data).
    void accountLoaded();
    // Loading the account failed (the session may go on).
    void userDataFailed(const QString &message);
    // The session has ended and its fields are empty: signed out by the user, or forced by the service
    // refusing the tokens.
    void ended(bool forced);

private:
    void setAuthLoading(bool loading);
    void setAuthError(std::optional<QString> error);
    void setEmail(std::optional<QString> email);
    void setNickname(std::optional<QString> nickname);
    void setSubscription(const std::optional<SubscriptionInfo> &subscription);
    // Takes the tokens and the user of a sign-in, registration or renewal, in memory and in the store.
    void applyAuth(const AuthResponse &auth);
    // Empties the store and the fields, then tells.
    void end(bool forced);
    using Send = std::function<QCoro::Task<ApiResult<AuthResponse>>(const ApiService &)>;
    QCoro::Task<> signIn(Send send);
    QCoro::Task<> signOut();

    ApiService m_api;
    TokenStore m_tokens;
    quint64 m_generation = 0;
    bool m_authLoading = false;
    std::optional<QString> m_authError;
    std::optional<QString> m_email;
    std::optional<QString> m_nickname;
    std::optional<QString> m_accessToken;
    std::optional<QString> m_refreshToken;
    std::optional<QString> m_subscriptionStatus;
    std::optional<QString> m_subscriptionPlan;
    std::optional<QString> m_subscriptionExpiry;
};

template <typename T>
QCoro::Task<ApiResult<T>> Session::withTokenRefresh(std::function<QCoro::Task<ApiResult<T>>(QString)> call)
{
    if (!m_accessToken)
        co_return ApiError{QStringLiteral("Session"), 401, QStringLiteral("Not signed in")};
    const QPointer<Session> self(this);
    const ApiService api = m_api;
    const quint64 generation = m_generation;
    const auto ended = [&] { return !self || m_generation != generation; };

    // Each awaited call is made into a local first: g++ 12 destroys by-value arguments of a coroutine
    // called inside a co_await expression twice.
    auto firstCall = call(*m_accessToken);
    ApiResult<T> first = co_await std::move(firstCall);
    if (first || first.error().code != 401 || ended())
        co_return first;

    if (!m_refreshToken) {
        end(true);
        co_return first;
    }
    auto renewal = api.refreshTokens(*m_refreshToken);
    const ApiResult<AuthResponse> renewed = co_await std::move(renewal);
    if (ended())
        co_return renewed ? ApiResult<T>(ApiError{QStringLiteral("Session"), 401, QStringLiteral("Signed out")})
                          : renewed.template failure<T>();
    if (!renewed) {
        end(true);
        co_return renewed.template failure<T>();
    }
    const AuthResponse &auth = renewed.value();
    applyAuth(auth);

    auto repeatedCall = call(auth.accessToken);
    ApiResult<T> repeated = co_await std::move(repeatedCall);
    if (!repeated && !ended())
        end(true);
    co_return repeated;
}
