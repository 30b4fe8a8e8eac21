#pragma once
// Stored raw-event bytes written by hand, as no writer of ours may have made
// them: for the tests of every road that reads stored events back.

#include <optional>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBMessages.h"

// A stored event parameter: a name (or none), any value fields, nested items.
struct StoredParam {
    std::optional<std::string> name;
    std::optional<std::string> text = std::nullopt;
    std::optional<int64_t> integer = std::nullopt;
    std::optional<double> real = std::nullopt;
    std::vector<StoredParam> nested = {};
};

inline MSRPBEventParam wireParam(const StoredParam& p) {
    enum : uint32_t { kName = 0, kString = 1, kInt = 2, kDouble = 4, kNested = 5 };
    MSRPBEventParam out;
    if (p.name) MSRPBSetString(out, kName, *p.name);
    if (p.text) MSRPBSetString(out, kString, *p.text);
    if (p.integer) MSRPBSetInt64(out, kInt, *p.integer);
    if (p.real) MSRPBSetDouble(out, kDouble, *p.real);
    std::vector<MSRPBEventParam> children;
    for (const StoredParam& child : p.nested) children.push_back(wireParam(child));
    if (!children.empty()) MSRPBSetMessageArray(out, kNested, std::move(children));
    return out;
}

// The stored bytes of an event with these parameters and, unless 0, this
// previous time and this time.
inline std::vector<uint8_t> storedEventBytes(const std::vector<StoredParam>& params, int64_t previousMillis = 0,
                                             int64_t timestampMillis = 0) {
    enum : uint32_t { kParams = 0, kTimestamp = 2, kPreviousTimestamp = 3 };
    std::vector<MSRPBEventParam> wire;
    for (const StoredParam& p : params) wire.push_back(wireParam(p));
    MSRPBEvent event;
    MSRPBSetMessageArray(event, kParams, std::move(wire));
    if (timestampMillis != 0) MSRPBSetInt64(event, kTimestamp, timestampMillis);
    if (previousMillis != 0) MSRPBSetInt64(event, kPreviousTimestamp, previousMillis);
    return *event.protoBuffer();
}
