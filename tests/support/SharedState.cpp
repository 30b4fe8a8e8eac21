#include "tests/support/SharedState.h"

#include "analytics/core/DEDIzurarove.h"
#include "analytics/core/MSRAnalytics.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/core/MSRIdentity.h"
#include "analytics/core/MSRMeasurementInterface.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "analytics/support/MSRMonitor.h"
#include "platform/foundation/SharedSlot.h"
#include "platform/host/AdvertisingIdentity.h"
#include "platform/host/DEDApp.h"
#include "platform/store/AdAttribution.h"
#include "platform/store/AdNetwork.h"
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

    // Every shared slot (identifiers, the host app and its components, the
    // component registry's makers, ...) but what a harness installed before
    // calling this to watch the test (the monitor, the event sink); then no
    // engine is made until a test registers one.
    const auto monitor = MSRMonitor::shared();
    auto sink = DEDIzurarove::setEventSink({});
    foundation::resetAllSharedSlots();
    MSRMonitor::setShared(monitor);
    DEDIzurarove::setEventSink(std::move(sink));
    MSRMeasurementInterface::resetForTesting();
    MSRIdentity::resetSharedInstanceForTesting();
    MSRPersistedConfig::setSharedInstance(nullptr);
    MSRConsentSettingsUtil::clearAllSettings();
    MSRAnalytics::resetForTesting();

    host::AdvertisingIdentity::shared().resetForTesting();
    host::DEDApp::resetForTesting();
    store::AdNetwork::shared().resetForTesting();
    store::AdAttribution::shared().resetForTesting();
}
