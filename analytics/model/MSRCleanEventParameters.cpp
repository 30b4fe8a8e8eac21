#include "analytics/model/MSRCleanEventParameters.h"

#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/model/MSRFoundationAdditions.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRRemoteConfig.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <vector>

namespace {

constexpr int64_t kNameErrorLength = 40;

std::mutex gLoggerMutex;
MSRInternalEventLogger gLogger;

bool startsWithUnderscore(std::string_view name) {
    return !name.empty() && name[0] == '_';
}

bool isCustomName(std::string_view name, bool itemMode) {
    if (startsWithUnderscore(name)) return false;
    return !(itemMode && MSRIsItemParameterName(name));
}

const char* plainTypeName(const foundation::Value& value) {
    using Type = foundation::Value::Type;
    switch (value.type()) {
        case Type::Absent:
            return "nil";
        case Type::Null:
            return "NSNull";
        case Type::Bytes:
            return "NSData";
        case Type::Date:
            return "NSDate";
        case Type::Dictionary:
            return "NSDictionary";
        case Type::List:
            return "NSArray";
        default:
            return "NSObject";
    }
}

MSRObjectDictionary objectsFromPlain(const foundation::Value::Dictionary& dictionary) {
    MSRObjectDictionary objects;
    for (const auto& [name, value] : dictionary) objects.emplace(name, value);
    return objects;
}

int64_t maxInternalValueLengthToClean() {
    return MSRDataTypeValidator::remoteConfig()->maxInternalEventParameterValueLength();
}

// The "_ev" of an internal event is cut to the internal limit, with its
// full length in "_el"; a text already cut that way is left alone.
bool cutErrorValueIfTooLong(const MSRValue& value, MSRParameters& replacements) {
    const std::string* text = value.stringValue();
    if (!text) return false;
    const int64_t limit = maxInternalValueLengthToClean();
    const int64_t length = msr_UTF32Length(*text);
    if (length <= limit) return false;
    if (length == limit + 3 && text->ends_with("...")) return false;
    MSRSetErrorValueParameters(replacements, *text, limit, &value);
    return true;
}

}  // namespace

std::optional<MSRParameters> MSRCleanEventParameters(const MSRObjectDictionary& parameters,
                                                     std::optional<std::string_view> eventName, bool isPublic,
                                                     bool isNested) {
    if (parameters.empty()) return std::nullopt;
    const bool isInternalEvent =
        eventName && (MSRInternalEventNameMap().contains(*eventName) || startsWithUnderscore(*eventName));

    std::set<std::string> removed;
    MSRParameters replacements;
    size_t keptAsCleaned = 0;  // parameters whose cleaned value is in `replacements`
    // Read once for the event, not once per value: the configuration does not
    // change under one cleaning.
    const int64_t publicValueLimit =
        isPublic ? MSRDataTypeValidator::remoteConfig()->maxPublicEventParameterValueLength() : 0;
    for (const auto& [name, object] : parameters) {
        if (!MSRCheckEventParameterName(name, isPublic, replacements)) {
            removed.insert(name);
            continue;
        }
        std::optional<MSRValue> value = MSRValue::valueFromObject(object, true);
        if (!value) {
            removed.insert(name);
            MSRMonitor::shared()->logWithLevel(
                3, 18015, "Event parameter value must be of type NSString, NSNumber or NSArray. Type",
                {plainTypeName(std::get<foundation::Value>(object))});
            continue;
        }

        int64_t valueFailure = 0;
        bool valid = true;
        bool alreadyReplaced = false;
        if (isPublic) valid = MSRDataTypeValidator::isValidValue(&*value, 0, publicValueLimit, 3, &valueFailure);
        if (valid && name == "_ev") {
            alreadyReplaced = cutErrorValueIfTooLong(*value, replacements);
        } else if (valid && isInternalEvent) {
            valid = MSRDataTypeValidator::isValidInternalEventParameterValue(&*value, &valueFailure);
        }
        if (!valid) {
            removed.insert(name);
            if (valueFailure == kMSRValidationTooLong && !replacements.contains("_err")) {
                MSRSetErrorParameters(replacements, 4, name, kNameErrorLength,
                                      value->isString() ? &*value : nullptr);
            }
            continue;
        }

        const auto* plain = std::get_if<foundation::Value>(&object);
        if (value->isArray() && plain) {
            int64_t arrayFailure = 0;
            std::optional<MSRValue> cleaned = MSRCleanArrayParameter(
                *plain->list(), name, eventName, replacements, isNested, isPublic, &arrayFailure);
            if (arrayFailure != 0) MSRSetArrayParamError(replacements, arrayFailure, name, eventName);
            if (!cleaned) {
                removed.insert(name);
                continue;
            }
            value = std::move(cleaned);
        }
        if (plain && !alreadyReplaced) {
            // The names come in order: the end is the place of most.
            replacements.insert_or_assign(replacements.end(), name, std::move(*value));
            ++keptAsCleaned;
        }
    }

    MSRParameters result;
    const bool everythingRemoved = removed.size() == parameters.size();
    if (everythingRemoved || (removed.empty() && keptAsCleaned == parameters.size())) {
        // Nothing of the given parameters to add: every one was removed or
        // is in `replacements` already.
        result = std::move(replacements);
    } else {
        for (const auto& [name, object] : parameters) {
            if (removed.contains(name) || replacements.contains(name)) continue;
            if (const auto* typed = std::get_if<MSRValue>(&object)) {
                result.emplace(name, *typed);
            } else if (std::optional<MSRValue> value = MSRValue::valueFromObject(object, true)) {
                result.emplace(name, std::move(*value));
            }
        }
        result.merge(replacements);
    }
    if (everythingRemoved) return result;

    auto& config = *MSRDataTypeValidator::remoteConfig();
    if (!isNested) {
        const int64_t limit = config.maxPublicEventParams();
        if (MSRCountCustomParameters(result, false) > limit) {
            MSRTrimCustomParameters(result, limit, false);
            MSRSetErrorCodeIfAbsent(result, 5);
            MSRMonitor::shared()->logWithLevel(
                1, 18017, "Event cannot contain more than " + std::to_string(limit) + " parameters");
        }
    } else {
        const int64_t limit =
            config.itemScopedCustomParameterEnabled() ? config.maxItemScopedCustomParameters() : 0;
        if (MSRCountCustomParameters(result, true) > limit) {
            MSRTrimCustomParameters(result, limit, true);
            MSRSetErrorCodeIfAbsent(result, limit != 0 ? 28 : 23);
            MSRMonitor::shared()->logWithLevel(0, 18016, "Item cannot contain custom parameters");
        }
    }
    return result;
}

namespace {

// What MSRStoredParametersNeedCleaning asks of each parameter, fed one at a
// time so that stored bytes need no map.
class StoredParametersCheck {
  public:
    StoredParametersCheck(std::string_view eventName, const MSRStoredParameterLimits& limits)
        : isInternalEvent_(MSRInternalEventNameMap().contains(eventName) || startsWithUnderscore(eventName)),
          limits_(limits) {}

    // False once the parameter shows that cleaning could change something.
    // `textLength` only for text values.
    bool add(std::string_view name, std::optional<size_t> textLength) {
        // The names every stored event carries; any other passes the full
        // check (and its log lines) in the cleaning itself.
        if (name.empty() || name.size() > MSRDataTypeValidator::kMaxParameterNameLength) return false;
        for (const char c : name) {
            const bool plain =
                (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
            if (!plain) return false;
        }
        // A text within the limit in bytes is within it in code points too.
        if ((name == "_ev" || isInternalEvent_) && textLength &&
            static_cast<int64_t>(*textLength) > limits_.maxInternalValueLength)
            return false;
        if (isCustomName(name, false)) ++custom_;
        return true;
    }
    bool tooManyCustom() const { return custom_ > limits_.maxPublicEventParams; }

  private:
    bool isInternalEvent_;
    MSRStoredParameterLimits limits_;
    int64_t custom_ = 0;
};

}  // namespace

bool MSRStoredParametersNeedCleaning(const MSRParameters& parameters, std::string_view eventName) {
    if (parameters.empty()) return false;
    StoredParametersCheck check(eventName, MSRCurrentStoredParameterLimits());
    for (const auto& [name, value] : parameters) {
        const std::string* text = value.stringValue();
        if (!check.add(name, text ? std::optional<size_t>(text->size()) : std::nullopt)) return true;
    }
    return check.tooManyCustom();
}

MSRStoredParameterLimits MSRCurrentStoredParameterLimits() {
    std::shared_ptr<MSRRemoteConfig> config = MSRDataTypeValidator::remoteConfig();
    return {config->maxInternalEventParameterValueLength(), config->maxPublicEventParams()};
}

bool MSRFlatParametersNeedCleaning(std::span<const MSRPBFlatEventParam> parameters, std::string_view eventName,
                                   const MSRStoredParameterLimits& limits) {
    StoredParametersCheck check(eventName, limits);
    bool any = false;
    for (const MSRPBFlatEventParam& param : parameters) {
        if (param.name == "_o") continue;
        any = true;
        const bool isText = param.kind == MSRPBFlatEventParam::Kind::kText;
        if (!check.add(param.name, isText ? std::optional<size_t>(param.text.size()) : std::nullopt)) return true;
    }
    return any && check.tooManyCustom();
}

std::optional<MSRParameters> MSRCleanDefaultEventParameters(const MSRObjectDictionary& parameters,
                                                            bool isPublic) {
    return MSRCleanEventParameters(parameters, std::nullopt, isPublic, false);
}

std::optional<MSRValue> MSRCleanArrayParameter(const foundation::Value::List& list,
                                               std::string_view paramName,
                                               std::optional<std::string_view> eventName,
                                               MSRParameters& errorParameters, bool isNested, bool isPublic,
                                               int64_t* failureCode) {
    int64_t failure = 0;
    const bool valid = MSRDataTypeValidator::isValidArrayParamForEvent(
        eventName, paramName, static_cast<int64_t>(list.size()), isNested, &failure);
    if (failureCode) *failureCode = failure;
    if (!valid && failure != kMSRValidationTooManyItems) return std::nullopt;

    const size_t count = std::min<size_t>(list.size(), MSRDataTypeValidator::kMaxArrayItems);
    MSRValueList items;
    for (size_t index = 0; index < count; ++index) {
        const foundation::Value& item = list[index];
        if (!MSRDataTypeValidator::isValidArrayParamItem(item, nullptr)) {
            MSRSetErrorParameters(errorParameters, 4,
                                  std::string(paramName) + "[" + std::to_string(index) + "]",
                                  kNameErrorLength, nullptr);
            continue;
        }
        std::optional<MSRParameters> cleaned =
            MSRCleanEventParameters(objectsFromPlain(*item.dictionary()), eventName, isPublic, true);
        if (cleaned) items.push_back(std::move(*cleaned));
    }
    return MSRValue(std::move(items));
}

void MSRTrimCustomParameters(MSRParameters& parameters, int64_t limit, bool itemMode) {
    int64_t count = MSRCountCustomParameters(parameters, itemMode);
    if (count <= limit) return;
    std::vector<std::string> names;
    for (const auto& entry : parameters) names.push_back(entry.first);
    std::sort(names.begin(), names.end());
    // Down to and including the first name: with a limit of 0 the only
    // custom name may be the first one.
    for (auto it = names.rbegin(); it != names.rend() && count > limit; ++it) {
        if (!MSRIsPublicName(*it) || (itemMode && MSRIsItemParameterName(*it))) continue;
        parameters.erase(*it);
        --count;
    }
}

int64_t MSRCountCustomParameters(const MSRParameters& parameters, bool itemMode) {
    int64_t count = 0;
    for (const auto& entry : parameters) {
        if (isCustomName(entry.first, itemMode)) ++count;
    }
    return count;
}

bool MSRCheckEventParameterName(std::string_view name, bool isPublic, MSRParameters& errorParameters) {
    int64_t failure = 0;
    bool valid = true;
    if (isPublic) valid = MSRDataTypeValidator::isValidPublicEventParameterName(name, &failure);
    if (valid) valid = MSRDataTypeValidator::isValidInternalEventParameterName(name, &failure);
    if (valid) return true;
    if (failure != 0 && !errorParameters.contains("_err")) {
        const int64_t code = failure == kMSRValidationReserved ? 14 : 3;
        const MSRValue nameValue{std::string(name)};
        const bool tooLong = msr_UTF32LengthAtMost(name, kNameErrorLength) > kNameErrorLength;
        MSRSetErrorParameters(errorParameters, code, name, kNameErrorLength, tooLong ? &nameValue : nullptr);
    }
    return false;
}

bool MSRCheckConversionValue(MSRParameters& parameters) {
    auto value = parameters.find("value");
    if (value == parameters.end()) return true;
    const int64_t maxLength = maxInternalValueLengthToClean();
    if (!MSRDataTypeValidator::isValidNumericValue(&value->second, nullptr)) {
        parameters.erase(value);
        MSRSetErrorParameters(parameters, 18, "value", maxLength, nullptr);
        return false;
    }
    auto currency = parameters.find("currency");
    const MSRValue* currencyValue = currency == parameters.end() ? nullptr : &currency->second;
    if (!MSRDataTypeValidator::isValidCurrencyCode(currencyValue, nullptr)) {
        MSRMonitor::shared()->logWithLevel(
            3, 18014,
            "Value parameter discarded. You must also supply a 3-letter ISO_4217 currency code in "
            "the currency parameter.");
        parameters.erase(value);
        MSRSetErrorParameters(parameters, 19, "currency", maxLength, nullptr);
        return false;
    }
    return true;
}

void MSRSetErrorValueParameters(MSRParameters& parameters, std::optional<std::string_view> name,
                                int64_t maxLength, const MSRValue* value) {
    if (parameters.contains("_ev") || parameters.contains("_el")) return;
    std::string text = name ? std::string(*name) : std::string("(nil)");
    if (msr_UTF32LengthAtMost(text, maxLength) > maxLength) text = msr_UTF32Prefix(text, maxLength) + "...";
    parameters.insert_or_assign("_ev", MSRValue(std::move(text)));
    if (!value) return;
    int64_t length = 0;
    if (const std::string* valueText = value->stringValue()) length = msr_UTF32Length(*valueText);
    if (const MSRValueList* items = value->arrayValue()) length = static_cast<int64_t>(items->size());
    parameters.insert_or_assign("_el", MSRValue(length));
}

void MSRSetErrorCodeIfAbsent(MSRParameters& parameters, int64_t code) {
    if (!parameters.contains("_err")) parameters.insert_or_assign("_err", MSRValue(code));
}

void MSRSetErrorParameters(MSRParameters& parameters, int64_t code, std::optional<std::string_view> name,
                           int64_t maxLength, const MSRValue* value) {
    if (parameters.contains("_ev") || parameters.contains("_el") || parameters.contains("_err")) return;
    parameters.insert_or_assign("_err", MSRValue(code));
    MSRSetErrorValueParameters(parameters, name, maxLength, value);
}

void MSRSetArrayParamError(MSRParameters& parameters, int64_t arrayFailureCode, std::string_view paramName,
                           std::optional<std::string_view> eventName) {
    switch (arrayFailureCode) {
        case kMSRValidationArrayOnNonEcommerceEvent:
            MSRSetErrorParameters(parameters, 21, eventName, kNameErrorLength, nullptr);
            break;
        case kMSRValidationArrayNotNamedItems:
            MSRSetErrorParameters(parameters, 20, paramName, kNameErrorLength, nullptr);
            break;
        case kMSRValidationTooManyItems:
            MSRSetErrorParameters(parameters, 17, paramName, kNameErrorLength, nullptr);
            break;
        case kMSRValidationNestedArray:
            MSRSetErrorParameters(parameters, 22, paramName, kNameErrorLength, nullptr);
            break;
        default:
            break;
    }
}

std::optional<MSRParameters> MSRErrorEventParameters(int64_t code, std::optional<std::string_view> name,
                                                     int64_t maxLength, const MSRValue* value) {
    if (code == 0) return std::nullopt;
    MSRParameters parameters{{"_err", MSRValue(code)}};
    bool withValue = code == 4 || code == 7;
    if (value) {
        if (const std::string* text = value->stringValue()) {
            withValue = withValue || msr_UTF32Length(*text) > maxLength;
        }
    }
    MSRSetErrorValueParameters(parameters, name, maxLength, withValue ? value : nullptr);
    return parameters;
}

void MSRSetInternalEventLogger(MSRInternalEventLogger logger) {
    std::lock_guard lock(gLoggerMutex);
    gLogger = std::move(logger);
}

namespace {
thread_local MSRErrorEventCapture* tErrorCapture = nullptr;

void logErrorEvent(const MSRParameters& parameters) {
    if (tErrorCapture) {
        tErrorCapture->capture(parameters);
        return;
    }
    MSRInternalEventLogger logger;
    {
        std::lock_guard lock(gLoggerMutex);
        logger = gLogger;
    }
    if (logger) logger("auto", "_err", parameters);
}
}  // namespace

MSRErrorEventCapture::MSRErrorEventCapture() : previous_(tErrorCapture) { tErrorCapture = this; }

MSRErrorEventCapture::~MSRErrorEventCapture() { tErrorCapture = previous_; }

void MSRErrorEventCapture::capture(MSRParameters parameters) {
    if (captured_.size() < kMaxCaptured) captured_.push_back(std::move(parameters));
}

void MSRLogErrorEvent(int64_t code) {
    if (code == 0) return;
    logErrorEvent(MSRParameters{{"_err", MSRValue(code)}});
}

void MSRLogErrorEventWithValue(int64_t code, std::optional<std::string_view> name, int64_t maxLength,
                               const MSRValue* value) {
    if (std::optional<MSRParameters> parameters = MSRErrorEventParameters(code, name, maxLength, value)) {
        logErrorEvent(*parameters);
    }
}

bool MSRHasScreenParameters(const MSRParameters& parameters) {
    return parameters.contains("_si") || parameters.contains("_sc") || parameters.contains("_sn");
}

MSRParameters MSRExtractScreenParameters(const MSRParameters& parameters) {
    MSRParameters screen;
    for (const char* name : {"_si", "_sc", "_sn"}) {
        auto it = parameters.find(name);
        if (it != parameters.end()) screen.emplace(it->first, it->second);
    }
    return screen;
}
