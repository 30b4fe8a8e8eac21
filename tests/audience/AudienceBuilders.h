#pragma once

// Filter and audience messages as the server sends them, for the tests.

#include <optional>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"

namespace audience_test {

inline MSRPBStringFilter stringFilter(int32_t type, std::optional<std::string> expression, bool caseSensitive = false,
                                      std::vector<std::string> list = {}) {
    MSRPBStringFilter filter;
    MSRPBSetInt32(filter, MSRStringFilterSlot::kMatchType, type);
    if (expression) MSRPBSetString(filter, MSRStringFilterSlot::kExpression, *expression);
    if (caseSensitive) MSRPBSetBool(filter, MSRStringFilterSlot::kCaseSensitive, true);
    if (!list.empty()) MSRPBSetArray(filter, MSRStringFilterSlot::kExpressionList, {list.begin(), list.end()});
    return filter;
}

// Type 4 takes `value` as the minimum and `maximum` as the maximum.
inline MSRPBNumberFilter numberFilter(int32_t type, std::optional<std::string> value,
                                      std::optional<std::string> maximum = std::nullopt) {
    MSRPBNumberFilter filter;
    MSRPBSetInt32(filter, MSRNumberFilterSlot::kComparisonType, type);
    if (type == 4) {
        if (value) MSRPBSetString(filter, MSRNumberFilterSlot::kMinComparisonValue, *value);
        if (maximum) MSRPBSetString(filter, MSRNumberFilterSlot::kMaxComparisonValue, *maximum);
    } else if (value) {
        MSRPBSetString(filter, MSRNumberFilterSlot::kComparisonValue, *value);
    }
    return filter;
}

inline MSRPBFilter valueFilter(std::optional<MSRPBStringFilter> text, std::optional<MSRPBNumberFilter> number = std::nullopt,
                               const std::string& parameter = "", bool complement = false) {
    MSRPBFilter filter;
    if (text) MSRPBSetMessage(filter, MSRFilterSlot::kStringFilter, *text);
    if (number) MSRPBSetMessage(filter, MSRFilterSlot::kNumberFilter, *number);
    if (!parameter.empty()) MSRPBSetString(filter, MSRFilterSlot::kParameterName, parameter);
    if (complement) MSRPBSetBool(filter, MSRFilterSlot::kComplement, true);
    return filter;
}

struct Flags {
    bool dynamic = false;
    bool sequence = false;
    bool session = false;
};

inline MSRPBEventFilter eventFilter(int32_t id, const std::string& name, std::vector<MSRPBFilter> parameters = {},
                                    std::optional<MSRPBNumberFilter> count = std::nullopt, Flags flags = {}) {
    MSRPBEventFilter filter;
    MSRPBSetInt32(filter, MSREventFilterSlot::kFilterID, id);
    MSRPBSetString(filter, MSREventFilterSlot::kEventName, name);
    if (!parameters.empty()) MSRPBSetMessageArray(filter, MSREventFilterSlot::kParameterFilters, parameters);
    if (count) MSRPBSetMessage(filter, MSREventFilterSlot::kCountFilter, *count);
    if (flags.dynamic) MSRPBSetBool(filter, MSREventFilterSlot::kDynamic, true);
    if (flags.sequence) MSRPBSetBool(filter, MSREventFilterSlot::kSequence, true);
    if (flags.session) MSRPBSetBool(filter, MSREventFilterSlot::kSessionScoped, true);
    return filter;
}

inline MSRPBPropertyFilter propertyFilter(int32_t id, const std::string& name, std::optional<MSRPBFilter> value,
                                          Flags flags = {}) {
    MSRPBPropertyFilter filter;
    MSRPBSetInt32(filter, MSRPropertyFilterSlot::kFilterID, id);
    MSRPBSetString(filter, MSRPropertyFilterSlot::kPropertyName, name);
    if (value) MSRPBSetMessage(filter, MSRPropertyFilterSlot::kFilter, *value);
    if (flags.dynamic) MSRPBSetBool(filter, MSRPropertyFilterSlot::kDynamic, true);
    if (flags.sequence) MSRPBSetBool(filter, MSRPropertyFilterSlot::kSequence, true);
    if (flags.session) MSRPBSetBool(filter, MSRPropertyFilterSlot::kSessionScoped, true);
    return filter;
}

inline MSRPBAudience audience(std::optional<int32_t> id, std::vector<MSRPBEventFilter> events,
                              std::vector<MSRPBPropertyFilter> properties = {}) {
    MSRPBAudience audience;
    if (id) MSRPBSetInt32(audience, MSRAudienceSlot::kAudienceID, *id);
    if (!events.empty()) MSRPBSetMessageArray(audience, MSRAudienceSlot::kEventFilters, events);
    if (!properties.empty()) MSRPBSetMessageArray(audience, MSRAudienceSlot::kPropertyFilters, properties);
    return audience;
}

}  // namespace audience_test
