#include "platform/foundation/PropertyList.h"

#include <plist/plist.h>

#include <cmath>
#include <memory>

namespace foundation {
namespace {

// Property-list dates count from 2001-01-01 00:00 UTC.
constexpr double kReferenceDateOffset = 978307200.0;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

plist_t toNode(const Value& value) {
    switch (value.type()) {
        case Value::Type::Absent:
        case Value::Type::Null:
            return nullptr;
        case Value::Type::Bool:
            return plist_new_bool(*value.boolValue() ? 1 : 0);
        case Value::Type::Integer:
            return plist_new_uint(static_cast<uint64_t>(*value.integerValue()));
        case Value::Type::Double:
            return plist_new_real(*value.doubleValue());
        case Value::Type::String:
            return plist_new_string(value.string()->c_str());
        case Value::Type::Bytes: {
            const auto& bytes = *value.bytes();
            return plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        }
        case Value::Type::Date: {
            double since2001 = std::floor(value.date()->secondsSince1970 - kReferenceDateOffset);
            if (!std::isfinite(since2001) || std::fabs(since2001) > 2147483647.0) return nullptr;
            return plist_new_date(static_cast<int32_t>(since2001), 0);
        }
        case Value::Type::List: {
            PlistPtr array(plist_new_array());
            for (const Value& item : *value.list()) {
                plist_t node = toNode(item);
                if (!node) return nullptr;
                plist_array_append_item(array.get(), node);
            }
            return array.release();
        }
        case Value::Type::Dictionary: {
            PlistPtr dict(plist_new_dict());
            for (const auto& [key, item] : *value.dictionary()) {
                plist_t node = toNode(item);
                if (!node) return nullptr;
                plist_dict_set_item(dict.get(), key.c_str(), node);
            }
            return dict.release();
        }
    }
    return nullptr;
}

std::optional<Value> fromNode(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return Value(b != 0);
        }
        case PLIST_UINT: {
            // libplist keeps every integer as 64 bits; values written from
            // negative numbers come back in two's complement.
            uint64_t u = 0;
            plist_get_uint_val(node, &u);
            return Value(static_cast<int64_t>(u));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return Value(d);
        }
        case PLIST_STRING: {
            char* s = nullptr;
            plist_get_string_val(node, &s);
            Value v(std::string(s ? s : ""));
            free(s);
            return v;
        }
        case PLIST_KEY: {
            char* s = nullptr;
            plist_get_key_val(node, &s);
            Value v(std::string(s ? s : ""));
            free(s);
            return v;
        }
        case PLIST_DATA: {
            char* d = nullptr;
            uint64_t length = 0;
            plist_get_data_val(node, &d, &length);
            Value::Bytes bytes(reinterpret_cast<uint8_t*>(d), reinterpret_cast<uint8_t*>(d) + length);
            free(d);
            return Value(std::move(bytes));
        }
        case PLIST_DATE: {
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return Value(Date{sec + usec / 1e6 + kReferenceDateOffset});
        }
        case PLIST_ARRAY: {
            Value::List list;
            uint32_t n = plist_array_get_size(node);
            list.reserve(n);
            for (uint32_t i = 0; i < n; ++i) {
                auto item = fromNode(plist_array_get_item(node, i));
                if (!item) return std::nullopt;
                list.push_back(std::move(*item));
            }
            return Value(std::move(list));
        }
        case PLIST_DICT: {
            Value::Dictionary dict;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                if (!item) {
                    free(key);
                    break;
                }
                auto converted = fromNode(item);
                std::string name(key ? key : "");
                free(key);
                if (!converted) {
                    free(it);
                    return std::nullopt;
                }
                dict.emplace(std::move(name), std::move(*converted));
            }
            free(it);
            return Value(std::move(dict));
        }
        default:
            return std::nullopt;  // UID and others have no place in preferences
    }
}

}  // namespace

std::optional<std::string> propertyListXml(const Value& value) {
    PlistPtr root(toNode(value));
    if (!root) return std::nullopt;
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    if (!xml) return std::nullopt;
    std::string out(xml, length);
    plist_to_xml_free(xml);
    return out;
}

std::optional<Value> parsePropertyList(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > UINT32_MAX) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) return std::nullopt;
    PlistPtr owner(root);
    return fromNode(root);
}

}  // namespace foundation
