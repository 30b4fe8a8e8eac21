#pragma once

// Where the storage's reports go. Monitor reports carry a level (0 to 8) and a
// numeric code; console lines (preference suites, persistent dictionary) skip
// the monitor and go straight to the console, as those stores sit underneath
// the monitor's own preferences.

#include <cstdint>
#include <string_view>
#include <vector>

#include "analytics/support/MSRLogContext.h"

void MSRStorageLog(int64_t level, int64_t code, std::string_view message,
                   const std::vector<MSRLogContext>& contexts = {});

enum class MSRConsoleSeverity { kWarning, kError };
void MSRStorageConsoleLog(MSRConsoleSeverity severity, int64_t code, std::string_view message);
