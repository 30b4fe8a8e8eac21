#include "analytics/audience/MSRAudienceFilterMatching.h"

#include <re2/re2.h>
#include <unicode/unistr.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/model/MSRFoundationAdditions.h"
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

void reportFilterMatching(int64_t level, int64_t code, std::string_view message, const std::vector<MSRLogContext>& contexts = {}) {
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

// Case-folded: ASCII directly (ICU's folding of ASCII is its lower case),
// anything else through ICU's full case folding.
std::string folded(std::string_view text) {
    if (isASCII(text)) return asciiLower(text);
    icu::UnicodeString unicode =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    unicode.foldCase(U_FOLD_CASE_DEFAULT);
    std::string out;
    unicode.toUTF8String(out);
    return out;
}

// Lengths count UTF-16 units, as the platform's text measures them: full
// folding may change a text's length ("ß" folds to "ss"), and a match that
// ignores case still asks for the lengths the texts have as given.
size_t utf16Length(std::string_view text) { return static_cast<size_t>(msr_UTF16Length(text)); }

// The last `units` UTF-16 units of `text`; nothing when they would split a
// code point or the text is shorter.
std::optional<std::string_view> lastUnits(std::string_view text, size_t units) {
    size_t start = text.size();
    size_t counted = 0;
    while (counted < units && start > 0) {
        --start;
        const auto c = static_cast<unsigned char>(text[start]);
        if ((c & 0xC0) == 0x80) continue;
        counted += c >= 0xF0 ? 2 : 1;
    }
    if (counted != units) return std::nullopt;
    return text.substr(start);
}

// `e` already in the comparable form of the filter.
bool matchesByType(int32_t type, std::string_view s, std::string_view e) {
    switch (type) {
        case kBeginsWith:
            return s.size() >= e.size() && s.compare(0, e.size(), e) == 0;
        case kEndsWith:
            return s.size() >= e.size() && s.compare(s.size() - e.size(), e.size(), e) == 0;
        case kContains:
            return s.find(e) != std::string_view::npos;
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

// --- Compiled operands ---

}  // namespace

// The compiled filters declared in the header hold these operands, so their
// types are named (with the filters' own linkage) rather than file-local.
namespace MSRAudienceFilterOperands {

struct NumberOperands {
    std::string text;  // for log lines
    bool valid = false;
    int32_t type = kUnknownComparison;
    MSRAudienceComparisonValues decimals;
    bool doublesParsed = false;
    double value = 0, minimum = 0, maximum = 0;
    // The operands as 64-bit integers when they all are whole numbers that
    // fit: integers (counts above all) then compare without decimals.
    bool integral = false;
    int64_t integerValue = 0, integerMinimum = 0, integerMaximum = 0;
};

}  // namespace MSRAudienceFilterOperands

namespace {

using MSRAudienceFilterOperands::NumberOperands;

// A whole number written without a point ("12", "-3", "+7") that fits.
std::optional<int64_t> integerOperand(const std::optional<MSRDecimalNumber>& decimal, const MSRPBNumberFilter& filter,
                                      uint32_t slot) {
    if (!decimal) return std::nullopt;
    std::string text = optionalText(filter, slot);
    if (!text.empty() && text[0] == '+') text.erase(0, 1);
    int64_t integer = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), integer);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return integer;
}

NumberOperands compileNumber(const MSRPBNumberFilter& filter) {
    NumberOperands operands;
    operands.text = numberFilterText(filter);
    operands.type = MSRPBGetInt32(filter, NumberSlot::kComparisonType);
    operands.valid = MSRIsValidNumberFilter(filter);
    if (!operands.valid) return operands;
    const std::vector<MSRLogContext> context{operands.text};
    MSRAudienceComparisonValues& decimals = operands.decimals;
    auto parse = [&](uint32_t slot, std::optional<MSRDecimalNumber>& into, int64_t code, const char* message) {
        into = MSRDecimalNumberFromString(optionalText(filter, slot));
        if (!into) {
            reportFilterMatching(1, code, message, context);
            decimals.valid = false;
        }
    };
    if (operands.type == kBetween) {
        if (!MSRPBHasField(filter, NumberSlot::kMinComparisonValue) ||
            !MSRPBHasField(filter, NumberSlot::kMaxComparisonValue)) {
            reportFilterMatching(1, 8003, "Number filter does not have both min and max comparison values", context);
            decimals.valid = false;
        } else {
            parse(NumberSlot::kMinComparisonValue, decimals.minComparisonValue, 8004,
                  "Number filter min comparison value is not a number");
            parse(NumberSlot::kMaxComparisonValue, decimals.maxComparisonValue, 8005,
                  "Number filter max comparison value is not a number");
        }
        std::optional<int64_t> integerMinimum =
            integerOperand(decimals.minComparisonValue, filter, NumberSlot::kMinComparisonValue);
        std::optional<int64_t> integerMaximum =
            integerOperand(decimals.maxComparisonValue, filter, NumberSlot::kMaxComparisonValue);
        operands.integral = decimals.valid && integerMinimum && integerMaximum;
        operands.integerMinimum = integerMinimum.value_or(0);
        operands.integerMaximum = integerMaximum.value_or(0);
        std::optional<double> minimum = doubleOperand(filter, NumberSlot::kMinComparisonValue);
        std::optional<double> maximum = doubleOperand(filter, NumberSlot::kMaxComparisonValue);
        operands.doublesParsed = minimum && maximum;
        operands.minimum = minimum.value_or(0);
        operands.maximum = maximum.value_or(0);
    } else {
        if (!MSRPBHasField(filter, NumberSlot::kComparisonValue)) {
            reportFilterMatching(1, 8001, "Number filter has no comparison value", context);
            decimals.valid = false;
        } else {
            parse(NumberSlot::kComparisonValue, decimals.comparisonValue, 8002,
                  "Number filter comparison value is not a number");
        }
        std::optional<int64_t> integerValue =
            integerOperand(decimals.comparisonValue, filter, NumberSlot::kComparisonValue);
        operands.integral = decimals.valid && integerValue;
        operands.integerValue = integerValue.value_or(0);
        std::optional<double> value = doubleOperand(filter, NumberSlot::kComparisonValue);
        operands.doublesParsed = value.has_value();
        operands.value = value.value_or(0);
    }
    return operands;
}

std::optional<bool> compareDecimal(const NumberOperands& operands, const MSRDecimalNumber& value) {
    if (!operands.valid) return std::nullopt;
    const MSRAudienceComparisonValues& decimals = operands.decimals;
    if (!decimals.valid) {
        reportFilterMatching(1, 8015,
                             "Parsed decimal number comparison values are not valid. Audience filter will not be evaluated. Filter",
                             {operands.text});
        return std::nullopt;
    }
    switch (operands.type) {
        case kLessThan:
            return value.compare(*decimals.comparisonValue) < 0;
        case kGreaterThan:
            return value.compare(*decimals.comparisonValue) > 0;
        case kEqual:
            return value.compare(*decimals.comparisonValue) == 0;
        case kBetween:
            return value.compare(*decimals.minComparisonValue) >= 0 && value.compare(*decimals.maxComparisonValue) <= 0;
        default:
            return false;
    }
}

std::optional<bool> compareInt64(const NumberOperands& operands, int64_t value) {
    if (operands.valid && operands.integral) {
        switch (operands.type) {
            case kLessThan:
                return value < operands.integerValue;
            case kGreaterThan:
                return value > operands.integerValue;
            case kEqual:
                return value == operands.integerValue;
            case kBetween:
                return operands.integerMinimum <= value && value <= operands.integerMaximum;
            default:
                return false;
        }
    }
    std::optional<MSRDecimalNumber> decimal = MSRDecimalNumber::fromString(std::to_string(value));
    if (!decimal) return std::nullopt;
    return compareDecimal(operands, *decimal);
}

std::optional<bool> compareDouble(const NumberOperands& operands, double value) {
    if (!operands.valid) return std::nullopt;
    if (!operands.doublesParsed) {
        reportFilterMatching(1, 8012, "Number filter is invalid, the comparison filter is not valid. Audience filter will not be evaluated",
                             {operands.text});
        return std::nullopt;
    }
    switch (operands.type) {
        case kLessThan:
            return value < operands.value;
        case kGreaterThan:
            return value > operands.value;
        case kEqual: {
            // Equal within one representable double either way: the
            // comparison value's text and the logged double may round apart.
            constexpr double kDown = -std::numeric_limits<double>::infinity();
            constexpr double kUp = std::numeric_limits<double>::infinity();
            const double lo = std::nextafter(std::nextafter(operands.value, kDown), kDown);
            const double hi = std::nextafter(std::nextafter(operands.value, kUp), kUp);
            return lo < value && value < hi;
        }
        case kBetween:
            return operands.minimum <= value && value <= operands.maximum;
        default:
            return false;
    }
}

}  // namespace

namespace MSRAudienceFilterOperands {

struct StringOperands {
    std::string text;  // for log lines
    bool valid = false;
    int32_t type = kUnknownMatch;
    bool caseSensitive = false;
    // In the comparable form: as given, or folded when case does not count,
    // with the UTF-16 length of the text as given.
    struct Comparable {
        std::string text;
        size_t units = 0;
    };
    Comparable expression;
    std::vector<Comparable> list;
    const re2::RE2* regex = nullptr;
};

}  // namespace MSRAudienceFilterOperands

namespace {

using MSRAudienceFilterOperands::StringOperands;

StringOperands compileString(const MSRPBStringFilter& filter, MSRRegexCache& regexes) {
    StringOperands operands;
    operands.text = stringFilterText(filter);
    operands.valid = MSRIsValidStringFilter(filter, &regexes, &operands.regex);
    operands.type = MSRPBGetInt32(filter, StringSlot::kMatchType);
    operands.caseSensitive = MSRPBGetBool(filter, StringSlot::kCaseSensitive);
    auto comparable = [&](std::string text) {
        const size_t units = utf16Length(text);
        return StringOperands::Comparable{operands.caseSensitive ? std::move(text) : folded(text), units};
    };
    operands.expression = comparable(optionalText(filter, StringSlot::kExpression));
    for (const MSRPBValue& entry : MSRPBGetArray(filter, StringSlot::kExpressionList)) {
        if (const auto* text = std::get_if<std::string>(&entry)) operands.list.push_back(comparable(*text));
    }
    return operands;
}

std::optional<bool> matchString(const StringOperands& operands, std::string_view text) {
    if (!operands.valid) {
        reportFilterMatching(1, 9006, "String filter is invalid. Audience filter will not be evaluated", {operands.text});
        return std::nullopt;
    }
    if (operands.type == kRegularExpression) {
        if (!operands.regex) {
            reportFilterMatching(1, 9008, "Parsed regex is nil. Audience filter will not be evaluated");
            return std::nullopt;
        }
        return re2::RE2::PartialMatch(re2::StringPiece(text.data(), text.size()), *operands.regex);
    }
    if (operands.caseSensitive) {
        if (operands.type == kInList) {
            return std::any_of(operands.list.begin(), operands.list.end(),
                               [&](const StringOperands::Comparable& entry) { return text == entry.text; });
        }
        return matchesByType(operands.type, text, operands.expression.text);
    }
    // Ignoring case, an exact match (or a list entry's) also asks for equal
    // lengths, and an ending is looked for where the expression's length puts
    // it: "STRASSE" is not the text "straße", though both fold alike. The
    // text is folded only once a length lets it match.
    switch (operands.type) {
        case kInList: {
            const size_t units = utf16Length(text);
            std::optional<std::string> comparable;
            return std::any_of(operands.list.begin(), operands.list.end(),
                               [&](const StringOperands::Comparable& entry) {
                                   if (entry.units != units) return false;
                                   if (!comparable) comparable = folded(text);
                                   return *comparable == entry.text;
                               });
        }
        case kExact:
            return operands.expression.units == utf16Length(text) && folded(text) == operands.expression.text;
        case kEndsWith: {
            std::optional<std::string_view> ending = lastUnits(text, operands.expression.units);
            return ending && folded(*ending) == operands.expression.text;
        }
        default:
            return matchesByType(operands.type, folded(text), operands.expression.text);
    }
}

}  // namespace

namespace MSRAudienceFilterOperands {

struct ValueOperands {
    std::optional<std::string> parameterName;
    std::optional<NumberOperands> number;  // wins when both are present
    std::optional<StringOperands> string;
    bool hasStringFilter = false;
    bool complement = false;
};

}  // namespace MSRAudienceFilterOperands

namespace {

using MSRAudienceFilterOperands::ValueOperands;

ValueOperands compileValue(const MSRPBFilter& filter, MSRRegexCache& regexes) {
    ValueOperands operands;
    operands.parameterName = MSRPBGetString(filter, FilterSlot::kParameterName);
    operands.complement = MSRPBGetBool(filter, FilterSlot::kComplement);
    if (auto number = MSRPBGetMessage<MSRPBNumberFilter>(filter, FilterSlot::kNumberFilter)) {
        operands.number = compileNumber(*number);
    }
    if (auto text = MSRPBGetMessage<MSRPBStringFilter>(filter, FilterSlot::kStringFilter)) {
        operands.hasStringFilter = true;
        if (!operands.number) operands.string = compileString(*text, regexes);
    }
    return operands;
}

std::optional<bool> matchValue(const ValueOperands& operands, const MSRValue& value) {
    if (!operands.number && !operands.string) {
        reportFilterMatching(1, 7000, "Filter has neither a number nor string filter. Audience filter will not be evaluated");
        return std::nullopt;
    }
    std::optional<bool> outcome;
    if (operands.number) {
        if (const std::string* text = value.stringValue()) {
            if (!MSRIsDecimalNumberString(*text)) {
                reportFilterMatching(3, 7001, "String value is not a numeric value. Audience filter will not be evaluated. Value, filter",
                                     {*text, operands.number->text});
                return std::nullopt;
            }
            std::optional<MSRDecimalNumber> decimal = MSRDecimalNumberFromString(*text);
            if (!decimal) return std::nullopt;
            outcome = compareDecimal(*operands.number, *decimal);
        } else if (value.isDouble()) {
            if (!std::isfinite(value.doubleValue())) {
                reportFilterMatching(3, 7002, "Value is not within double range. Audience filter will not be evaluated");
                return std::nullopt;
            }
            outcome = compareDouble(*operands.number, value.doubleValue());
        } else if (value.isInt64()) {
            outcome = compareInt64(*operands.number, value.int64Value());
        } else {
            return std::nullopt;
        }
    } else {
        const std::string* text = value.stringValue();
        if (!text) {
            reportFilterMatching(3, 7003, "Value is not a string. Audience filter will not be evaluated");
            return std::nullopt;
        }
        outcome = matchString(*operands.string, *text);
    }
    if (outcome && operands.complement) outcome = !*outcome;
    return outcome;
}

}  // namespace

struct MSRCompiledEventFilter::Operands {
    std::optional<std::string> eventName;
    bool sessionScoped = false;
    std::optional<NumberOperands> count;
    std::vector<ValueOperands> parameters;
};

struct MSRCompiledPropertyFilter::Operands {
    std::optional<std::string> propertyName;
    std::optional<ValueOperands> filter;
};

// --- Regular expressions ---

namespace {

// What a pattern costs beside its program: the object, its parse and the text.
constexpr int64_t kPatternOverhead = 64;
// The most instructions a program within kPatternMaxMemory holds: what a
// pattern that fails for its size has cost before it failed.
constexpr int64_t kLargestProgram = 16 * 1024;

}  // namespace

MSRRegexCache::MSRRegexCache(int64_t instructionBudget) : budget_(instructionBudget) {}
MSRRegexCache::~MSRRegexCache() = default;

const re2::RE2* MSRRegexCache::regex(const std::string& pattern, bool caseSensitive, std::string* errorText) {
    auto key = std::make_pair(pattern, caseSensitive);
    auto found = compiled_.find(key);
    if (found == compiled_.end()) {
        Entry entry;
        const std::string overBudget = "the regular expressions of the configuration are over their budget of " +
                                       std::to_string(budget_) + " program instructions";
        const int64_t textCost = kPatternOverhead + static_cast<int64_t>(pattern.size());
        if (charged_ + textCost > budget_) {
            entry.error = overBudget;
        } else {
            re2::RE2::Options options;
            options.set_case_sensitive(caseSensitive);
            options.set_log_errors(false);
            options.set_max_mem(kPatternMaxMemory);
            auto compiled = std::make_shared<const re2::RE2>(pattern, options);
            if (!compiled->ok()) {
                charged_ += textCost + (compiled->error_code() == re2::RE2::ErrorPatternTooLarge ? kLargestProgram : 0);
                entry.error = compiled->error().empty() ? "the expression is not supported" : compiled->error();
            } else if ((charged_ += textCost + compiled->ProgramSize()) > budget_) {
                entry.error = overBudget;
            } else {
                entry.compiled = std::move(compiled);
            }
        }
        found = compiled_.emplace(std::move(key), std::move(entry)).first;
    }
    if (!found->second.compiled && errorText) *errorText = found->second.error;
    return found->second.compiled.get();
}

// --- Numbers ---

bool MSRIsValidNumberFilter(const MSRPBNumberFilter& filter) {
    if (!MSRPBHasField(filter, NumberSlot::kComparisonType)) {
        reportFilterMatching(1, 8006, "Number filter has no comparison type", {numberFilterText(filter)});
        return false;
    }
    const int32_t type = MSRPBGetInt32(filter, NumberSlot::kComparisonType);
    switch (type) {
        case kLessThan:
        case kGreaterThan:
        case kEqual:
            if (!isDecimalOperand(filter, NumberSlot::kComparisonValue)) {
                reportFilterMatching(1, 8008, "Numeric filter does not have a valid comparison value. Filter", {numberFilterText(filter)});
                return false;
            }
            return true;
        case kBetween: {
            const bool minimum = isDecimalOperand(filter, NumberSlot::kMinComparisonValue);
            if (!minimum)
                reportFilterMatching(1, 8009, "Numeric filter does not have a valid min comparison value. Filter",
                                     {numberFilterText(filter)});
            const bool maximum = isDecimalOperand(filter, NumberSlot::kMaxComparisonValue);
            if (!maximum)
                reportFilterMatching(1, 8010, "Numeric filter does not have a valid max comparison value. Filter",
                                     {numberFilterText(filter)});
            return minimum && maximum;
        }
        case kUnknownComparison:
            reportFilterMatching(1, 8007, "Number filter has unknown comparison type", {numberFilterText(filter)});
            return false;
        default:
            reportFilterMatching(1, 8011, "Number filter has a real unknown comparison type", {numberFilterText(filter)});
            return false;
    }
}

std::optional<bool> MSRCompareDecimal(const MSRPBNumberFilter& filter, const MSRDecimalNumber& value) {
    return compareDecimal(compileNumber(filter), value);
}

std::optional<bool> MSRCompareInt64(const MSRPBNumberFilter& filter, int64_t value) {
    return compareInt64(compileNumber(filter), value);
}

std::optional<bool> MSRCompareDouble(const MSRPBNumberFilter& filter, double value) {
    return compareDouble(compileNumber(filter), value);
}

// --- Texts ---

bool MSRIsValidStringFilter(const MSRPBStringFilter& filter, MSRRegexCache* regexes, const re2::RE2** regex) {
    if (!MSRPBHasField(filter, StringSlot::kMatchType)) {
        reportFilterMatching(1, 9000, "String filter has no match type", {stringFilterText(filter)});
        return false;
    }
    const int32_t type = MSRPBGetInt32(filter, StringSlot::kMatchType);
    if (type == kInList) {
        if (MSRPBGetArray(filter, StringSlot::kExpressionList).empty()) {
            reportFilterMatching(1, 9003, "String filter has no expression list", {stringFilterText(filter)});
            return false;
        }
        return true;
    }
    if (type == kUnknownMatch) {
        reportFilterMatching(1, 9001, "String filter has unknown match type", {stringFilterText(filter)});
        return false;
    }
    std::optional<std::string> expression = MSRPBGetString(filter, StringSlot::kExpression);
    if (!expression) {
        reportFilterMatching(1, 9002, "String filter has no expression", {stringFilterText(filter)});
        return false;
    }
    if (type != kRegularExpression) return true;
    MSRRegexCache local;
    MSRRegexCache& cache = regexes ? *regexes : local;
    std::string errorText;
    const re2::RE2* compiled = cache.regex(*expression, MSRPBGetBool(filter, StringSlot::kCaseSensitive), &errorText);
    if (!compiled) {
        reportFilterMatching(1, 9004, "Unable to parse regular expression", {stringFilterText(filter), errorText});
        return false;
    }
    // Without a cache of the caller's the expression dies with this call.
    if (regex) *regex = regexes ? compiled : nullptr;
    return true;
}

std::optional<bool> MSRMatchStringFilter(const MSRPBStringFilter& filter, std::string_view text,
                                         MSRRegexCache* regexes) {
    MSRRegexCache local;
    return matchString(compileString(filter, regexes ? *regexes : local), text);
}

// --- Values, events and properties ---

std::optional<bool> MSRMatchFilter(const MSRPBFilter& filter, const MSRValue& value, MSRRegexCache* regexes) {
    MSRRegexCache local;
    return matchValue(compileValue(filter, regexes ? *regexes : local), value);
}

MSRCompiledEventFilter::MSRCompiledEventFilter(const MSRPBEventFilter& filter, MSRRegexCache& regexes)
    : operands_(std::make_unique<Operands>()) {
    namespace Slot = MSREventFilterSlot;
    operands_->eventName = MSRPBGetString(filter, Slot::kEventName);
    operands_->sessionScoped = MSRPBGetBool(filter, Slot::kSessionScoped);
    if (auto count = MSRPBGetMessage<MSRPBNumberFilter>(filter, Slot::kCountFilter)) operands_->count = compileNumber(*count);
    for (const MSRPBFilter& parameter : MSRPBGetMessageArray<MSRPBFilter>(filter, Slot::kParameterFilters))
        operands_->parameters.push_back(compileValue(parameter, regexes));
}

MSRCompiledEventFilter::~MSRCompiledEventFilter() = default;
MSRCompiledEventFilter::MSRCompiledEventFilter(MSRCompiledEventFilter&&) noexcept = default;
MSRCompiledEventFilter& MSRCompiledEventFilter::operator=(MSRCompiledEventFilter&&) noexcept = default;

std::optional<bool> MSRCompiledEventFilter::match(const std::string& eventName, const MSRParameters& parameters,
                                                  const MSREventAggregates& aggregates) const {
    if (eventName.empty()) {
        reportFilterMatching(1, 7005, "Event name is nil. Audience filter will not be evaluated");
        return std::nullopt;
    }
    if (operands_->eventName != eventName) {
        reportFilterMatching(1, 7006, "Event filter name does not match event name. Audience filter will not be evaluated");
        return std::nullopt;
    }
    if (!operands_->count && operands_->parameters.empty()) return true;
    if (operands_->count) {
        if (aggregates.name() != eventName) {
            reportFilterMatching(1, 7007, "Event aggregates name does not match event name. Audience filter will not be evaluated",
                                 {MSRDebugEventName(aggregates.name()), MSRDebugEventName(eventName), operands_->count->text});
            return std::nullopt;
        }
        const int32_t count =
            operands_->sessionScoped ? aggregates.currentSessionCount() : aggregates.lifetimeCount();
        std::optional<bool> outcome = compareInt64(*operands_->count, count);
        if (!outcome || !*outcome) return outcome;
    }
    for (const ValueOperands& parameter : operands_->parameters) {
        if (!parameter.parameterName) {
            reportFilterMatching(1, 7008, "Event filter does not have parameter name. Audience filter will not be evaluated");
            return std::nullopt;
        }
        auto value = parameters.find(*parameter.parameterName);
        if (value == parameters.end()) {
            reportFilterMatching(3, 7009, "Event does not have parameter required by filter. Audience filter will not be evaluated",
                                 {MSRDebugEventName(eventName), MSRDebugParameters(parameters, ""), *parameter.parameterName});
            return std::nullopt;
        }
        if (value->second.isString() && !parameter.hasStringFilter) {
            reportFilterMatching(3, 7010,
                                 "Event param is a string and the filter does not have a string filter. Audience filter will not be "
                                 "evaluated. Event name, event params, filter",
                                 {MSRDebugEventName(eventName), MSRDebugParameters(parameters, ""), *parameter.parameterName});
            return std::nullopt;
        }
        std::optional<bool> outcome = matchValue(parameter, value->second);
        if (!outcome || !*outcome) return outcome;
    }
    return true;
}

MSRCompiledPropertyFilter::MSRCompiledPropertyFilter(const MSRPBPropertyFilter& filter, MSRRegexCache& regexes)
    : operands_(std::make_unique<Operands>()) {
    namespace Slot = MSRPropertyFilterSlot;
    operands_->propertyName = MSRPBGetString(filter, Slot::kPropertyName);
    if (auto value = MSRPBGetMessage<MSRPBFilter>(filter, Slot::kFilter)) operands_->filter = compileValue(*value, regexes);
}

MSRCompiledPropertyFilter::~MSRCompiledPropertyFilter() = default;
MSRCompiledPropertyFilter::MSRCompiledPropertyFilter(MSRCompiledPropertyFilter&&) noexcept = default;
MSRCompiledPropertyFilter& MSRCompiledPropertyFilter::operator=(MSRCompiledPropertyFilter&&) noexcept = default;

std::optional<bool> MSRCompiledPropertyFilter::match(const MSRUserAttribute& attribute) const {
    if (operands_->propertyName != attribute.name()) {
        reportFilterMatching(1, 7013, "User property name does not match property filter name. Audience filter will not be evaluated");
        return std::nullopt;
    }
    if (!operands_->filter) {
        reportFilterMatching(1, 7014, "Property filter does not have filter. Audience filter will not be evaluated");
        return std::nullopt;
    }
    const MSRValue& value = attribute.value();
    if (!value.isString() && !value.isInt64() && !value.isDouble()) {
        reportFilterMatching(1, 7015, "Unknown user property type. Audience filter will not be evaluated. Property Name",
                             {MSRDebugUserPropertyName(attribute.name())});
        return std::nullopt;
    }
    return matchValue(*operands_->filter, value);
}

std::optional<bool> MSRMatchEventFilter(const MSRPBEventFilter& filter, const std::string& eventName,
                                        const MSRParameters& parameters, const MSREventAggregates& aggregates,
                                        MSRRegexCache* regexes) {
    MSRRegexCache local;
    return MSRCompiledEventFilter(filter, regexes ? *regexes : local).match(eventName, parameters, aggregates);
}

std::optional<bool> MSRMatchPropertyFilter(const MSRPBPropertyFilter& filter, const MSRUserAttribute& attribute,
                                           MSRRegexCache* regexes) {
    MSRRegexCache local;
    return MSRCompiledPropertyFilter(filter, regexes ? *regexes : local).match(attribute);
}

// --- Work ---

namespace {

// The list compared entry by entry: only an entry of the text's length is
// compared byte for byte, and none is longer than the longest text.
int64_t listWork(const MSRPBStringFilter& filter, int64_t textBytes) {
    int64_t work = 0;
    for (const MSRPBValue& entry : MSRPBGetArray(filter, StringSlot::kExpressionList)) {
        const auto* text = std::get_if<std::string>(&entry);
        work += kMSRListEntryWork + std::min(text ? static_cast<int64_t>(text->size()) : 0, textBytes);
    }
    return work;
}

int64_t valueFilterWork(const MSRPBFilter& filter, MSRRegexCache& regexes, int64_t textBytes) {
    // A number filter wins when both are present: its string filter never runs.
    if (MSRPBHasField(filter, FilterSlot::kNumberFilter)) return textBytes;
    std::optional<MSRPBStringFilter> text = MSRPBGetMessage<MSRPBStringFilter>(filter, FilterSlot::kStringFilter);
    if (!text) return textBytes;
    const int32_t type = MSRPBGetInt32(*text, StringSlot::kMatchType);
    if (type == kInList) return textBytes + listWork(*text, textBytes);
    if (type != kRegularExpression) return textBytes;
    std::optional<std::string> expression = MSRPBGetString(*text, StringSlot::kExpression);
    const re2::RE2* compiled =
        expression ? regexes.regex(*expression, MSRPBGetBool(*text, StringSlot::kCaseSensitive), nullptr) : nullptr;
    if (!compiled) return textBytes;
    return textBytes + int64_t{compiled->ProgramSize()} * textBytes;
}

}  // namespace

int64_t MSREventFilterWork(const MSRPBEventFilter& filter, MSRRegexCache& regexes, int64_t textBytes) {
    int64_t work = textBytes;
    for (const MSRPBFilter& parameter : MSRPBGetMessageArray<MSRPBFilter>(filter, MSREventFilterSlot::kParameterFilters))
        work += valueFilterWork(parameter, regexes, textBytes);
    return work;
}

int64_t MSRPropertyFilterWork(const MSRPBPropertyFilter& filter, MSRRegexCache& regexes, int64_t textBytes) {
    std::optional<MSRPBFilter> value = MSRPBGetMessage<MSRPBFilter>(filter, MSRPropertyFilterSlot::kFilter);
    return textBytes + (value ? valueFilterWork(*value, regexes, textBytes) : 0);
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
                      const char* badString, MSRRegexCache* regexes, MSRError* error) {
    std::optional<MSRPBNumberFilter> number = MSRPBGetMessage<MSRPBNumberFilter>(filter, MSRFilterSlot::kNumberFilter);
    std::optional<MSRPBStringFilter> text = MSRPBGetMessage<MSRPBStringFilter>(filter, MSRFilterSlot::kStringFilter);
    if (number.has_value() == text.has_value()) return refuse(error, code, oneOf);
    if (number && !MSRIsValidNumberFilter(*number)) return refuse(error, code, badNumber);
    if (text && !MSRIsValidStringFilter(*text, regexes)) return refuse(error, code, badString);
    return true;
}

}  // namespace

bool MSRValidateAudience(const MSRPBAudience& audience, const std::set<int32_t>& acceptedIDs,
                         MSRRemoteConfig& remoteConfig, MSRError* error, MSRRegexCache* regexes) {
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
                                  regexes, error))
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
                              regexes, error))
            return false;
    }
    return true;
}
