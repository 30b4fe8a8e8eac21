#pragma once

// Short names for the store's error codes, for sources that set them often:
// `using MSRSqliteErrorShorthands::kArgument;` brings one in.

#include <cstdint>

#include "analytics/storage/MSRSqliteStore.h"

namespace MSRSqliteErrorShorthands {

inline constexpr int64_t kArgument = kMSRSqliteErrorBadArgument;
inline constexpr int64_t kState = kMSRSqliteErrorState;
inline constexpr int64_t kDatabase = kMSRSqliteErrorDatabase;
// The same code, where it reports a stored value that could not be read back.
inline constexpr int64_t kConversion = kMSRSqliteErrorDatabase;

}  // namespace MSRSqliteErrorShorthands
