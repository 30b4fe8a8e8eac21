#include "Calvaro/engine/JsonFields.h"

#include <nlohmann/json.hpp>

namespace jsonfields {

Reader::Reader(const nlohmann::json& object, std::string context)
    : object_(object), context_(std::move(context)) {}

const nlohmann::json* Reader::member(const char* key, bool required) {
    if (!object_.is_object()) {
        error_ = context_ + ": expected an object";
        return nullptr;
    }
    auto it = object_.find(key);
    if (it == object_.end() || (!required && it->is_null())) {
        if (required) error_ = context_ + ": missing member \"" + key + "\"";
        return nullptr;
    }
    return &*it;
}

bool Reader::wrongType(const char* key, const char* expected) {
    error_ = context_ + ": member \"" + key + "\" is not " + expected;
    return false;
}

bool Reader::text(const char* key, std::string& out) {
    const auto* value = member(key, true);
    if (!value) return false;
    if (!value->is_string()) return wrongType(key, "a string");
    out = value->get<std::string>();
    return true;
}

bool Reader::number(const char* key, double& out) {
    const auto* value = member(key, true);
    if (!value) return false;
    if (!value->is_number()) return wrongType(key, "a number");
    out = value->get<double>();
    return true;
}

bool Reader::textList(const char* key, std::vector<std::string>& out) {
    const auto* value = member(key, true);
    if (!value) return false;
    if (!value->is_array()) return wrongType(key, "an array of strings");
    std::vector<std::string> items;
    for (const auto& item : *value) {
        if (!item.is_string()) return wrongType(key, "an array of strings");
        items.push_back(item.get<std::string>());
    }
    out = std::move(items);
    return true;
}

bool Reader::optionalTextList(const char* key, std::optional<std::vector<std::string>>& out) {
    out.reset();
    if (!member(key, false)) return error_.empty();
    std::vector<std::string> items;
    if (!textList(key, items)) return false;
    out = std::move(items);
    return true;
}

bool Reader::optionalNumberMap(const char* key, std::optional<std::map<std::string, double>>& out) {
    out.reset();
    const auto* value = member(key, false);
    if (!value) return error_.empty();
    if (!value->is_object()) return wrongType(key, "an object of numbers");
    std::map<std::string, double> items;
    for (const auto& [name, item] : value->items()) {
        if (!item.is_number()) return wrongType(key, "an object of numbers");
        items.emplace(name, item.get<double>());
    }
    out = std::move(items);
    return true;
}

bool readObject(std::string_view json, const std::string& context, std::string* error,
                const std::function<bool(Reader&)>& fields) {
    auto parsed = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
    if (parsed.is_discarded()) {
        fail(error, "the data is not valid JSON");
        return false;
    }
    Reader reader(parsed, context);
    if (fields(reader)) return true;
    fail(error, reader.error());
    return false;
}

Writer::Writer() : out_(std::make_unique<nlohmann::ordered_json>(nlohmann::ordered_json::object())) {}
Writer::~Writer() = default;

bool Writer::text(const char* key, const std::string& value) {
    (*out_)[key] = value;
    return true;
}

bool Writer::number(const char* key, double value) {
    (*out_)[key] = value;
    return true;
}

bool Writer::textList(const char* key, const std::vector<std::string>& value) {
    (*out_)[key] = value;
    return true;
}

bool Writer::optionalTextList(const char* key, const std::optional<std::vector<std::string>>& value) {
    if (value) (*out_)[key] = *value;
    return true;
}

bool Writer::optionalNumberMap(const char* key, const std::optional<std::map<std::string, double>>& value) {
    if (value) (*out_)[key] = *value;
    return true;
}

std::string Writer::dump() const {
    return out_->dump();
}

}  // namespace jsonfields
