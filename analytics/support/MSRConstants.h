#pragma once

#include <cstdint>

// Names the analytics engine uses for itself. The reverse-domain root prefixes
// the error domain, the monitor's preference suite and the console subsystem,
// so that every trace of the engine can be told apart from the application's.
inline constexpr const char* kMSRReverseDomainRoot = "app.calvaro.analytics";

// The engine's version text and its number (the text without its last three
// characters), which enters every health-monitor key.
inline constexpr const char* kMSRLibraryVersionText = "110100000";
inline constexpr int64_t kMSRLibraryVersion = 110100;
