#include "analytics/audience/MSRAudienceFilterMatching.h"

#include <re2/re2.h>
#include <unicode/unistr.h>
#include <unicode/uchar.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/model/MSRNameTables.h"
#include "analytics/support/MSRMonitor.h"
#include "analytics/support/MSRNumericUtil.h"
#include "analytics/support/MSRRemoteConfig.h"

namespace {

namespace FilterSlot = MSRFilterSlot;
namespace NumberSlot = MSRNumberFilterSlot;
namespace StringSlot = MSRStringFilterSlot;

enum ComparisonType : int32_t { kUnknownComparison = 0, kLessThan = 1, kGreaterThan = 2, kEqual = 3, kBetween = 4 };
enum MatchType : int32_t {
    kUnknownMatch = 0,
    kRegularExpression = 1,
    kBeginsWith = 2,
    kEndsWith = 3,
    kContains = 4,
    kExact = 5,
    kInList = 6,
};

constexpr int64_t kAudienceErrorCode = 9;
constexpr int64_t kEventFilterErrorCode = 10;
constexpr int64_t kPropertyFilterErrorCode = 11;

void report(int64_t level, int64_t code, std::string_view message, const std::vector<MSRLogContext>& contexts = {}) {
    if (std::shared_ptr<MSRMonitor> monitor = MSRMonitor::shared())
        monitor->logWithLevel(level, code, message, contexts);
}

std::string optionalText(const NANOMessageBase& message, uint32_t slot) {
    return MSRPBGetString(message, slot).value_or("");
}

// A short form of a number filter for log contexts.
std::string numberFilterText(const MSRPBNumberFilter& filter) {
    return "type=" + std::to_string(MSRPBGetInt32(filter, NumberSlot::kComparisonType)) +
           " value=" + optionalText(filter, NumberSlot::kComparisonValue) +
           " min=" + optionalText(filter, NumberSlot::kMinComparisonValue) +
           " max=" + optionalText(filter, NumberSlot::kMaxComparisonValue);
}

std::string stringFilterText(const MSRPBStringFilter& filter) {
    return "type=" + std::to_string(MSRPBGetInt32(filter, StringSlot::kMatchType)) +
           " expression=" + optionalText(filter, StringSlot::kExpression);
}

bool isDecimalOperand(const MSRPBNumberFilter& filter, uint32_t slot) {
    std::optional<std::string> text = MSRPBGetString(filter, slot);
    return text && MSRIsDecimalNumberString(*text);
}

// --- Case-insensitive text comparison ---

bool isASCII(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80) return false;
    }
    return true;
}

std::string asciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

// Both texts in one comparable form: as they are, or case-folded (ASCII
// directly, anything else through ICU's full case folding).
std::pair<std::string, std::string> comparableForms(std::string_view text, std::string_view expression,
                                                    bool caseSensitive) {
    if (caseSensitive) return {std::string(text), std::string(expression)};
    if (isASCII(text) && isASCII(expression)) return {asciiLower(text), asciiLower(expression)};
    auto fold = [](std::string_view utf8) {
        icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
        unicode.foldCase(U_FOLD_CASE_DEFAULT);
        std::string folded;
        unicode.toUTF8String(folded);
        return folded;
    };
    return {fold(text), fold(expression)};
}

bool matchesByType(int32_t type, std::string_view text, std::string_view expression, bool caseSensitive) {
    auto [s, e] = comparableForms(text, expression, caseSensitive);
    switch (type) {
        case kBeginsWith:
            return s.compare(0, e.size(), e) == 0 && s.size() >= e.size();
        case kEndsWith:
            return s.size() >= e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
        case kContains:
            return s.find(e) != std::string::npos;
        case kExact:
            return s == e;
        default:
            return false;
    }
}

std::optional<double> doubleOperand(const MSRPBNumberFilter& filter, uint32_t slot) {
    std::optional<std::string> text = MSRPBGetString(filter, slot);
    if (!text || !MSRIsDecimalNumberString(*text)) return std::nullopt;
    // The text passed the decimal pattern, so strtod reads all of it; the C
    // locale's point is the "en_US" one.
    return std::strtod(text->c_str(), nullptr);
}

}  // namespace

// --- Regular expressions ---

MSRRegexCache::MSRRegexCache() = default;
MSRRegexCache::~MSRRegexCache() = default;

const re2::RE2* MSRRegexCache::regex(const std::string& pattern, bool caseSensitive, std::string* errorText) {
    auto key = std::make_pair(pattern, caseSensitive);
    auto found = compiled_.find(key);
    if (found == compiled_.end()) {
        re2::RE2::Options options;
        options.set_case_sensitive(caseSensitive);
        options.set_log_errors(false);
        auto compiled = std::make_shared<const re2::RE2>(pattern, options);
        if (!compiled->ok()) {
            if (errorText) *errorText = compiled->error();
            compiled.reset();
        }
        found = compiled_.emplace(std::move(key), std::move(compiled)).first;
    }
    if (!found->second && errorText && errorText->empty()) *errorText = "the expression is not supported";
    return found->second.get();
}

// --- Numbers ---

bool MSRIsValidNumberFilter(const MSRPBNumberFilter& filter) {
    if (!MSRPBHasField(filter, NumberSlot::kComparisonType)) {
        report(1, 8006, "Number filter has no comparison type", {numberFilterText(filter)});
        return false;
    }
    const int32_t type = MSRPBGetInt32(filter, NumberSlot::kComparisonType);
    switch (type) {
        case kLessThan:
        case kGreaterThan:
        case kEqual:
            if (!isDecimalOperand(filter, NumberSlot::kComparisonValue)) {
                report(1, 8008, "Numeric filter does not have a valid comparison value. Filter", {numberFilterText(filter)});
                return false;
            }
            return true;
        case kBetween: {
            const bool minimum = isDecimalOperand(filter, NumberSlot::kMinComparisonValue);
            if (!minimum)
                report(1, 8009, "Numeric filter does not have a valid min comparison value. Filter", {numberFilterText(filter)});
            const bool maximum = isDecimalOperand(filter, NumberSlot::kMaxComparisonValue);
            if (!maximum)
                report(1, 8010, "Numeric filter does not have a valid max comparison value. Filter", {numberFilterText(filter)});
            return minimum && maximum;
        }
        case kUnknownComparison:
            report(1, 8007, "Number filter has unknown comparison type", {numberFilterText(filter)});
            return false;
        default:
            report(1, 8011, "Number filter has a real unknown comparison type", {numberFilterText(filter)});
            return false;
    }
}

std::optional<bool> MSRCompareDecimal(const MSRPBNumberFilter& filter, const MSRDecimalNumber& value) {
    if (!MSRIsValidNumberFilter(filter)) return std::nullopt;
    const int32_t type = MSRPBGetInt32(filter, NumberSlot::kComparisonType);
    MSRAudienceComparisonValues operands;
    auto parse = [&](uint32_t slot, std::optional<MSRDecimalNumber>& into, int64_t code, const char* message) {
        into = MSRDecimalNumberFromString(optionalText(filter, slot));
        if (!into) {
            report(1, code, message, {numberFilterText(filter)});
            operands.valid = false;
        }
    };
    if (type == kBetween) {
        if (!MSRPBHasField(filter, NumberSlot::kMinComparisonValue) ||
            !MSRPBHasField(filter, NumberSlot::kMaxComparisonValue)) {
            report(1, 8003, "Number filter does not have both min and max comparison values", {numberFilterText(filter)});
            operands.valid = false;
        } else {
            parse(NumberSlot::kMinComparisonValue, operands.minComparisonValue, 8004,
                  "Number filter min comparison value is not a number");
            parse(NumberSlot::kMaxComparisonValue, operands.maxComparisonValue, 8005,
                  "Number filter max comparison value is not a number");
        }
    } else if (type == kUnknownComparison) {
        report(1, 8000, "Number filter has unknown comparison type", {numberFilterText(filter)});
        operands.valid = false;
    } else if (!MSRPBHasField(filter, NumberSlot::kComparisonValue)) {
        report(1, 8001, "Number filter has no comparison value", {numberFilterText(filter)});
        operands.valid = false;
    } else {
        parse(NumberSlot::kComparisonValue, operands.comparisonValue, 8002,
              "Number filter comparison value is not a number");
    }
    if (!operands.valid) {
        report(1, 8015, "Parsed decimal number comparison values are not valid. Audience filter will not be evaluated. Filter",
               {numberFilterText(filter)});
        return std::nullopt;
    }
    switch (type) {
        case kLessThan:
            return value.compare(*operands.comparisonValue) < 0;
        case kGreaterThan:
            return value.compare(*operands.comparisonValue) > 0;
        case kEqual:
            return value.compare(*operands.comparisonValue) == 0;
        case kBetween:
            return value.compare(*operands.minComparisonValue) >= 0 && value.compare(*operands.maxComparisonValue) <= 0;
        default:
            return false;
    }
}

std::optional<bool> MSRCompareInt64(const MSRPBNumberFilter& filter, int64_t value) {
    std::optional<MSRDecimalNumber> decimal = MSRDecimalNumber::fromString(std::to_string(value));
    if (!decimal) return std::nullopt;
    return MSRCompareDecimal(filter, *decimal);
}

std::optional<bool> MSRCompareDouble(const MSRPBNumberFilter& filter, double value) {
    if (!MSRIsValidNumberFilter(filter)) return std::nullopt;
    const int32_t type = MSRPBGetInt32(filter, NumberSlot::kComparisonType);
    std::optional<double> operand, minimum, maximum;
    bool parsed;
    if (type == kBetween) {
        minimum = doubleOperand(filter, NumberSlot::kMinComparisonValue);
        maximum = doubleOperand(filter, NumberSlot::kMaxComparisonValue);
        parsed = minimum && maximum;
    } else {
        operand = doubleOperand(filter, NumberSlot::kComparisonValue);
        parsed = operand.has_value();
    }
    if (!parsed) {
        report(1, 8012, "Number filter is invalid, the comparison filter is not valid. Audience filter will not be evaluated",
               {numberFilterText(filter)});
        return std::nullopt;
    }
    switch (type) {
        case kLessThan:
            return value < *operand;
        case kGreaterThan:
            return value > *operand;
        case kEqual: {
            // Equal within one representable double either way: the
            // comparison value's text and the logged double may round apart.
            constexpr double kDown = -std::numeric_limits<double>::infinity();
            constexpr double kUp = std::numeric_limits<double>::infinity();
            const double lo = std::nextafter(std::nextafter(*operand, kDown), kDown);
            const double hi = std::nextafter(std::nextafter(*operand, kUp), kUp);
            return lo < value && value < hi;
        }
        case kBetween:
            return *minimum <= value && value <= *maximum;
        default:
            return false;
    }
}

// --- Texts ---

bool MSRIsValidStringFilter(const MSRPBStringFilter& filter, MSRRegexCache* regexes, const re2::RE2** regex) {
    if (!MSRPBHasField(filter, StringSlot::kMatchType)) {
        report(1, 9000, "String filter has no match type", {stringFilterText(filter)});
        return false;
    }
    const int32_t type = MSRPBGetInt32(filter, StringSlot::kMatchType);
    if (type == kInList) {
        if (MSRPBGetArray(filter, StringSlot::kExpressionList).empty()) {
            report(1, 9003, "String filter has no expression list", {stringFilterText(filter)});
            return false;
        }
        return true;
    }
    if (type == kUnknownMatch) {
        report(1, 9001, "String filter has unknown match type", {stringFilterText(filter)});
        return false;
    }
    std::optional<std::string> expression = MSRPBGetString(filter, StringSlot::kExpression);
    if (!expression) {
        report(1, 9002, "String filter has no expression", {stringFilterText(filter)});
        return false;
    }
    if (type != kRegularExpression) return true;
    MSRRegexCache local;
    MSRRegexCache& cache = regexes ? *regexes : local;
    std::string errorText;
    const re2::RE2* compiled = cache.regex(*expression, MSRPBGetBool(filter, StringSlot::kCaseSensitive), &errorText);
    if (!compiled) {
        report(1, 9004, "Unable to parse regular expression", {stringFilterText(filter), errorText});
        return false;
    }
    // Without a cache of the caller's the expression dies with this call.
    if (regex) *regex = regexes ? compiled : nullptr;
    return true;
}

std::optional<bool> MSRMatchStringFilter(const MSRPBStringFilter& filter, std::string_view text,
                                         MSRRegexCache* regexes) {
    MSRRegexCache local;
    MSRRegexCache& cache = regexes ? *regexes : local;
    const re2::RE2* regex = nullptr;
    if (!MSRIsValidStringFilter(filter, &cache, &regex)) {
        report(1, 9006, "String filter is invalid. Audience filter will not be evaluated", {stringFilterText(filter)});
        return std::nullopt;
    }
    const int32_t type = MSRPBGetInt32(filter, StringSlot::kMatchType);
    const bool caseSensitive = MSRPBGetBool(filter, StringSlot::kCaseSensitive);
    if (type == kRegularExpression) {
        if (!regex) {
            report(1, 9008, "Parsed regex is nil. Audience filter will not be evaluated");
            return std::nullopt;
        }
        return re2::RE2::PartialMatch(re2::StringPiece(text.data(), text.size()), *regex);
    }
    if (type == kInList) {
        for (const MSRPBValue& entry : MSRPBGetArray(filter, StringSlot::kExpressionList)) {
            const auto* expression = std::get_if<std::string>(&entry);
            if (expression && matchesByType(kExact, text, *expression, caseSensitive)) return true;
        }
        return false;
    }
    return matchesByType(type, text, optionalText(filter, StringSlot::kExpression), caseSensitive);
}

// --- Values, events and properties ---

std::optional<bool> MSRMatchFilter(const MSRPBFilter& filter, const MSRValue& value, MSRRegexCache* regexes) {
    std::optional<MSRPBNumberFilter> numberFilter = MSRPBGetMessage<MSRPBNumberFilter>(filter, FilterSlot::kNumberFilter);
    std::optional<MSRPBStringFilter> stringFilter;
    if (!numberFilter) stringFilter = MSRPBGetMessage<MSRPBStringFilter>(filter, FilterSlot::kStringFilter);
    if (!numberFilter && !stringFilter) {
        report(1, 7000, "Filter has neither a number nor string filter. Audience filter will not be evaluated");
        return std::nullopt;
    }
    std::optional<bool> outcome;
    if (numberFilter) {
        if (const std::string* text = value.stringValue()) {
            if (!MSRIsDecimalNumberString(*text)) {
                report(3, 7001, "String value is not a numeric value. Audience filter will not be evaluated. Value, filter",
                       {*text, numberFilterText(*numberFilter)});
                return std::nullopt;
            }
            std::optional<MSRDecimalNumber> decimal = MSRDecimalNumberFromString(*text);
            if (!decimal) return std::nullopt;
            outcome = MSRCompareDecimal(*numberFilter, *decimal);
        } else if (value.isDouble()) {
            if (!std::isfinite(value.doubleValue())) {
                report(3, 7002, "Value is not within double range. Audience filter will not be evaluated");
                return std::nullopt;
            }
            outcome = MSRCompareDouble(*numberFilter, value.doubleValue());
        } else if (value.isInt64()) {
            outcome = MSRCompareInt64(*numberFilter, value.int64Value());
        } else {
            return std::nullopt;
        }
    } else {
        const std::string* text = value.stringValue();
        if (!text) {
            report(3, 7003, "Value is not a string. Audience filter will not be evaluated");
            return std::nullopt;
        }
        outcome = MSRMatchStringFilter(*stringFilter, *text, regexes);
    }
    if (outcome && MSRPBGetBool(filter, FilterSlot::kComplement)) outcome = !*outcome;
    return outcome;
}

std::optional<bool> MSRMatchEventFilter(const MSRPBEventFilter& filter, const std::string& eventName,
                                        const MSRParameters& parameters, const MSREventAggregates& aggregates,
                                        MSRRegexCache* regexes) {
    namespace Slot = MSREventFilterSlot;
    if (eventName.empty()) {
        report(1, 7005, "Event name is nil. Audience filter will not be evaluated");
        return std::nullopt;
    }
    if (MSRPBGetString(filter, Slot::kEventName) != eventName) {
        report(1, 7006, "Event filter name does not match event name. Audience filter will not be evaluated");
        return std::nullopt;
    }
    std::optional<MSRPBNumberFilter> countFilter = MSRPBGetMessage<MSRPBNumberFilter>(filter, Slot::kCountFilter);
    std::vector<MSRPBFilter> parameterFilters = MSRPBGetMessageArray<MSRPBFilter>(filter, Slot::kParameterFilters);
    if (!countFilter && parameterFilters.empty()) return true;
    if (countFilter) {
        if (aggregates.name() != eventName) {
            report(1, 7007,
                   "Event aggregates name does not match event name. Audience filter will not be evaluated",
                   {MSRDebugEventName(aggregates.name()), MSRDebugEventName(eventName), numberFilterText(*countFilter)});
            return std::nullopt;
        }
        const int32_t count = MSRPBGetBool(filter, Slot::kSessionScoped) ? aggregates.currentSessionCount()
                                                                         : aggregates.lifetimeCount();
        std::optional<bool> outcome = MSRCompareInt64(*countFilter, count);
        if (!outcome || !*outcome) return outcome;
    }
    for (const MSRPBFilter& parameterFilter : parameterFilters) {
        std::optional<std::string> name = MSRPBGetString(parameterFilter, MSRFilterSlot::kParameterName);
        if (!name) {
            report(1, 7008, "Event filter does not have parameter name. Audience filter will not be evaluated");
            return std::nullopt;
        }
        auto value = parameters.find(*name);
        if (value == parameters.end()) {
            report(3, 7009, "Event does not have parameter required by filter. Audience filter will not be evaluated",
                   {MSRDebugEventName(eventName), MSRDebugParameters(parameters, ""), *name});
            return std::nullopt;
        }
        if (value->second.isString() && !MSRPBHasField(parameterFilter, MSRFilterSlot::kStringFilter)) {
            report(3, 7010,
                   "Event param is a string and the filter does not have a string filter. Audience filter will not be "
                   "evaluated. Event name, event params, filter",
                   {MSRDebugEventName(eventName), MSRDebugParameters(parameters, ""), *name});
            return std::nullopt;
        }
        std::optional<bool> outcome = MSRMatchFilter(parameterFilter, value->second, regexes);
        if (!outcome || !*outcome) return outcome;
    }
    return true;
}

std::optional<bool> MSRMatchPropertyFilter(const MSRPBPropertyFilter& filter, const MSRUserAttribute& attribute,
                                           MSRRegexCache* regexes) {
    namespace Slot = MSRPropertyFilterSlot;
    if (MSRPBGetString(filter, Slot::kPropertyName) != attribute.name()) {
        report(1, 7013, "User property name does not match property filter name. Audience filter will not be evaluated");
        return std::nullopt;
    }
    std::optional<MSRPBFilter> valueFilter = MSRPBGetMessage<MSRPBFilter>(filter, Slot::kFilter);
    if (!valueFilter) {
        report(1, 7014, "Property filter does not have filter. Audience filter will not be evaluated");
        return std::nullopt;
    }
    const MSRValue& value = attribute.value();
    if (!value.isString() && !value.isInt64() && !value.isDouble()) {
        report(1, 7015, "Unknown user property type. Audience filter will not be evaluated. Property Name",
               {MSRDebugUserPropertyName(attribute.name())});
        return std::nullopt;
    }
    return MSRMatchFilter(*valueFilter, value, regexes);
}

// --- Definitions ---

namespace {

bool refuse(MSRError* error, int64_t code, const char* description) {
    MSRSetError(error, code, description);
    return false;
}

// A parameter or property value filter: exactly one of the two kinds, and
// that one valid.
bool checkValueFilter(const MSRPBFilter& filter, int64_t code, const char* oneOf, const char* badNumber,
                      const char* badString, MSRError* error) {
    std::optional<MSRPBNumberFilter> number = MSRPBGetMessage<MSRPBNumberFilter>(filter, MSRFilterSlot::kNumberFilter);
    std::optional<MSRPBStringFilter> text = MSRPBGetMessage<MSRPBStringFilter>(filter, MSRFilterSlot::kStringFilter);
    if (number.has_value() == text.has_value()) return refuse(error, code, oneOf);
    if (number && !MSRIsValidNumberFilter(*number)) return refuse(error, code, badNumber);
    if (text && !MSRIsValidStringFilter(*text)) return refuse(error, code, badString);
    return true;
}

}  // namespace

bool MSRValidateAudience(const MSRPBAudience& audience, const std::set<int32_t>& acceptedIDs,
                         MSRRemoteConfig& remoteConfig, MSRError* error) {
    namespace Slot = MSRAudienceSlot;
    if (!MSRPBHasField(audience, Slot::kAudienceID)) return refuse(error, kAudienceErrorCode, "Missing audience ID");
    const int32_t audienceID = MSRPBGetInt32(audience, Slot::kAudienceID);
    if (audienceID < 0) return refuse(error, kAudienceErrorCode, "Audience ID is negative");
    if (acceptedIDs.count(audienceID)) return refuse(error, kAudienceErrorCode, "Duplicate audience ID");

    std::vector<MSRPBEventFilter> eventFilters = MSRPBGetMessageArray<MSRPBEventFilter>(audience, Slot::kEventFilters);
    std::vector<MSRPBPropertyFilter> propertyFilters =
        MSRPBGetMessageArray<MSRPBPropertyFilter>(audience, Slot::kPropertyFilters);
    // Repeated fields read as present even when empty: no filter of either
    // kind is the missing-arrays case.
    if (eventFilters.empty() && propertyFilters.empty())
        return refuse(error, kAudienceErrorCode, "Audience missing filters arrays");
    const int64_t maxFilters = remoteConfig.maxFiltersPerAudience();
    const size_t filterCount = eventFilters.size() + propertyFilters.size();
    if (static_cast<int64_t>(filterCount) > maxFilters)
        return refuse(error, kAudienceErrorCode, "Audience filter count out of range");

    std::set<int32_t> filterIDs;
    for (const MSRPBEventFilter& filter : eventFilters) {
        namespace E = MSREventFilterSlot;
        if (optionalText(filter, E::kEventName).empty())
            return refuse(error, kEventFilterErrorCode, "Event filter missing event name");
        if (!MSRPBHasField(filter, E::kFilterID)) return refuse(error, kEventFilterErrorCode, "Missing event filter ID");
        const int32_t id = MSRPBGetInt32(filter, E::kFilterID);
        if (id < 0 || id >= maxFilters) return refuse(error, kEventFilterErrorCode, "Event filter ID is out of range");
        if (!filterIDs.insert(id).second) return refuse(error, kEventFilterErrorCode, "Duplicate event filter ID");
        if (std::optional<MSRPBNumberFilter> count = MSRPBGetMessage<MSRPBNumberFilter>(filter, E::kCountFilter)) {
            if (MSRPBGetBool(*count, NumberSlot::kFloatComparison))
                return refuse(error, kEventFilterErrorCode, "Event filter has float event count filter");
            if (!MSRIsValidNumberFilter(*count))
                return refuse(error, kEventFilterErrorCode, "Event filter has invalid event count filter");
        }
        std::vector<MSRPBFilter> parameterFilters = MSRPBGetMessageArray<MSRPBFilter>(filter, E::kParameterFilters);
        if (static_cast<int64_t>(parameterFilters.size()) > remoteConfig.maxParametersPerFilter())
            return refuse(error, kEventFilterErrorCode, "Event filter parameters filters count out of range");
        for (const MSRPBFilter& parameterFilter : parameterFilters) {
            if (optionalText(parameterFilter, FilterSlot::kParameterName).empty())
                return refuse(error, kEventFilterErrorCode, "Event filter missing parameter name");
            if (!checkValueFilter(parameterFilter, kEventFilterErrorCode,
                                  "Event filter must have exactly one of number or string filter",
                                  "Event filter has invalid number filter", "Event filter has invalid string filter",
                                  error))
                return false;
        }
    }
    for (const MSRPBPropertyFilter& filter : propertyFilters) {
        namespace P = MSRPropertyFilterSlot;
        if (optionalText(filter, P::kPropertyName).empty())
            return refuse(error, kPropertyFilterErrorCode, "Property filter missing property name");
        if (!MSRPBHasField(filter, P::kFilterID)) return refuse(error, kPropertyFilterErrorCode, "Missing property filter ID");
        const int32_t id = MSRPBGetInt32(filter, P::kFilterID);
        if (id < 0 || id >= maxFilters)
            return refuse(error, kPropertyFilterErrorCode, "Property filter ID is out of range");
        if (!filterIDs.insert(id).second) return refuse(error, kPropertyFilterErrorCode, "Duplicate property filter ID");
        std::optional<MSRPBFilter> valueFilter = MSRPBGetMessage<MSRPBFilter>(filter, P::kFilter);
        if (!valueFilter) return refuse(error, kPropertyFilterErrorCode, "Property filter has no filter");
        if (!checkValueFilter(*valueFilter, kPropertyFilterErrorCode,
                              "Property filter must have exactly one of number or string filter",
                              "Property filter has invalid number filter", "Property filter has invalid string filter",
                              error))
            return false;
    }
    return true;
}
