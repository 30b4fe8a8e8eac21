#pragma once

// How the database keeps a typed value (user properties, conditional user
// properties): as its own SQLite kind (text, integer or real) rather than as
// an encoded message.

#include <optional>
#include <string>
#include <variant>

#include "analytics/model/MSRValue.h"
#include "analytics/storage/MSRSqliteStore.h"

// The column's value as a typed value; nothing for a missing column, NULL or a blob.
inline std::optional<MSRValue> MSRValueFromColumn(const MSRSqliteValue* column) {
    if (!column) return std::nullopt;
    if (const auto* text = std::get_if<std::string>(column)) return MSRValue(*text);
    if (const auto* real = std::get_if<double>(column)) return MSRValue(*real);
    if (const auto* integer = std::get_if<int64_t>(column)) return MSRValue(*integer);
    return std::nullopt;
}

inline MSRSqliteValue MSRStorableObjectFromValue(const MSRValue& value) {
    if (const auto* text = value.stringValue()) return *text;
    if (value.isDouble()) return value.doubleValue();
    return value.int64Value();
}
