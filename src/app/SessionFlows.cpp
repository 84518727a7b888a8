#include "SessionFlows.h"

QCoro::Task<> SessionFlows::finishSignIn(QPointer<AppViewModel> vm, ApiResult<AuthResponse> result)
{
    if (!vm)
        co_return;
    if (!result) {
        vm->setAuthError(result.error().message);
        vm->setAuthLoading(false);
        co_return;
    }
    applyAuth(*vm, result.value());
    auto userData = loadUserData(vm);
    co_await std::move(userData);
    if (vm)
        vm->setAuthLoading(false);
}

void SessionFlows::applyAuth(AppViewModel &vm, const AuthResponse &auth)
{
    vm.setAccessToken(auth.accessToken);
    vm.setRefreshToken(auth.refreshToken);
    vm.setUserEmail(auth.user.email);
    vm.setUserNickname(auth.user.nickname);
    vm.tokenStore().save(auth.accessToken, auth.refreshToken, auth.user.email, auth.user.nickname);
}

void SessionFlows::forcedSignOut(AppViewModel &vm)
{
    // The session may have ended over a network blip: a running tunnel stays up (the tray panel still
    // offers its stop), but a start under way (or to come) would come up on the sign-in screen, so it is
    // stopped.
    if (vm.isVpnLoading() || vm.isReconnecting())
        vm.vpnDisconnect();
    vm.tokenStore().clear();
    vm.resetState();
    vm.setScreen(AppViewModel::Screen::Login);
}

QCoro::Task<> SessionFlows::login(QPointer<AppViewModel> vm, QString email, QString password)
{
    const ApiService api = vm->api();
    auto request = api.login(std::move(email), std::move(password));
    ApiResult<AuthResponse> result = co_await std::move(request);
    auto finish = finishSignIn(vm, std::move(result));
    co_await std::move(finish);
}

QCoro::Task<> SessionFlows::registerAccount(QPointer<AppViewModel> vm, QString email, QString password,
                                            QString nickname)
{
    const ApiService api = vm->api();
    std::optional<QString> sentNickname;
    if (!nickname.isEmpty())
        sentNickname = std::move(nickname);
    auto request = api.registerAccount(std::move(email), std::move(password), std::move(sentNickname));
    ApiResult<AuthResponse> result = co_await std::move(request);
    auto finish = finishSignIn(vm, std::move(result));
    co_await std::move(finish);
}

QCoro::Task<> SessionFlows::logout(QPointer<AppViewModel> vm)
{
    if (vm->accessToken() && vm->refreshToken()) {
        const ApiService api = vm->api();
        auto request = api.logout(*vm->accessToken(), *vm->refreshToken());
        co_await std::move(request);
        if (!vm)
            co_return;
    }
    vm->tokenStore().clear();
    vm->resetState();
    vm->setScreen(AppViewModel::Screen::Login);
}

QCoro::Task<> SessionFlows::loadUserData(QPointer<AppViewModel> vm)
{
    if (!vm || !vm->accessToken())
        co_return;
    const quint64 session = vm->sessionGeneration();
    const ApiService api = vm->api();
    auto request =
        withTokenRefresh<UserMeResponse>(vm, [api](QString token) { return api.getUserMe(std::move(token)); });
    const ApiResult<UserMeResponse> result = co_await std::move(request);
    // An answer for a session that has ended since (signed out, or signed in again) is dropped.
    if (!vm || vm->sessionGeneration() != session)
        co_return;
    if (result) {
        const std::optional<SubscriptionInfo> &subscription = result.value().subscription;
        vm->setSubscriptionStatus(subscription ? std::optional(subscription->status) : std::nullopt);
        vm->setSubscriptionPlan(subscription ? subscription->planName : std::nullopt);
        vm->setSubscriptionExpiry(subscription ? subscription->expiresAt : std::nullopt);
    } else {
        emit vm->userDataFailed(result.error().message);
    }
    if (vm->subscriptionActive())
        vm->loadNodes();
    if (result || vm->accessToken())
        vm->setScreen(AppViewModel::Screen::Home);
}
