#include "analytics/reporters/MSRReceiptReading.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "analytics/core/MSRAEU.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRMeasurementComponents.h"
#include "analytics/reporters/MSRReporterSupport.h"
#include "platform/foundation/Bundle.h"
#include "platform/store/AppReceipt.h"

namespace {

constexpr int W = kMSRReceiptPatternWildcard;

enum class FieldKind { Text, OneByte, WebOrder };

struct ItemField {
    int typeLow;
    int tag;
    FieldKind kind;
};

// Tried in this order at every position of an item.
enum FieldIndex {
    kProductID, kTransactionID, kOriginalTransactionID, kExpirationDate, kFreeTrial, kIntroductoryOffer,
    kPurchaseType, kWebOrderLineItemID, kPurchaseDate, kOriginalPurchaseDate, kCancellationDate, kFieldCount
};

constexpr std::array<ItemField, kFieldCount> kFields = {{
    {0xA6, 0x0C, FieldKind::Text},     // 1702 product identifier
    {0xA7, 0x0C, FieldKind::Text},     // 1703 transaction identifier
    {0xA9, 0x0C, FieldKind::Text},     // 1705 original transaction identifier
    {0xAC, 0x16, FieldKind::Text},     // 1708 subscription expiration date
    {0xB1, 0x02, FieldKind::OneByte},  // 1713 free trial
    {0xB7, 0x02, FieldKind::OneByte},  // 1719 introductory offer
    {0xAB, 0x02, FieldKind::OneByte},  // 1707 purchase type
    {0xAF, 0x02, FieldKind::WebOrder}, // 1711 web order line item
    {0xA8, 0x16, FieldKind::Text},     // 1704 purchase date
    {0xAA, 0x16, FieldKind::Text},     // 1706 original purchase date
    {0xB0, 0x16, FieldKind::Text},     // 1712 cancellation date
}};

std::string textOf(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

void setText(MSRInAppPurchaseItem& item, int field, std::string text) {
    switch (field) {
        case kProductID: item.productID = std::move(text); break;
        case kTransactionID: item.transactionID = std::move(text); break;
        case kOriginalTransactionID: item.originalTransactionID = std::move(text); break;
        case kExpirationDate: item.subscriptionExpirationDateIA5String = std::move(text); break;
        case kPurchaseDate: item.purchaseDateIA5String = std::move(text); break;
        case kOriginalPurchaseDate: item.originalPurchaseDateIA5String = std::move(text); break;
        case kCancellationDate: item.cancellationDateIA5String = std::move(text); break;
        default: break;
    }
}

void setOneByte(MSRInAppPurchaseItem& item, int field, uint8_t byte) {
    if (field == kPurchaseType) {
        item.purchaseType = byte;
        return;
    }
    const bool isFreeTrial = field == kFreeTrial;
    if (byte > 1) {
        if (isFreeTrial) {
            MSRReporterLog(5, 39025, "Subdata FT unexpected value", {static_cast<int64_t>(byte)});
        } else {
            MSRReporterLog(5, 39028, "Subdata IO unexpected value", {static_cast<int64_t>(byte)});
        }
        return;
    }
    (isFreeTrial ? item.freeTrial : item.introductoryOffer) = byte == 1;
}

}  // namespace

std::optional<std::vector<uint8_t>> MSRReceiptDataMatchingPattern(std::span<const uint8_t> data,
                                                                  std::span<const int> pattern, int64_t offset) {
    if (offset < 0 || data.empty() || pattern.empty()) return std::nullopt;
    const uint64_t start = static_cast<uint64_t>(offset);
    if (start + pattern.size() >= data.size()) return std::nullopt;
    std::optional<uint8_t> captured;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const uint8_t byte = data[start + i];
        if (pattern[i] == W) {
            captured = byte;
        } else if (pattern[i] != byte) {
            return std::nullopt;
        }
    }
    if (!captured || *captured == 0) return std::nullopt;
    const uint64_t length = *captured;
    const uint64_t begin = start + pattern.size();
    if (begin + length > data.size()) return std::nullopt;
    if (length >= 128) MSRReporterLog(5, 39027, "Data is longer than 127");
    return std::vector<uint8_t>(data.begin() + static_cast<std::ptrdiff_t>(begin),
                                data.begin() + static_cast<std::ptrdiff_t>(begin + length));
}

std::optional<std::vector<uint8_t>> MSRReceiptInAppPurchaseMarker(std::span<const uint8_t> data, int64_t offset) {
    static constexpr std::array<int, 7> kMarker = {0x02, 0x01, 0x11, 0x02, 0x01, W, 0x04};
    return MSRReceiptDataMatchingPattern(data, kMarker, offset);
}

std::optional<std::vector<MSRInAppPurchaseItem>> MSRInAppPurchaseItemsFromReceiptData(std::span<const uint8_t> data) {
    if (data.empty()) return std::nullopt;
    std::vector<MSRInAppPurchaseItem> items;
    std::optional<MSRInAppPurchaseItem> current;
    std::array<bool, kFieldCount> found{};
    int64_t p = 0;
    const int64_t size = static_cast<int64_t>(data.size());
    while (p < size) {
        if (auto marker = MSRReceiptInAppPurchaseMarker(data, p)) {
            if (current && current->productID) items.push_back(std::move(*current));
            current.emplace();
            found.fill(false);
            p += static_cast<int64_t>(marker->size());
        } else if (current) {
            for (int field = 0; field < kFieldCount; ++field) {
                if (found[field]) continue;
                const ItemField& wanted = kFields[field];
                // The last wildcard is the inner element's length.
                const std::array<int, 11> pattern = {0x02, 0x02, 0x06, wanted.typeLow, 0x02, 0x01,
                                                     W,    0x04, W,    wanted.tag,    W};
                std::optional<std::vector<uint8_t>> content = MSRReceiptDataMatchingPattern(data, pattern, p);
                if (!content) continue;
                found[field] = true;
                if (wanted.kind == FieldKind::Text) {
                    setText(*current, field, textOf(*content));
                    p += static_cast<int64_t>(content->size());
                    break;
                }
                if (wanted.kind == FieldKind::WebOrder) {
                    uint64_t value = 0;
                    const size_t from = content->size() > 8 ? content->size() - 8 : 0;
                    for (size_t i = from; i < content->size(); ++i) value = (value << 8) | (*content)[i];
                    if (value != 0) current->webOrderLineItemID = value;
                    p += static_cast<int64_t>(content->size());
                    break;
                }
                if (content->size() == 1) {
                    setOneByte(*current, field, (*content)[0]);
                    p += 1;
                    break;
                }
            }
        }
        p += 1;
    }
    if (current && (items.empty() || !(items.back() == *current))) items.push_back(std::move(*current));
    return items;
}

std::optional<double> MSRDateFromIA5String(const std::string& text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second,
                    &consumed) != 6 || consumed != 19) {
        return std::nullopt;
    }
    int offsetSeconds = 0;
    const std::string zone = text.substr(19);
    if (zone == "Z") {
        offsetSeconds = 0;
    } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
        int hours = 0, minutes = 0;
        if (std::sscanf(zone.c_str() + 1, "%2d:%2d", &hours, &minutes) != 2) return std::nullopt;
        offsetSeconds = (hours * 3600 + minutes * 60) * (zone[0] == '-' ? -1 : 1);
    } else {
        return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    return static_cast<double>(::timegm(&parts) - offsetSeconds);
}

std::string MSRIA5StringFromDate(double date) {
    const std::time_t seconds = static_cast<std::time_t>(std::floor(date));
    std::tm parts{};
    ::gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::optional<std::vector<MSRInAppPurchaseItem>> MSRPurchaseItemsMatching(
    const std::vector<MSRInAppPurchaseItem>& items, const std::optional<std::string>& productID,
    std::optional<double> date) {
    const bool byProduct = productID && !productID->empty();
    if (items.empty() || (!byProduct && !date)) return std::nullopt;
    // Receipt dates are whole seconds; a transaction's date has fractions, so
    // both are compared at whole seconds.
    const std::optional<double> wholeDate = date ? std::optional<double>(std::floor(*date)) : std::nullopt;
    std::vector<std::pair<std::optional<double>, MSRInAppPurchaseItem>> matching;
    for (const MSRInAppPurchaseItem& item : items) {
        std::optional<double> purchased =
            item.purchaseDateIA5String ? MSRDateFromIA5String(*item.purchaseDateIA5String) : std::nullopt;
        if (byProduct && item.productID != productID) continue;
        if (wholeDate && (!purchased || *purchased != *wholeDate)) continue;
        matching.emplace_back(purchased, item);
    }
    std::stable_sort(matching.begin(), matching.end(),
                     [](const auto& a, const auto& b) { return a.first.value_or(0) < b.first.value_or(0); });
    std::vector<MSRInAppPurchaseItem> result;
    for (auto& entry : matching) result.push_back(std::move(entry.second));
    return result;
}

namespace {

bool computeVersionSameAsOriginalVersion() {
    if (MSRAEU::isNOD() || MSRAEU::isASRS()) return true;
    std::optional<std::string> url = MSRAEU::appStoreRURL();
    std::optional<std::vector<uint8_t>> data = url ? store::AppReceipt::read(*url) : std::nullopt;
    if (!data) {
        MSRReporterLog(5, 39002, "Version data is nil");
        return false;
    }
    if (data->empty()) {
        MSRReporterLog(5, 39004, "Version data is empty");
        return false;
    }
    const foundation::Value bundleVersion = foundation::Bundle::main().objectForInfoDictionaryKey("CFBundleVersion");
    return bundleVersion.string() && MSRReceiptOriginalVersionMatches(*data, *bundleVersion.string());
}

}  // namespace

bool MSRReceiptOriginalVersionMatches(std::span<const uint8_t> data, const std::string& bundleVersion) {
    static constexpr std::array<int, 10> kVersion = {0x30, W, 0x02, 0x01, 0x13, 0x02, 0x01, W, 0x04, W};
    std::optional<std::vector<uint8_t>> version;
    for (int64_t p = 0; p < static_cast<int64_t>(data.size()) && !version; ++p) {
        version = MSRReceiptDataMatchingPattern(data, kVersion, p);
    }
    if (!version || version->size() <= 2) {
        MSRReporterLog(5, 39006, "V data is too short. Length", {static_cast<int64_t>(version ? version->size() : 0)});
        return false;
    }
    if ((*version)[0] != 0x0C) MSRReporterLog(5, 39007, "V data byte 0 is wrong. Value", {static_cast<int64_t>((*version)[0])});
    if ((*version)[1] != version->size() - 2) {
        MSRReporterLog(5, 39008, "V data byte 1 is wrong. Value, expected",
                       {static_cast<int64_t>((*version)[1]), static_cast<int64_t>(version->size() - 2)});
    }
    return std::string(version->begin() + 2, version->end()) == bundleVersion;
}

bool MSRIsVersionSameAsOriginalVersion() {
    static const bool same = computeVersionSameAsOriginalVersion();
    return same;
}

namespace {

class MSRReceiptReadingFacts : public MSRReceiptFacts {
public:
    bool isVersionSameAsOriginalVersion() override { return MSRIsVersionSameAsOriginalVersion(); }
};

}  // namespace

void MSRRegisterReceiptReading() {
    MSRComponentRegistry::registerMaker<MSRReceiptFacts>(
        [](const MSRComponentContext&) { return std::make_shared<MSRReceiptReadingFacts>(); });
}
