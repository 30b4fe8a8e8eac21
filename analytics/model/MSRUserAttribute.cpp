#include "analytics/model/MSRUserAttribute.h"

#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/model/MSRFoundationAdditions.h"

namespace {
// MSRPBUserAttribute field indexes.
enum : uint32_t { kSetTimestamp = 0, kName = 1, kString = 2, kInt = 3, kDouble = 5 };
}  // namespace

std::optional<MSRUserAttribute> MSRUserAttribute::initWithOrigin(std::string_view origin,
                                                                 std::string_view name, MSRValue value,
                                                                 double lastSetTimestamp) {
    if (!MSRDataTypeValidator::isValidInternalUserAttributeName(name, nullptr)) return std::nullopt;
    if (!MSRDataTypeValidator::isValidInternalUserAttributeValue(&value, name, nullptr)) return std::nullopt;
    return MSRUserAttribute(std::string(origin), std::string(name), std::move(value), lastSetTimestamp);
}

MSRPBUserAttribute MSRUserAttribute::protoUserAttribute() const {
    MSRPBUserAttribute proto;
    MSRPBSetString(proto, kName, name_);
    switch (value_.valueType()) {
        case MSRValue::kDouble:
            MSRPBSetDouble(proto, kDouble, value_.doubleValue());
            break;
        case MSRValue::kInt64:
            MSRPBSetInt64(proto, kInt, value_.int64Value());
            break;
        case MSRValue::kString:
            MSRPBSetString(proto, kString, *value_.stringValue());
            break;
        case MSRValue::kArray:
            break;
    }
    MSRPBSetInt64(proto, kSetTimestamp, MSRMillisecondsFromSeconds(lastSetTimestamp_));
    return proto;
}
