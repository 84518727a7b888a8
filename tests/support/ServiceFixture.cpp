#include "ServiceFixture.h"

#include <QCoroTask>
#include <QNetworkReply>

ServiceFixture::ServiceFixture()
    : service(std::make_unique<DevService>(DevService::Options{}))
{
    if (!service->listen())
        qFatal("the local service cannot listen");
    baseUrl = service->baseUrl();
}

ServiceFixture::~ServiceFixture()
{
    for (QNetworkReply *reply : network.findChildren<QNetworkReply *>()) {
        if (reply->isRunning())
            reply->abort();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

std::unique_ptr<AppViewModel> ServiceFixture::launch()
{
    AppEnvironment environment = env.environment();
    environment.apiBaseUrl = baseUrl;
    environment.network = &network;
    return std::make_unique<AppViewModel>(environment);
}

std::unique_ptr<Session> ServiceFixture::session()
{
    return std::make_unique<Session>(ApiService({&network, baseUrl, std::chrono::seconds(5), 1 << 24}),
                                     TokenStore(env.preferences));
}

AuthResponse ServiceFixture::signInDirectly(const DevService::Account &account)
{
    const ApiService api({&network, baseUrl, std::chrono::seconds(5), 1 << 24});
    ApiResult<AuthResponse> result = QCoro::waitFor(api.login(account.email, account.password));
    if (!result)
        qFatal("direct sign-in failed: %s", qPrintable(result.error().message));
    return std::move(result).value();
}
