#include "analytics/model/MSREvent.h"

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/model/MSRCleanEventParameters.h"
#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/support/MSRMonitor.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "analytics/messages/NANOVarint.h"

namespace {

void reportEvent(int64_t level, int64_t code, const std::string& message,
                 std::vector<MSRLogContext> contexts = {}) {
    MSRMonitor::shared()->logWithLevel(level, code, message, contexts);
}

bool holdsIntegerOne(const MSRParameters& parameters, const char* name) {
    auto it = parameters.find(name);
    return it != parameters.end() && it->second.isInt64() && it->second.int64Value() == 1;
}

void setFlag(MSRParameters& parameters, const char* name, bool on) {
    if (on) {
        parameters.insert_or_assign(name, MSRValue(int64_t{1}));
    } else {
        parameters.erase(name);
    }
}

// One wire parameter, its cells set as the checked setters would set them:
// every event is turned into its wire form when it is stored and again when
// it is bundled, and there the setters' checks cost more than the building.
NANOMessageInfoPtr wireParam(const std::string& name, const MSRValue& value) {
    NANOMessageInfoPtr param = NANOMessageInfoCreate(MSRPBEventParam::type());
    if (!name.empty()) param->fields[MSREventParamSlot::kName] = name;
    switch (value.valueType()) {
        case MSRValue::kString:
            param->fields[MSREventParamSlot::kStringValue] = *value.stringValue();
            break;
        case MSRValue::kInt64:
            param->fields[MSREventParamSlot::kIntValue] = static_cast<uint64_t>(value.int64Value());
            break;
        case MSRValue::kDouble:
            param->fields[MSREventParamSlot::kDoubleValue] = std::bit_cast<uint64_t>(value.doubleValue());
            break;
        case MSRValue::kArray:
            break;
    }
    return param;
}

// The first scalar the wire parameter holds: text, then integer, then double.
std::optional<MSRValue> scalarFromParam(const MSRPBEventParam& param) {
    if (MSRPBHasField(param, MSREventParamSlot::kStringValue)) {
        if (auto text = MSRPBGetString(param, MSREventParamSlot::kStringValue)) return MSRValue(std::move(*text));
    }
    if (MSRPBHasField(param, MSREventParamSlot::kIntValue)) return MSRValue(MSRPBGetInt64(param, MSREventParamSlot::kIntValue));
    if (MSRPBHasField(param, MSREventParamSlot::kDoubleValue)) return MSRValue(MSRPBGetDouble(param, MSREventParamSlot::kDoubleValue));
    return std::nullopt;
}

// An items list as protoEvent writes it: one nameless parameter per item,
// whose nested parameters are the item's scalars.
std::optional<MSRValue> listFromParam(const MSRPBEventParam& param) {
    std::vector<MSRPBEventParam> wireItems = MSRPBGetMessageArray<MSRPBEventParam>(param, MSREventParamSlot::kParamValue);
    if (wireItems.empty()) return std::nullopt;
    MSRValueList items;
    for (const MSRPBEventParam& wireItem : wireItems) {
        MSRParameters item;
        for (const MSRPBEventParam& entry : MSRPBGetMessageArray<MSRPBEventParam>(wireItem, MSREventParamSlot::kParamValue)) {
            std::optional<std::string> name = MSRPBGetString(entry, MSREventParamSlot::kName);
            std::optional<MSRValue> value = scalarFromParam(entry);
            if (name && value) item.insert_or_assign(std::move(*name), std::move(*value));
        }
        items.push_back(std::move(item));
    }
    return MSRValue(std::move(items));
}

bool isTextObject(const MSRObject& object, std::string* text) {
    if (const auto* value = std::get_if<MSRValue>(&object)) {
        if (!value->isString()) return false;
        *text = *value->stringValue();
        return true;
    }
    const auto& plain = std::get<foundation::Value>(object);
    if (!plain.string()) return false;
    *text = *plain.string();
    return true;
}

bool isScreenID(const MSRObject& object) {
    if (const auto* value = std::get_if<MSRValue>(&object)) return value->isInt64();
    using Type = foundation::Value::Type;
    const Type type = std::get<foundation::Value>(object).type();
    return type == Type::Integer || type == Type::Double || type == Type::Bool;
}

// The object as a log context: its text, or its JSON form.
std::vector<MSRLogContext> contextOf(const MSRObject& object) {
    std::vector<MSRLogContext> contexts(1);
    const auto* plain = std::get_if<foundation::Value>(&object);
    if (!plain) {
        contexts[0] = MSRLogContext(std::get<MSRValue>(object).description());
    } else if (const std::string* text = plain->string()) {
        contexts[0] = MSRLogContext(*text);
    } else if (!plain->isAbsent()) {
        contexts[0] = MSRLogContext(plain->jsonText());
    }
    return contexts;
}

// The checks of origin, name and times that every made event passes.
bool acceptsFields(std::string_view origin, bool isPublic, std::string_view name, double timestamp,
                   double previousTimestamp) {
    int64_t failure = 0;
    if (!MSRDataTypeValidator::isValidForwardedEventOrigin(origin, &failure)) {
        if (failure != kMSRValidationNotForwardedOrigin ||
            !MSRDataTypeValidator::isValidInternalEventOrigin(origin, nullptr)) {
            return false;
        }
    }
    if (isPublic && !MSRDataTypeValidator::isValidPublicEventName(name, nullptr)) return false;
    if (!MSRDataTypeValidator::isValidInternalEventName(name, nullptr)) return false;
    if (!std::isfinite(timestamp)) {
        reportEvent(2, 16008, "Event created with a timestamp that is not a finite number. Event name",
                    {MSRDebugEventName(name)});
        return false;
    }
    return MSREvent::acceptsPreviousTimestamp(name, timestamp, previousTimestamp);
}

}  // namespace

bool MSREvent::acceptsStoredFields(std::string_view origin, std::string_view name, double timestamp,
                                   double previousTimestamp) {
    return acceptsFields(origin, false, name, timestamp, previousTimestamp);
}

bool MSREvent::acceptsPreviousTimestamp(std::string_view name, double timestamp, double previousTimestamp) {
    if (!std::isfinite(previousTimestamp)) {
        reportEvent(2, 16008, "Event created with a timestamp that is not a finite number. Event name",
                    {MSRDebugEventName(name)});
        return false;
    }
    if (previousTimestamp > timestamp) {
        reportEvent(5, 16002, "Event created with previous timestamp after current timestamp");
    }
    return true;
}

std::optional<MSREvent> MSREvent::withCheckedFields(std::string_view origin, bool isPublic,
                                                    std::string_view name, double timestamp,
                                                    double previousTimestamp) {
    if (!acceptsFields(origin, isPublic, name, timestamp, previousTimestamp)) return std::nullopt;
    MSREvent event;
    event.origin_ = std::string(origin);
    event.name_ = std::string(name);
    event.timestamp_ = timestamp;
    event.previousTimestamp_ = previousTimestamp;
    return event;
}

void MSREvent::finishParameters() {
    parameters_.insert_or_assign("_o", MSRValue(origin_));
    if (shouldValidateParams() && !MSRCheckConversionValue(parameters_)) {
        parameters_.erase("_c");
    }
}

std::optional<MSREvent> MSREvent::initWithOrigin(std::string_view origin, bool isPublic,
                                                 std::string_view name, double timestamp,
                                                 double previousTimestamp,
                                                 const MSRObjectDictionary& parameters) {
    std::optional<MSREvent> event = withCheckedFields(origin, isPublic, name, timestamp, previousTimestamp);
    if (!event) return std::nullopt;
    if (std::optional<MSRParameters> cleaned =
            MSRCleanEventParameters(parameters, event->name_, isPublic, false)) {
        event->parameters_ = std::move(*cleaned);
    }
    event->finishParameters();
    return event;
}

std::optional<MSREvent> MSREvent::initWithStoredParameters(std::string_view origin, std::string_view name,
                                                           double timestamp, double previousTimestamp,
                                                           MSRParameters parameters) {
    std::optional<MSREvent> event = withCheckedFields(origin, false, name, timestamp, previousTimestamp);
    if (!event) return std::nullopt;
    if (!MSRStoredParametersNeedCleaning(parameters, event->name_)) {
        event->parameters_ = std::move(parameters);
    } else if (std::optional<MSRParameters> cleaned = MSRCleanEventParameters(
                   MSRObjectsFromParameters(parameters), event->name_, false, false)) {
        event->parameters_ = std::move(*cleaned);
    }
    event->finishParameters();
    return event;
}

std::optional<MSREvent> MSREvent::initWithEventProto(const MSRPBEvent& proto) {
    const std::string name = MSRPBGetString(proto, MSREventSlot::kName).value_or("");
    const double timestamp = static_cast<double>(MSRPBGetInt64(proto, MSREventSlot::kTimestamp)) / 1000.0;
    const double previousTimestamp =
        static_cast<double>(MSRPBGetInt64(proto, MSREventSlot::kPreviousTimestamp)) / 1000.0;

    std::string origin;
    MSRObjectDictionary parameters;
    for (const MSRPBEventParam& param : MSRPBGetMessageArray<MSRPBEventParam>(proto, MSREventSlot::kParams)) {
        std::optional<std::string> paramName = MSRPBGetString(param, MSREventParamSlot::kName);
        if (!paramName) {
            reportEvent(2, 15000, "Ignoring parameter. Parameter name is nil. Event name",
                        {MSRDebugEventName(name)});
            continue;
        }
        if (*paramName == "_o") {
            std::optional<std::string> text =
                MSRPBHasField(param, MSREventParamSlot::kStringValue) ? MSRPBGetString(param, MSREventParamSlot::kStringValue) : std::nullopt;
            if (!text) {
                reportEvent(2, 15001,
                            "Cannot create an event from event proto. Origin parameter is not a string. "
                            "Event name",
                            {MSRDebugEventName(name)});
                return std::nullopt;
            }
            origin = *text;
        }
        std::optional<MSRValue> value = scalarFromParam(param);
        // Item lists are read back too: raw events are stored in their wire
        // form, and dropping the list here would lose every ecommerce item.
        if (!value) value = listFromParam(param);
        if (!value) {
            reportEvent(5, 15002,
                        "Unknown event parameter type from converting an event proto into MSREvent "
                        "instance. Event param name",
                        {MSRDebugParameterName(*paramName)});
            continue;
        }
        parameters.insert_or_assign(*paramName, std::move(*value));
    }
    return initWithOrigin(origin, false, name, timestamp, previousTimestamp, parameters);
}

std::optional<MSREvent> MSREvent::eventFromEditEvent(const MSRPEvent& editEvent) {
    std::string name = editEvent.name();
    const MSRNameMap& internalNames = MSRInternalEventNameMap();
    if (auto it = internalNames.find(name); it != internalNames.end()) name = it->second;
    std::string origin = "app";
    MSRObjectDictionary parameters;
    for (const auto& [paramName, value] : editEvent.parameters()) {
        if (paramName == "_o" && value.string()) origin = *value.string();
        parameters.emplace(paramName, value);
    }
    return initWithOrigin(origin, false, name, editEvent.timestamp(), 0, parameters);
}

// Only the previous time is new: origin, name and parameters passed their
// checks when this event was made, and cleaning them again gives them back
// unchanged, so they are copied as they stand.
std::optional<MSREvent> MSREvent::copyWithPreviousTimestamp(double previousTimestamp) const {
    if (!acceptsPreviousTimestamp(name_, timestamp_, previousTimestamp)) return std::nullopt;
    MSREvent event = *this;
    event.previousTimestamp_ = previousTimestamp;
    if (event.shouldValidateParams() && !MSRCheckConversionValue(event.parameters_)) {
        event.parameters_.erase("_c");
    }
    return event;
}

std::optional<MSREvent> MSREvent::copyWithParameters(const MSRObjectDictionary& parameters) const {
    return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_, parameters);
}

std::optional<MSREvent> MSREvent::copy() const {
    return copyWithParameters(MSRObjectsFromParameters(parameters_));
}

bool MSREvent::isConversion() const {
    return holdsIntegerOne(parameters_, "_c");
}

void MSREvent::setConversion(bool conversion) {
    if (conversion) {
        if (!MSRCheckConversionValue(parameters_)) return;
        parameters_.insert_or_assign("_c", MSRValue(int64_t{1}));
        auto error = parameters_.find("_err");
        if (error != parameters_.end() && error->second == MSRValue(int64_t{10})) parameters_.erase(error);
        return;
    }
    parameters_.erase("_c");
    MSRSetErrorCodeIfAbsent(parameters_, 10);
}

bool MSREvent::isRealtime() const {
    auto it = parameters_.find("_r");
    if (it == parameters_.end()) return false;
    if (!it->second.isInt64()) {
        reportEvent(2, 16006, "Realtime parameter must be an int64. Event name", {MSRDebugEventName(name_)});
        return false;
    }
    return it->second.int64Value() == 1;
}

void MSREvent::setRealtime(bool realtime) {
    setFlag(parameters_, "_r", realtime);
}

bool MSREvent::isDebug() const {
    return holdsIntegerOne(parameters_, "_dbg");
}

void MSREvent::setDebug(bool debug) {
    setFlag(parameters_, "_dbg", debug);
}

bool MSREvent::shouldValidateParams() const {
    return isConversion() || name_ == "ad_impression" || name_ == "_ai";
}

void MSREvent::applyParameters(const MSRObjectDictionary& defaultParameters) {
    std::optional<MSRParameters> base = MSRCleanDefaultEventParameters(defaultParameters, true);
    if (!base || base->empty()) return;
    for (auto& [name, value] : parameters_) base->insert_or_assign(name, value);
    parameters_ = std::move(*base);
}

bool MSREvent::addScreenParameters(const MSRObjectDictionary& screen) {
    if (screen.empty() || parameters_.contains("_sn") || parameters_.contains("_sc") ||
        parameters_.contains("_si") || !screen.contains("_si")) {
        return false;
    }
    auto screenText = [&](const char* name, int64_t code, const char* message) {
        auto it = screen.find(name);
        if (it == screen.end()) return true;
        std::string text;
        if (isTextObject(it->second, &text) &&
            MSRDataTypeValidator::isValidScreenParameterValue(text, nullptr)) {
            return true;
        }
        reportEvent(3, code, message, contextOf(it->second));
        return false;
    };
    if (!screenText("_sc", 16003, "Received invalid screen class")) return false;
    if (!isScreenID(screen.at("_si"))) return false;
    if (!screenText("_sn", 16004, "Received invalid screen name")) return false;

    for (const char* name : {"_si", "_sc", "_sn"}) {
        auto it = screen.find(name);
        if (it == screen.end()) continue;
        if (std::optional<MSRValue> value = MSRValue::valueFromObject(it->second)) {
            parameters_.insert_or_assign(name, std::move(*value));
        }
    }
    return parameters_.contains("_si");
}

MSRPEvent MSREvent::editEvent() const {
    std::string publicName = name_;
    const MSRNameMap& publicNames = MSRPublicEventNameMap();
    if (auto it = publicNames.find(name_); it != publicNames.end()) publicName = it->second;

    foundation::Value::Dictionary parameters;
    for (const auto& [name, value] : parameters_) {
        const MSRValueList* items = value.arrayValue();
        if (!items) {
            parameters.emplace(name, value.plainObject());
            continue;
        }
        // Programs see one level of items: lists inside an item are left out.
        foundation::Value::List list;
        for (const MSRParameters& item : *items) {
            foundation::Value::Dictionary dictionary;
            for (const auto& [itemName, itemValue] : item) {
                if (!itemValue.isArray()) dictionary.emplace(itemName, itemValue.plainObject());
            }
            list.emplace_back(std::move(dictionary));
        }
        parameters.emplace(name, std::move(list));
    }
    return MSRPEvent(publicName, timestamp_, std::move(parameters));
}

MSRPBEvent MSREvent::protoEvent() const {
    NANOMessageInfoPtr proto = NANOMessageInfoCreate(MSRPBEvent::type());
    proto->fields[MSREventSlot::kName] = name_;
    proto->fields[MSREventSlot::kTimestamp] = static_cast<uint64_t>(MSRMillisecondsFromSeconds(timestamp_));
    if (previousTimestamp_ > std::numeric_limits<double>::epsilon()) {
        proto->fields[MSREventSlot::kPreviousTimestamp] =
            static_cast<uint64_t>(MSRMillisecondsFromSeconds(previousTimestamp_));
    }

    auto& params = std::get<std::vector<NANOMessageInfoPtr>>(proto->fields[MSREventSlot::kParams]);
    params.reserve(parameters_.size());
    for (const auto& [name, value] : parameters_) {
        const MSRValueList* items = value.arrayValue();
        if (!items) {
            params.push_back(wireParam(name, value));
            continue;
        }
        NANOMessageInfoPtr param = NANOMessageInfoCreate(MSRPBEventParam::type());
        param->fields[MSREventParamSlot::kName] = name;
        auto& wireItems = std::get<std::vector<NANOMessageInfoPtr>>(param->fields[MSREventParamSlot::kParamValue]);
        for (const MSRParameters& item : *items) {
            NANOMessageInfoPtr wireItem = NANOMessageInfoCreate(MSRPBEventParam::type());
            auto& entries = std::get<std::vector<NANOMessageInfoPtr>>(wireItem->fields[MSREventParamSlot::kParamValue]);
            for (const auto& [itemName, itemValue] : item) {
                if (itemValue.isArray()) {
                    reportEvent(2, 16007, "Nested params cannot have more than 1 level. Event name, param name",
                                {MSRDebugEventName(name_), MSRDebugParameterName(itemName)});
                    continue;
                }
                entries.push_back(wireParam(itemName, itemValue));
            }
            wireItems.push_back(std::move(wireItem));
        }
        params.push_back(std::move(param));
    }
    return MSRPBEvent(*NANOMessageBase::initWithMessageInfo(MSRPBEvent::type(), std::move(proto)));
}

namespace {

// The keys of the fields written below: (field number << 3) | wire type, as
// in the .proto: Event params = 1, timestamp_millis = 3,
// previous_timestamp_millis = 4; EventParam name = 1, string_value = 2,
// int_value = 3, double_value = 5, param_value = 6.
constexpr uint8_t kEventParamsKey = (1 << 3) | 2;
constexpr uint8_t kEventTimestampKey = (3 << 3) | 0;
constexpr uint8_t kEventPreviousTimestampKey = (4 << 3) | 0;
constexpr uint8_t kParamNameKey = (1 << 3) | 2;
constexpr uint8_t kParamStringKey = (2 << 3) | 2;
constexpr uint8_t kParamIntKey = (3 << 3) | 0;
constexpr uint8_t kParamDoubleKey = (5 << 3) | 1;
constexpr uint8_t kParamNestedKey = (6 << 3) | 2;

size_t delimited(size_t length) {
    return 1 + NANOVarintSize(length) + length;
}

// The body of wireParam's message.
size_t scalarParamLength(const std::string& name, const MSRValue& value) {
    size_t length = name.empty() ? 0 : delimited(name.size());
    switch (value.valueType()) {
        case MSRValue::kString:
            return length + delimited(value.stringValue()->size());
        case MSRValue::kInt64:
            return length + 1 + NANOVarintSize(static_cast<uint64_t>(value.int64Value()));
        case MSRValue::kDouble:
            return length + 1 + 8;
        case MSRValue::kArray:
            break;
    }
    return length;
}

struct StoredEventWriter {
    uint8_t* out;

    void key(uint8_t key) { *out++ = key; }
    void varint(uint64_t value) { out = NANOPutVarint(out, value); }
    void text(uint8_t fieldKey, const std::string& value) {
        key(fieldKey);
        varint(value.size());
        if (!value.empty()) std::memcpy(out, value.data(), value.size());
        out += value.size();
    }
    void scalarParam(const std::string& name, const MSRValue& value) {
        if (!name.empty()) text(kParamNameKey, name);
        switch (value.valueType()) {
            case MSRValue::kString:
                text(kParamStringKey, *value.stringValue());
                break;
            case MSRValue::kInt64:
                key(kParamIntKey);
                varint(static_cast<uint64_t>(value.int64Value()));
                break;
            case MSRValue::kDouble: {
                key(kParamDoubleKey);
                const uint64_t bits = std::bit_cast<uint64_t>(value.doubleValue());
                for (int i = 0; i < 8; ++i) *out++ = static_cast<uint8_t>(bits >> (8 * i));
                break;
            }
            case MSRValue::kArray:
                break;
        }
    }
};

}  // namespace

std::vector<uint8_t> MSREvent::encodedWithoutName() const {
    // The lengths of the list parameters' items, measured once and written
    // in the same order.
    std::vector<size_t> itemLengths;
    size_t total = 1 + NANOVarintSize(static_cast<uint64_t>(MSRMillisecondsFromSeconds(timestamp_)));
    const bool hasPrevious = previousTimestamp_ > std::numeric_limits<double>::epsilon();
    if (hasPrevious) total += 1 + NANOVarintSize(static_cast<uint64_t>(MSRMillisecondsFromSeconds(previousTimestamp_)));
    for (const auto& [name, value] : parameters_) {
        const MSRValueList* items = value.arrayValue();
        if (!items) {
            total += delimited(scalarParamLength(name, value));
            continue;
        }
        size_t length = delimited(name.size());
        for (const MSRParameters& item : *items) {
            size_t itemLength = 0;
            for (const auto& [itemName, itemValue] : item) {
                if (!itemValue.isArray()) itemLength += delimited(scalarParamLength(itemName, itemValue));
            }
            itemLengths.push_back(itemLength);
            length += delimited(itemLength);
        }
        total += delimited(length);
    }

    std::vector<uint8_t> bytes(total);
    StoredEventWriter writer{bytes.data()};
    size_t nextItem = 0;
    for (const auto& [name, value] : parameters_) {
        const MSRValueList* items = value.arrayValue();
        writer.key(kEventParamsKey);
        if (!items) {
            writer.varint(scalarParamLength(name, value));
            writer.scalarParam(name, value);
            continue;
        }
        size_t length = delimited(name.size());
        for (size_t i = 0; i < items->size(); ++i) length += delimited(itemLengths[nextItem + i]);
        writer.varint(length);
        writer.text(kParamNameKey, name);
        for (const MSRParameters& item : *items) {
            writer.key(kParamNestedKey);
            writer.varint(itemLengths[nextItem++]);
            for (const auto& [itemName, itemValue] : item) {
                if (itemValue.isArray()) {
                    reportEvent(2, 16007, "Nested params cannot have more than 1 level. Event name, param name",
                                {MSRDebugEventName(name_), MSRDebugParameterName(itemName)});
                    continue;
                }
                writer.key(kParamNestedKey);
                writer.varint(scalarParamLength(itemName, itemValue));
                writer.scalarParam(itemName, itemValue);
            }
        }
    }
    writer.key(kEventTimestampKey);
    writer.varint(static_cast<uint64_t>(MSRMillisecondsFromSeconds(timestamp_)));
    if (hasPrevious) {
        writer.key(kEventPreviousTimestampKey);
        writer.varint(static_cast<uint64_t>(MSRMillisecondsFromSeconds(previousTimestamp_)));
    }
    return bytes;
}

int64_t MSRCountArrayItems(const MSREvent& event) {
    int64_t count = 0;
    for (const auto& entry : event.parameters()) {
        if (const MSRValueList* items = entry.second.arrayValue())
            count += static_cast<int64_t>(items->size());
    }
    return count;
}

bool MSRIsErrorEvent(const MSREvent& event) {
    return MSRIsErrorEventName(event.name());
}

bool MSRIsSubscriptionEvent(const MSREvent& event) {
    if (event.name() == "_assc" || event.name() == "_assr") return true;
    if (event.name() != "_iap") return false;
    auto it = event.parameters().find("subscription");
    return it != event.parameters().end() && it->second == MSRValue(int64_t{1});
}
