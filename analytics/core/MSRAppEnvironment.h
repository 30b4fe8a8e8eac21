#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "analytics/storage/MSRConfigStore.h"

class MSRRemoteConfig;
namespace foundation {
class Bundle;
}

// Small environment services of the engine: the deferred deep link kept in a
// preference store, the previous hour, and facts about the launch.
inline constexpr const char* kMSRDeepLinkKey = "/zevure/measurement/deep_link";
inline constexpr const char* kMSRDeepLinkTimestampKey = "/zevure/measurement/deep_link_timestamp_seconds";

void MSRStoreDeepLink(MSRConfigStore& store, const std::string& link);
// A link exactly as old as its time to live has not expired.
bool MSRIsStoredDeepLinkExpired(MSRConfigStore& store, double timeToLive);
void MSRClearStoredDeepLink(MSRConfigStore& store);
// Clears the shared preferences' link when it has expired; answers whether it had.
bool MSRClearExpiredDeepLink(MSRRemoteConfig& remoteConfig);
// The start of the hour before the hour that holds `millis`.
int64_t MSRPreviousHourStartMillis(int64_t millis);
// The process environment holds "ActivePrewarm" with a true value.
bool MSRIsActivePrewarm();
// The bundle (the main bundle when null) declares scenes.
bool MSRHasSceneManifest(const foundation::Bundle* bundle = nullptr);
