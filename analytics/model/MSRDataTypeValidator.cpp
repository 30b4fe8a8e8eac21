#include "analytics/model/MSRDataTypeValidator.h"

#include "analytics/model/MSRCodePoints.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRRemoteConfig.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <limits>
#include <mutex>

namespace {

constexpr int64_t kNoLimit = std::numeric_limits<int64_t>::max();

std::mutex gRemoteConfigMutex;
std::shared_ptr<MSRRemoteConfig> gRemoteConfig;

const char* label(int type) {
    switch (type) {
        case 0:
            return "Event name";
        case 1:
            return "Event origin";
        case 2:
            return "Event parameter name";
        case 3:
            return "Event parameter value";
        case 4:
            return "User property name";
        case 5:
            return "User property value";
        case 6:
            return "Screen parameter value";
        case 7:
            return "Conditional user property origin";
        case 8:
            return "Conditional user property name";
        case 9:
            return "Conditional user property value";
        default:
            return "Object";
    }
}

bool isValueType(int type) {
    return type == 3 || type == 5;
}

bool fail(int64_t* failureCode, int64_t code) {
    if (failureCode) *failureCode = code;
    return false;
}

void report(int64_t level, int64_t code, const std::string& message,
            std::vector<MSRLogContext> contexts = {}) {
    MSRMonitor::shared()->logWithLevel(level, code, message, contexts);
}

bool isASCIILetter(UChar32 c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Letters are the letter categories only: a combining mark is no letter.
// The ASCII letters are the only letters below 128; every name is checked
// with each event, and most are ASCII.
bool isLetter(UChar32 c) {
    if (c >= 0 && c < 128) return isASCIILetter(c);
    return c >= 0 && (U_GET_GC_MASK(c) & U_GC_L_MASK) != 0;
}

bool isNameCharacter(UChar32 c) {
    if (c >= 0 && c < 128) return c == '_' || isASCIILetter(c) || (c >= '0' && c <= '9');
    return c == '_' || isLetter(c) || (c >= 0 && u_charType(c) == U_DECIMAL_DIGIT_NUMBER);
}

template <typename Test>
bool allCodePoints(std::string_view text, Test&& test) {
    return MSRForEachCodePoint(text, [&](int32_t, int32_t, UChar32 c) { return test(c); });
}

// Every name of every event is checked, and nearly all are plain ASCII: those
// need no decoding. Anything else goes through the code points.
bool allNameCharacters(std::string_view text) {
    for (const char byte : text) {
        const auto c = static_cast<unsigned char>(byte);
        if (c >= 128) return allCodePoints(text, isNameCharacter);
        if (!isNameCharacter(c)) return false;
    }
    return true;
}

UChar32 firstCodePoint(std::string_view text) {
    if (text.empty()) return -1;
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    int32_t i = 0;
    UChar32 c;
    U8_NEXT(s, i, static_cast<int32_t>(text.size()), c);
    return c;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// A text context, or the nil context. Built as a vector: GCC's
// uninitialized-use analysis misreads a conditional context inside a braced list.
std::vector<MSRLogContext> textContext(std::optional<std::string_view> text) {
    std::vector<MSRLogContext> contexts(1);
    if (text) contexts[0] = MSRLogContext(*text);
    return contexts;
}

int64_t maxPublicValueLength() {
    return MSRDataTypeValidator::remoteConfig()->maxPublicEventParameterValueLength();
}

int64_t maxInternalValueLength() {
    return MSRDataTypeValidator::remoteConfig()->maxInternalEventParameterValueLength();
}

// A reserved name or prefix: logged with the name, refused.
bool refuseReserved(std::string_view name, int64_t code, const char* message, int64_t* failureCode) {
    report(0, code, message, {std::string(name)});
    return fail(failureCode, kMSRValidationReserved);
}

}  // namespace

std::shared_ptr<MSRRemoteConfig> MSRDataTypeValidator::remoteConfig() {
    std::lock_guard lock(gRemoteConfigMutex);
    return gRemoteConfig ? gRemoteConfig : MSRRemoteConfig::defaultInstance();
}

void MSRDataTypeValidator::setRemoteConfig(std::shared_ptr<MSRRemoteConfig> remoteConfig) {
    std::lock_guard lock(gRemoteConfigMutex);
    gRemoteConfig = std::move(remoteConfig);
}

bool MSRDataTypeValidator::isValidString(std::string_view text, int64_t minLength, int64_t maxLength,
                                         int type, int64_t* failureCode) {
    if (failureCode) *failureCode = 0;
    const int64_t level = isValueType(type) ? 3 : 0;
    if (text.empty() && minLength >= 1) {
        if (!isValueType(type)) {
            report(level, 13001, std::string(label(type)) + " is required and can't be empty");
        }
        return fail(failureCode, kMSRValidationMissing);
    }
    // A name or value past its bound is refused without being read to its end.
    const int64_t length = msr_UTF32LengthAtMost(text, maxLength);
    if (length > maxLength) {
        report(level, 13000,
               std::string(label(type)) + " is too long. The maximum supported length is " +
                   std::to_string(maxLength),
               {std::string(text)});
        return fail(failureCode, kMSRValidationTooLong);
    }
    if (length < minLength) {
        report(level, 13000,
               std::string(label(type)) + " is too short. The minimum supported length is " +
                   std::to_string(minLength));
        return fail(failureCode, kMSRValidationTooShort);
    }
    return true;
}

bool MSRDataTypeValidator::isValidInternalName(std::string_view name, int64_t maxLength, int type,
                                               int64_t* failureCode) {
    if (!isValidString(name, 1, maxLength, type, failureCode)) return false;
    if (!allNameCharacters(name)) {
        report(0, 13002, std::string(label(type)) + " must contain only letters, numbers, or underscores",
               {std::string(name)});
        return fail(failureCode, kMSRValidationInvalidCharacters);
    }
    return true;
}

bool MSRDataTypeValidator::isValidPublicName(std::string_view name, int64_t maxLength, int type,
                                             int64_t* failureCode) {
    if (!isValidInternalName(name, maxLength, type, failureCode)) return false;
    if (!isLetter(firstCodePoint(name))) {
        report(0, 13003, std::string(label(type)) + " must start with a letter", {std::string(name)});
        return fail(failureCode, kMSRValidationInvalidCharacters);
    }
    return true;
}

bool MSRDataTypeValidator::isValidValue(const MSRValue* value, int64_t minLength, int64_t maxLength, int type,
                                        int64_t* failureCode) {
    if (failureCode) *failureCode = 0;
    if (!value) {
        report(3, 13004, std::string(label(type)) + " cannot be nil");
        return fail(failureCode, kMSRValidationMissing);
    }
    if (const std::string* text = value->stringValue()) {
        return isValidString(*text, minLength, maxLength, type, failureCode);
    }
    return true;
}

bool MSRDataTypeValidator::isValidPublicEventName(std::string_view name, int64_t* failureCode) {
    if (!isValidPublicName(name, kMaxEventNameLength, 0, failureCode)) return false;
    if (name == "screen_view") return true;
    if (MSRInternalEventNameMap().contains(name) && !MSRAllowedReservedEventNameMap().contains(name)) {
        return refuseReserved(name, 13006, "Event name is reserved. Ignoring event", failureCode);
    }
    if (hasReservedPrefixes(name)) {
        return refuseReserved(name, 13007, "Event name uses reserved prefix. Ignoring event", failureCode);
    }
    return true;
}

bool MSRDataTypeValidator::isValidInternalEventName(std::string_view name, int64_t* failureCode) {
    return isValidInternalName(name, kMaxEventNameLength, 0, failureCode);
}

bool MSRDataTypeValidator::isValidInternalEventOrigin(std::string_view origin, int64_t* failureCode) {
    return isValidInternalName(origin, kMaxOriginLength, 1, failureCode);
}

bool MSRDataTypeValidator::isValidForwardedEventOrigin(std::string_view origin, int64_t* failureCode) {
    if (failureCode) *failureCode = 0;
    static constexpr std::string_view kSuffix = "+etm";
    if (origin.empty()) return fail(failureCode, kMSRValidationMissing);
    if (origin.size() < kSuffix.size() || origin.substr(origin.size() - kSuffix.size()) != kSuffix) {
        return fail(failureCode, kMSRValidationNotForwardedOrigin);
    }
    return isValidInternalName(origin.substr(0, origin.size() - kSuffix.size()), kMaxOriginLength, 1,
                               failureCode);
}

bool MSRDataTypeValidator::isValidPublicEventParameterName(std::string_view name, int64_t* failureCode) {
    if (!isValidPublicName(name, kMaxParameterNameLength, 2, failureCode)) return false;
    if (hasReservedPrefixes(name)) {
        return refuseReserved(name, 13008, "Parameter name uses reserved prefix. Ignoring parameter", failureCode);
    }
    return true;
}

bool MSRDataTypeValidator::isValidInternalEventParameterName(std::string_view name, int64_t* failureCode) {
    return isValidInternalName(name, kMaxParameterNameLength, 2, failureCode);
}

bool MSRDataTypeValidator::isValidPublicEventParameterValue(const MSRValue* value, int64_t* failureCode) {
    return isValidValue(value, 0, maxPublicValueLength(), 3, failureCode);
}

bool MSRDataTypeValidator::isValidInternalEventParameterValue(const MSRValue* value, int64_t* failureCode) {
    return isValidValue(value, 0, maxInternalValueLength(), 3, failureCode);
}

bool MSRDataTypeValidator::isValidArrayParamForEvent(std::optional<std::string_view> eventName,
                                                     std::string_view paramName, int64_t arrayCount,
                                                     bool isNestedArrayParam, int64_t* failureCode) {
    if (failureCode) *failureCode = 0;
    if (isNestedArrayParam) {
        report(0, 13013, "Nested array parameters are not allowed. Name", {std::string(paramName)});
        return fail(failureCode, kMSRValidationNestedArray);
    }
    if (!eventName || !MSRIsEcommerceEventName(*eventName)) {
        report(0, 13013,
               "Only ecommerce events are allowed to contain array parameters. Invalid ecommerce name",
               textContext(eventName));
        return fail(failureCode, kMSRValidationArrayOnNonEcommerceEvent);
    }
    if (paramName != "items") {
        report(0, 13013,
               std::string(label(2)) +
                   " is an invalid ecommerce items. The name of array parameters for ecommerce "
                   "should be \"items\". Invalid parameter name",
               {std::string(paramName)});
        return fail(failureCode, kMSRValidationArrayNotNamedItems);
    }
    if (arrayCount > kMaxArrayItems) {
        report(0, 13013,
               "Array parameter has too many items. The maximum number of supported items is " +
                   std::to_string(kMaxArrayItems) + ". Invalid array size",
               {std::to_string(arrayCount)});
        return fail(failureCode, kMSRValidationTooManyItems);
    }
    return true;
}

bool MSRDataTypeValidator::isValidArrayParamItem(const foundation::Value& item, int64_t* failureCode) {
    if (failureCode) *failureCode = 0;
    if (item.dictionary()) return true;
    const std::string text = item.isAbsent() ? std::string() : item.jsonText();
    report(0, 13014, "Array param must be a dictionary. Parameters",
           textContext(item.isAbsent() ? std::nullopt : std::optional<std::string_view>(text)));
    return fail(failureCode, kMSRValidationItemNotDictionary);
}

bool MSRDataTypeValidator::isValidPublicUserAttributeName(std::string_view name, int64_t* failureCode) {
    if (!isValidPublicName(name, kMaxUserPropertyNameLength, 4, failureCode)) return false;
    if (MSRReservedUserPropertyNameMap().contains(name)) {
        return refuseReserved(name, 13009, "User property name is reserved. Ignoring user property", failureCode);
    }
    if (hasReservedPrefixes(name)) {
        return refuseReserved(name, 13010,
                              "User property name uses reserved prefix. Ignoring user property", failureCode);
    }
    return true;
}

bool MSRDataTypeValidator::isValidInternalUserAttributeName(std::string_view name, int64_t* failureCode) {
    return isValidInternalName(name, kMaxUserPropertyNameLength, 4, failureCode);
}

bool MSRDataTypeValidator::isValidPublicUserAttributeValue(const MSRValue* value, int64_t* failureCode) {
    return isValidValue(value, 1, kMaxUserPropertyValueLength, 5, failureCode);
}

bool MSRDataTypeValidator::isValidInternalUserAttributeValue(const MSRValue* value, std::string_view name,
                                                             int64_t* failureCode) {
    int64_t maxLength = kMaxUserPropertyValueLength;
    if (name == "_id" || name == "_zbraid") maxLength = 256;
    if (name == "_psmvalue") maxLength = 512;
    return isValidValue(value, 1, maxLength, 5, failureCode);
}

bool MSRDataTypeValidator::isValidScreenParameterValue(std::string_view value, int64_t* failureCode) {
    return isValidString(value, 1, maxPublicValueLength(), 6, failureCode);
}

bool MSRDataTypeValidator::isValidConditionalUserPropertyOrigin(std::string_view origin,
                                                                int64_t* failureCode) {
    return isValidInternalName(origin, kMaxOriginLength, 7, failureCode);
}

bool MSRDataTypeValidator::isValidConditionalUserPropertyName(std::string_view name, int64_t* failureCode) {
    return isValidInternalName(name, kMaxUserPropertyNameLength, 8, failureCode);
}

bool MSRDataTypeValidator::isValidConditionalUserPropertyValue(const MSRValue* value, int64_t* failureCode) {
    return isValidValue(value, 1, kMaxUserPropertyValueLength, 9, failureCode);
}

bool MSRDataTypeValidator::isValidNumericValue(const MSRValue* value, int64_t* failureCode) {
    if (!isValidValue(value, 0, kNoLimit, 3, failureCode)) return false;
    if (value->isInt64() || value->isDouble()) return true;
    report(3, 13011, std::string(label(3)) + " must be specified with a numeric type. value",
           {value->description()});
    return fail(failureCode, kMSRValidationNotNumeric);
}

bool MSRDataTypeValidator::isValidCurrencyCode(const MSRValue* value, int64_t* failureCode) {
    if (!isValidValue(value, 0, kNoLimit, 3, failureCode)) return false;
    const std::string* text = value->stringValue();
    if (text && msr_UTF16Length(*text) == 3 && allCodePoints(*text, isLetter)) return true;
    report(3, 13012, std::string(label(3)) + " must contain a 3-letter ISO_4217 currency code. value",
           {value->description()});
    return fail(failureCode, kMSRValidationInvalidCurrency);
}

bool MSRDataTypeValidator::hasReservedPrefixes(std::string_view text) {
    return startsWith(text, "vuzedezo_") || startsWith(text, "zevure_") || startsWith(text, "za_");
}
