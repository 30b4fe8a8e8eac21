#include "analytics/core/MSRComponentRegistry.h"

#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRIdentityInterface.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/core/MSRPrivateSetMembershipClient.h"
#include "analytics/core/MSRScreenViewReporterInterface.h"
#include "analytics/model/MSRPEventEditing.h"

// The neutral defaults, one per collaborator the registry knows.

template <>
std::shared_ptr<MSRMeasurementInterface> MSRNeutralComponent(const MSRComponentContext& context) {
    const MSRMeasurementStartParameters& parameters = context.startParameters;
    MSRMeasurement::initializeSharedInstanceWithAppID(parameters.appID, parameters.isAnalyticsCollectionEnabled,
                                                      parameters.isAnalyticsCollectionDeactivated,
                                                      parameters.safelistedEvents);
    return MSRMeasurement::sharedInstance();
}

template <>
std::shared_ptr<MSRAudience> MSRNeutralComponent(const MSRComponentContext& context) {
    return std::make_shared<MSRAudience>(context.database);
}

// Without a reporter "screen_view" events are dropped and events carry no
// screen parameters.
template <>
std::shared_ptr<MSRScreenViewReporterInterface> MSRNeutralComponent(const MSRComponentContext&) {
    return nullptr;
}

// One for the process: its active experiments travel with every bundle.
template <>
std::shared_ptr<MSREManager> MSRNeutralComponent(const MSRComponentContext&) {
    static const auto instance = std::make_shared<MSREManager>();
    return instance;
}

// Without an interpreter the server's event-editing programs are not run.
template <>
std::shared_ptr<MSRPEventEditing> MSRNeutralComponent(const MSRComponentContext&) {
    return nullptr;
}

// The engine's shared identity, made on first use like every shared instance.
template <>
std::shared_ptr<MSRIdentityInterface> MSRNeutralComponent(const MSRComponentContext&) {
    return MSRIdentity::sharedInstance();
}

// Without another handler the engine makes campaign events of opened links
// itself (MSRDeepLinks).
template <>
std::shared_ptr<MSRDeepLinkHandler> MSRNeutralComponent(const MSRComponentContext&) {
    return nullptr;
}

// The on-device conversion add-on is not linked unless a module registers it.
template <>
std::shared_ptr<MSRPrivateSetMembershipClientClass> MSRNeutralComponent(const MSRComponentContext&) {
    return nullptr;
}
