#pragma once

#include "analytics/model/MSRValue.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

class MSRRemoteConfig;

// Failure codes written by the checks of MSRDataTypeValidator.
enum MSRValidationFailure : int64_t {
    kMSRValidationNoFailure = 0,
    kMSRValidationMissing = 1,
    kMSRValidationTooLong = 2,
    kMSRValidationInvalidCharacters = 3,
    kMSRValidationReserved = 4,
    kMSRValidationWrongType = 5,
    kMSRValidationNotForwardedOrigin = 6,
    kMSRValidationTooShort = 7,
    kMSRValidationNotNumeric = 8,
    kMSRValidationInvalidCurrency = 9,
    kMSRValidationArrayOnNonEcommerceEvent = 10,
    kMSRValidationArrayNotNamedItems = 11,
    kMSRValidationTooManyItems = 12,
    kMSRValidationNestedArray = 13,
    kMSRValidationItemNotDictionary = 14,
};

// Which names and values the engine accepts, with the same limits for the
// public logging path, the models and the parameter cleaning. Each check
// answers whether the object passed, writes the code of the first failure
// through `failureCode` (when non-null; 0 on success) and logs why.
//
// Lengths are code points. `type` picks the label that opens each message:
// 0 event name, 1 event origin, 2 parameter name, 3 parameter value, 4 user
// property name, 5 user property value, 6 screen parameter value, 7-9 the
// conditional user property's origin, name and value.
class MSRDataTypeValidator {
  public:
    static constexpr int kMaxEventNameLength = 40;
    static constexpr int kMaxParameterNameLength = 40;
    static constexpr int kMaxUserPropertyNameLength = 24;
    static constexpr int kMaxOriginLength = 32;
    static constexpr int kMaxUserPropertyValueLength = 36;
    static constexpr int kMaxArrayItems = 200;

    // The settings that give the parameter value limits; the default
    // settings until the measurement engine installs its own.
    static std::shared_ptr<MSRRemoteConfig> remoteConfig();
    static void setRemoteConfig(std::shared_ptr<MSRRemoteConfig> remoteConfig);

    static bool isValidString(std::string_view text, int64_t minLength, int64_t maxLength, int type,
                              int64_t* failureCode);
    static bool isValidInternalName(std::string_view name, int64_t maxLength, int type, int64_t* failureCode);
    static bool isValidPublicName(std::string_view name, int64_t maxLength, int type, int64_t* failureCode);
    // A null value is missing; numbers and lists pass, texts are measured.
    static bool isValidValue(const MSRValue* value, int64_t minLength, int64_t maxLength, int type,
                             int64_t* failureCode);

    static bool isValidPublicEventName(std::string_view name, int64_t* failureCode);
    static bool isValidInternalEventName(std::string_view name, int64_t* failureCode);
    static bool isValidInternalEventOrigin(std::string_view origin, int64_t* failureCode);
    static bool isValidForwardedEventOrigin(std::string_view origin, int64_t* failureCode);
    static bool isValidPublicEventParameterName(std::string_view name, int64_t* failureCode);
    static bool isValidInternalEventParameterName(std::string_view name, int64_t* failureCode);
    static bool isValidPublicEventParameterValue(const MSRValue* value, int64_t* failureCode);
    static bool isValidInternalEventParameterValue(const MSRValue* value, int64_t* failureCode);
    // `eventName` is empty for default parameters, which are no ecommerce event.
    static bool isValidArrayParamForEvent(std::optional<std::string_view> eventName,
                                          std::string_view paramName, int64_t arrayCount,
                                          bool isNestedArrayParam, int64_t* failureCode);
    static bool isValidArrayParamItem(const foundation::Value& item, int64_t* failureCode);
    static bool isValidPublicUserAttributeName(std::string_view name, int64_t* failureCode);
    static bool isValidInternalUserAttributeName(std::string_view name, int64_t* failureCode);
    static bool isValidPublicUserAttributeValue(const MSRValue* value, int64_t* failureCode);
    static bool isValidInternalUserAttributeValue(const MSRValue* value, std::string_view name,
                                                  int64_t* failureCode);
    static bool isValidScreenParameterValue(std::string_view value, int64_t* failureCode);
    static bool isValidConditionalUserPropertyOrigin(std::string_view origin, int64_t* failureCode);
    static bool isValidConditionalUserPropertyName(std::string_view name, int64_t* failureCode);
    static bool isValidConditionalUserPropertyValue(const MSRValue* value, int64_t* failureCode);
    static bool isValidNumericValue(const MSRValue* value, int64_t* failureCode);
    static bool isValidCurrencyCode(const MSRValue* value, int64_t* failureCode);
    static bool hasReservedPrefixes(std::string_view text);
};
