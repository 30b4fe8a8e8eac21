#include "analytics/model/MSRUserAttribute.h"

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/model/MSRFoundationAdditions.h"

std::optional<MSRUserAttribute> MSRUserAttribute::initWithOrigin(std::string_view origin,
                                                                 std::string_view name, MSRValue value,
                                                                 double lastSetTimestamp) {
    if (!MSRDataTypeValidator::isValidInternalUserAttributeName(name, nullptr)) return std::nullopt;
    if (!MSRDataTypeValidator::isValidInternalUserAttributeValue(&value, name, nullptr)) return std::nullopt;
    return MSRUserAttribute(std::string(origin), std::string(name), std::move(value), lastSetTimestamp);
}

MSRPBUserAttribute MSRUserAttribute::protoUserAttribute() const {
    MSRPBUserAttribute proto;
    MSRPBSetString(proto, MSRUserAttributeSlot::kName, name_);
    switch (value_.valueType()) {
        case MSRValue::kDouble:
            MSRPBSetDouble(proto, MSRUserAttributeSlot::kDoubleValue, value_.doubleValue());
            break;
        case MSRValue::kInt64:
            MSRPBSetInt64(proto, MSRUserAttributeSlot::kIntValue, value_.int64Value());
            break;
        case MSRValue::kString:
            MSRPBSetString(proto, MSRUserAttributeSlot::kStringValue, *value_.stringValue());
            break;
        case MSRValue::kArray:
            break;
    }
    MSRPBSetInt64(proto, MSRUserAttributeSlot::kSetTimestamp, MSRMillisecondsFromSeconds(lastSetTimestamp_));
    return proto;
}
