#pragma once

// Reading the application's receipt without decoding its container: the
// readers scan the raw bytes for the DER patterns of its attribute records
// (a length is read in the short form only). Nothing here is verified; the
// facts serve reporting only.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analytics/reporters/MSRInAppPurchaseItem.h"

// The wildcard of a pattern: matches any byte and captures it.
inline constexpr int kMSRReceiptPatternWildcard = 255;

// The bytes that follow `pattern` at `offset`, as many as its last captured
// byte says; nothing when the pattern does not match there, captures nothing,
// or the length is 0 or reaches past the data.
std::optional<std::vector<uint8_t>> MSRReceiptDataMatchingPattern(std::span<const uint8_t> data,
                                                                  std::span<const int> pattern, int64_t offset);
// The in-app purchase marker (attribute 17) at `offset`.
std::optional<std::vector<uint8_t>> MSRReceiptInAppPurchaseMarker(std::span<const uint8_t> data, int64_t offset);
// The purchase items in file order; nothing for empty data.
std::optional<std::vector<MSRInAppPurchaseItem>> MSRInAppPurchaseItemsFromReceiptData(std::span<const uint8_t> data);
// The items of `productID` and/or purchased at `date` (whole seconds), ascending
// by purchase date; nothing for an empty list or when neither is given.
std::optional<std::vector<MSRInAppPurchaseItem>> MSRPurchaseItemsMatching(
    const std::vector<MSRInAppPurchaseItem>& items, const std::optional<std::string>& productID,
    std::optional<double> date);

// Receipt dates: "yyyy-MM-dd'T'HH:mm:ssZZZZZ" in GMT. Parsing accepts "Z" or a
// +hh:mm offset; formatting drops the fraction of a second.
std::optional<double> MSRDateFromIA5String(const std::string& text);
std::string MSRIA5StringFromDate(double date);

// Whether the receipt's original application version is `bundleVersion`
// (warnings for a malformed record; false when there is none).
bool MSRReceiptOriginalVersionMatches(std::span<const uint8_t> data, const std::string& bundleVersion);
// Whether the installed version is the one first downloaded: the receipt's
// original application version against the bundle version (computed once).
bool MSRIsVersionSameAsOriginalVersion();

// Lets the engine's first-open report ask the receipt whether the installed
// version is the original one (MSRReceiptFacts through the component registry).
void MSRRegisterReceiptReading();
