#pragma once

#include "AppViewModel.h"
#include "api/ApiService.h"

#include <QCoroTask>
#include <QPointer>

#include <functional>

// The awaited flows that open, keep and end the session. Each takes the view model weakly and checks
// it after every wait: the window may be gone by the time the service answers.
struct SessionFlows {
    static QCoro::Task<> login(QPointer<AppViewModel> vm, QString email, QString password);
    static QCoro::Task<> registerAccount(QPointer<AppViewModel> vm, QString email, QString password, QString nickname);
    static QCoro::Task<> logout(QPointer<AppViewModel> vm);
    static QCoro::Task<> loadUserData(QPointer<AppViewModel> vm);

    // Signs out without asking the service: empties the store, wipes the state, shows the sign-in screen.
    static void forcedSignOut(AppViewModel &vm);
    // Takes the tokens and the user of a sign-in, registration or renewal, in memory and in the store.
    static void applyAuth(AppViewModel &vm, const AuthResponse &auth);

    // Runs call with the current access token; on a 401 renews the tokens once and repeats the call once.
    // A 401 without a refresh token, a failed renewal or a failed repetition ends the session.
    template <typename T>
    static QCoro::Task<ApiResult<T>> withTokenRefresh(QPointer<AppViewModel> vm,
                                                      std::function<QCoro::Task<ApiResult<T>>(QString)> call);

private:
    // The common end of a sign-in and a registration.
    static QCoro::Task<> finishSignIn(QPointer<AppViewModel> vm, ApiResult<AuthResponse> result);
};

template <typename T>
QCoro::Task<ApiResult<T>> SessionFlows::withTokenRefresh(QPointer<AppViewModel> vm,
                                                         std::function<QCoro::Task<ApiResult<T>>(QString)> call)
{
    if (!vm || !vm->accessToken())
        co_return ApiError{QStringLiteral("AppViewModel"), 401, QStringLiteral("Not signed in")};
    const ApiService api = vm->api();

    // Each awaited call is made into a local first: g++ 12 destroys by-value arguments of a coroutine
    // called inside a co_await expression twice.
    auto firstCall = call(*vm->accessToken());
    ApiResult<T> first = co_await std::move(firstCall);
    if (first || first.error().code != 401 || !vm)
        co_return first;

    if (!vm->refreshToken()) {
        forcedSignOut(*vm);
        co_return first;
    }
    auto renewal = api.refreshTokens(*vm->refreshToken());
    const ApiResult<AuthResponse> renewed = co_await std::move(renewal);
    if (!vm)
        co_return renewed.template failure<T>();
    if (!renewed) {
        forcedSignOut(*vm);
        co_return renewed.template failure<T>();
    }
    const AuthResponse &auth = renewed.value();
    applyAuth(*vm, auth);

    auto repeatedCall = call(auth.accessToken);
    ApiResult<T> repeated = co_await std::move(repeatedCall);
    if (!repeated && vm)
        forcedSignOut(*vm);
    co_return repeated;
}
