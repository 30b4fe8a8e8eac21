#pragma once
// The bounds of the engine's own property-list files (its preference suites,
// the keychain, the persistent dictionary), stated before a start reads any
// (foundation::setStoredFileBound), with the type and bound of every key the
// engine writes there.

#include <cstdint>
#include <string>

#include "platform/foundation/PropertyListCharge.h"

// What Calvaro writes to each of them is under 100 values and 16 KiB (the
// largest, the monitor's sampled report with its context, and the consent
// platform's values copied into the consent snapshot); the bound is about 64
// times that.
inline constexpr foundation::PropertyListBounds kMSREngineFileBound{8192, uint64_t{1} << 20};
inline constexpr uint64_t kMSREngineFiles = 6;

// The collection switch's key in the application's own preferences: the
// user's choice, stated with the user's values there.
std::string MSRMeasurementEnabledStateKey();

void MSRStateStoredFileBounds();
