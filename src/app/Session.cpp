#include "Session.h"

Session::Session(ApiService api, TokenStore tokens, QObject *parent)
    : QObject(parent)
    , m_api(std::move(api))
    , m_tokens(std::move(tokens))
{}

void Session::setAuthLoading(bool loading)
{
    m_authLoading = loading;
    emit authLoadingChanged();
}

void Session::setAuthError(std::optional<QString> error)
{
    m_authError = std::move(error);
    emit authErrorChanged();
}

void Session::setEmail(std::optional<QString> email)
{
    m_email = std::move(email);
    emit emailChanged();
}

void Session::setNickname(std::optional<QString> nickname)
{
    m_nickname = std::move(nickname);
    emit nicknameChanged();
}

void Session::setSubscription(const std::optional<SubscriptionInfo> &subscription)
{
    m_subscriptionStatus = subscription ? std::optional(subscription->status) : std::nullopt;
    emit subscriptionStatusChanged();
    m_subscriptionPlan = subscription ? subscription->planName : std::nullopt;
    emit subscriptionPlanChanged();
    m_subscriptionExpiry = subscription ? subscription->expiresAt : std::nullopt;
    emit subscriptionExpiryChanged();
}

bool Session::restoreStored()
{
    const TokenStore::TokenData stored = m_tokens.load();
    if (!stored.accessToken || !stored.refreshToken)
        return false;
    m_accessToken = stored.accessToken;
    m_refreshToken = stored.refreshToken;
    setEmail(stored.email);
    setNickname(stored.nickname);
    return true;
}

void Session::tryAutoLogin()
{
    if (restoreStored())
        loadUserData();
}

void Session::login(const QString &email, const QString &password)
{
    setAuthLoading(true);
    setAuthError(std::nullopt);
    signIn([email = email.trimmed(), password](const ApiService &api) { return api.login(email, password); });
}

void Session::registerAccount(const QString &email, const QString &password, const QString &nickname)
{
    setAuthLoading(true);
    setAuthError(std::nullopt);
    std::optional<QString> sentNickname = nickname.isEmpty() ? std::nullopt : std::optional(nickname);
    signIn([email = email.trimmed(), password, sentNickname](const ApiService &api) {
        return api.registerAccount(email, password, sentNickname);
    });
}

void Session::logout()
{
    signOut();
}

QCoro::Task<> Session::signIn(Send send)
{
    const QPointer<Session> self(this);
    // The request works on a copy of the service: the session may be gone before it answers.
    const ApiService api = m_api;
    auto request = send(api);
    ApiResult<AuthResponse> result = co_await std::move(request);
    if (!self)
        co_return;
    if (!result) {
        setAuthError(result.error().message);
        setAuthLoading(false);
        co_return;
    }
    applyAuth(result.value());
    auto userData = loadUserData();
    co_await std::move(userData);
    if (self)
        setAuthLoading(false);
}

QCoro::Task<> Session::signOut()
{
    const QPointer<Session> self(this);
    const ApiService api = m_api;
    if (m_accessToken && m_refreshToken) {
        auto request = api.logout(*m_accessToken, *m_refreshToken);
        co_await std::move(request);
        if (!self)
            co_return;
    }
    end(false);
}

QCoro::Task<> Session::loadUserData()
{
    if (!m_accessToken)
        co_return;
    const QPointer<Session> self(this);
    const quint64 generation = m_generation;
    auto request =
        withTokenRefresh<UserMeResponse>([api = m_api](QString token) { return api.getUserMe(std::move(token)); });
    const ApiResult<UserMeResponse> result = co_await std::move(request);
    // An answer for a session that has ended since (signed out, or signed in again) is dropped.
    if (!self || m_generation != generation)
        co_return;
    if (result)
        setSubscription(result.value().subscription);
    else
        emit userDataFailed(result.error().message);
    if (result || m_accessToken)
        emit accountLoaded();
}

void Session::applyAuth(const AuthResponse &auth)
{
    m_accessToken = auth.accessToken;
    m_refreshToken = auth.refreshToken;
    setEmail(auth.user.email);
    setNickname(auth.user.nickname);
    m_tokens.save(auth.accessToken, auth.refreshToken, auth.user.email, auth.user.nickname);
}

void Session::end(bool forced)
{
    m_tokens.clear();
    ++m_generation;
    m_accessToken.reset();
    m_refreshToken.reset();
    setEmail(std::nullopt);
    setNickname(std::nullopt);
    setSubscription(std::nullopt);
    emit ended(forced);
}
