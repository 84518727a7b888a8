#pragma once

#include "DevService.h"
#include "TestEnvironment.h"
#include "app/AppViewModel.h"

#include <QNetworkAccessManager>

#include <memory>

// The local service on loopback and a view model wired to it, over a temporary environment.
class ServiceFixture {
public:
    ServiceFixture();
    // Ends requests still in flight first, so the flows awaiting them finish instead of waiting for ever.
    ~ServiceFixture();

    // A new view model on the fixture's environment (a new launch of the app over the same store).
    std::unique_ptr<AppViewModel> launch();
    // The session alone, on the fixture's store and service.
    std::unique_ptr<Session> session();
    // Signs in directly against the service, as an earlier run of the app would have.
    AuthResponse signInDirectly(const DevService::Account &account);
    // Stops the service: requests fail as they would without a network.
    void stopService() { service.reset(); }

    QNetworkAccessManager network;
    TestEnvironment env;
    std::unique_ptr<DevService> service;
    QUrl baseUrl;
};
