#pragma once

#include "app/AppViewModel.h"

// The view model with its field writers opened, for tests that set up a state no flow has reached yet.
class TestableViewModel : public AppViewModel {
public:
    using AppViewModel::AppViewModel;

    using AppViewModel::resetState;
    using AppViewModel::setAccessToken;
    using AppViewModel::setAuthError;
    using AppViewModel::setAuthLoading;
    using AppViewModel::setRefreshToken;
    using AppViewModel::setScreen;
    using AppViewModel::setSubscriptionExpiry;
    using AppViewModel::setSubscriptionPlan;
    using AppViewModel::setSubscriptionStatus;
    using AppViewModel::setUserEmail;
    using AppViewModel::setUserNickname;
};
