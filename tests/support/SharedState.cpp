#include "tests/support/SharedState.h"

#include "analytics/core/MSRAnalytics.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRIdentifiers.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRIdentityInterface.h"
#include "analytics/core/MSRMeasurement.h"
#include "analytics/core/MSRMeasurementInterface.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "platform/host/AdvertisingIdentity.h"
#include "platform/host/DEDApp.h"
#include "platform/ui/AppearanceHooks.h"
#include "platform/ui/Application.h"
#include "platform/ui/Storyboard.h"
#include "platform/ui/Traits.h"

void resetSharedState() {
    // The application first: closing its windows may still reach the rest.
    ui::Application::reset();
    ui::resetBuilders();
    ui::AppearanceHooks::reset();
    ui::TraitCollection::reset();

    MSRMeasurementInterface::resetForTesting();
    MSRMeasurement::resetSharedInstanceForTesting();
    MSRIdentityInterface::install(nullptr);
    MSRIdentity::resetSharedInstanceForTesting();
    MSRIdentifiers::resetSharedInstanceForTesting();
    MSRPersistedConfig::setSharedInstance(nullptr);
    MSRConsentSettingsUtil::clearAllSettings();
    MSRAnalytics::resetForTesting();

    host::AdvertisingIdentity::shared().resetForTesting();
    host::DEDApp::resetForTesting();
}
