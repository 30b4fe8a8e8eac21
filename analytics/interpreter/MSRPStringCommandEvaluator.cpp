// The string methods. Lengths, positions and single characters count UTF-16
// code units. Patterns from programs go to RE2, whose matching time is linear
// in the text, with a bounded program size.

#include <re2/re2.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPEvaluator.h"
#include "analytics/interpreter/MSRPExecution.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPMethodEvaluators.h"
#include "analytics/interpreter/MSRPObjectManager.h"

namespace {

using Arguments = std::span<const MSRPValue>;
using StringHandler = MSRPValue (*)(MSRPExecution& execution, const MSRPValue& receiver, Arguments arguments);

// A compiled pattern may use this much memory; larger ones fail to compile.
constexpr int64_t kPatternMemory = int64_t{1} << 20;

double integerOf(MSRPExecution& execution, const MSRPValue& value) {
    return MSRPToInteger(value.doubleValueOrError(execution.errorSlot()));
}

size_t heldWithin(double position, size_t length) {
    return static_cast<size_t>(std::clamp(position, 0.0, static_cast<double>(length)));
}

MSRPValue text(std::u16string_view units) { return MSRPValue::string(MSRPUTF8(units)); }

MSRPValue position(int64_t index) { return MSRPValue::number(static_cast<double>(index)); }

std::string textOf(MSRPExecution& execution, Arguments arguments, size_t index) {
    if (arguments.size() <= index) return "undefined";
    return arguments[index].stringValueOrError(execution.errorSlot());
}

// The first match of `pattern` in `subject` as UTF-16 position and text;
// false with error 10 when the pattern does not compile.
bool firstMatch(MSRPExecution& execution, const std::string& pattern, const std::string& subject, bool* found,
                int64_t* at, std::string* matched) {
    RE2::Options options;
    options.set_log_errors(false);
    options.set_max_mem(kPatternMemory);
    RE2 expression(pattern, options);
    if (!expression.ok()) {
        execution.fail(MSRPErrorCode::kArgumentKind);
        return false;
    }
    MSRPWork::charge(static_cast<int64_t>(subject.size()));
    re2::StringPiece match;
    *found = expression.Match(subject, 0, subject.size(), RE2::UNANCHORED, &match, 1);
    if (*found) {
        size_t offset = static_cast<size_t>(match.data() - subject.data());
        *at = static_cast<int64_t>(MSRPUTF16(std::string_view(subject).substr(0, offset)).size());
        *matched = std::string(match.data(), match.size());
    }
    return true;
}

#define STRING_HANDLER(name) MSRPValue name(MSRPExecution& execution, const MSRPValue& receiver, Arguments arguments)

STRING_HANDLER(charAtMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    double index = arguments.empty() ? 0 : integerOf(execution, arguments[0]);
    if (execution.failed()) return MSRPValue();
    std::u16string units = MSRPUTF16(receiver.text());
    if (index < 0 || index >= static_cast<double>(units.size())) return MSRPValue::string("");
    return text(std::u16string_view(units).substr(static_cast<size_t>(index), 1));
}

STRING_HANDLER(concatMethod) {
    std::string result = receiver.text();
    for (const MSRPValue& argument : arguments) {
        result += argument.stringValueOrError(execution.errorSlot());
        if (execution.failed()) return MSRPValue();
    }
    return MSRPValue::string(std::move(result));
}

STRING_HANDLER(hasOwnPropertyMethod) {
    if (!MSRPCheckArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    std::string name = arguments[0].stringValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    if (name == "length") return MSRPValue::boolean(true);
    double number = arguments[0].doubleValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    double length = static_cast<double>(MSRPUTF16(receiver.text()).size());
    return MSRPValue::boolean(number >= 0 && std::trunc(number) == number && number < length);
}

STRING_HANDLER(indexOfMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    std::u16string searched = MSRPUTF16(textOf(execution, arguments, 0));
    std::u16string units = MSRPUTF16(receiver.text());
    size_t start = arguments.size() > 1 ? heldWithin(integerOf(execution, arguments[1]), units.size()) : 0;
    if (execution.failed()) return MSRPValue();
    if (searched.empty()) return position(-1);
    size_t found = units.find(searched, start);
    return position(found == std::u16string::npos ? -1 : static_cast<int64_t>(found));
}

STRING_HANDLER(lastIndexOfMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    std::u16string searched = MSRPUTF16(textOf(execution, arguments, 0));
    std::u16string units = MSRPUTF16(receiver.text());
    double start = INFINITY;
    if (arguments.size() > 1) {
        double number = arguments[1].doubleValueOrError(execution.errorSlot());
        if (!std::isnan(number)) start = MSRPToInteger(number);
    }
    if (execution.failed()) return MSRPValue();
    if (searched.empty()) return position(-1);
    size_t held = heldWithin(start, units.size());
    size_t end = std::min(held + searched.size(), units.size());
    size_t found = std::u16string_view(units).substr(0, end).rfind(searched);
    return position(found == std::u16string::npos ? -1 : static_cast<int64_t>(found));
}

STRING_HANDLER(matchMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    std::string pattern = arguments.empty() ? std::string() : arguments[0].stringValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    if (pattern.empty())
        return MSRPValue(MSRPObjectManager::arrayValueWithArray({MSRPValue::string("")}, execution.objectManager));
    bool found = false;
    int64_t at = 0;
    std::string matched;
    if (!firstMatch(execution, pattern, receiver.text(), &found, &at, &matched)) return MSRPValue();
    if (!found) return MSRPValue::null();
    return MSRPValue(MSRPObjectManager::arrayValueWithArray({MSRPValue::string(std::move(matched))},
                                                            execution.objectManager));
}

STRING_HANDLER(replaceMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    std::string pattern = textOf(execution, arguments, 0);
    if (execution.failed()) return MSRPValue();
    const std::string& subject = receiver.text();
    size_t found = subject.find(pattern);
    if (found == std::string::npos) return MSRPValue::string(subject);
    std::string replacement;
    if (arguments.size() > 1 && arguments[1].isFunction()) {
        MSRPRef<MSRPFunctionValue> function(arguments[1].function());
        MSRPValue call[3] = {MSRPValue::string(pattern),
                             position(static_cast<int64_t>(MSRPUTF16(std::string_view(subject).substr(0, found)).size())),
                             receiver};
        MSRPValue result = function->invokeWithEvaluatedArguments(execution, call);
        if (execution.failed()) return MSRPValue();
        replacement = result.stringValueOrError(execution.errorSlot());
    } else {
        replacement = textOf(execution, arguments, 1);
    }
    if (execution.failed()) return MSRPValue();
    std::string result = subject;
    result.replace(found, pattern.size(), replacement);
    return MSRPValue::string(std::move(result));
}

STRING_HANDLER(searchMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    std::string pattern = textOf(execution, arguments, 0);
    if (execution.failed()) return MSRPValue();
    if (pattern.empty()) return position(0);
    bool found = false;
    int64_t at = 0;
    std::string matched;
    if (!firstMatch(execution, pattern, receiver.text(), &found, &at, &matched)) return MSRPValue();
    return position(found ? at : -1);
}

STRING_HANDLER(sliceMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    std::u16string units = MSRPUTF16(receiver.text());
    double length = static_cast<double>(units.size());
    auto bound = [&](double value) { return heldWithin(value < 0 ? value + length : value, units.size()); };
    size_t start = arguments.empty() ? 0 : bound(integerOf(execution, arguments[0]));
    size_t end = arguments.size() > 1 ? bound(integerOf(execution, arguments[1])) : units.size();
    if (execution.failed()) return MSRPValue();
    if (end <= start) return MSRPValue::string("");
    return text(std::u16string_view(units).substr(start, end - start));
}

STRING_HANDLER(splitMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    const std::string& subject = receiver.text();
    auto array = [&](std::vector<MSRPValue> elements) {
        return MSRPValue(MSRPObjectManager::arrayValueWithArray(std::move(elements), execution.objectManager));
    };
    if (subject.empty() || arguments.empty()) return array({MSRPValue::string(subject)});
    std::string separator = arguments[0].stringValueOrError(execution.errorSlot());
    uint64_t limit = UINT32_MAX;
    if (arguments.size() > 1)
        limit = static_cast<uint32_t>(MSRPToInt32(arguments[1].doubleValueOrError(execution.errorSlot())));
    if (execution.failed()) return MSRPValue();
    std::vector<MSRPValue> pieces;
    if (separator.empty()) {
        std::u16string units = MSRPUTF16(subject);
        for (size_t i = 0; i < units.size() && pieces.size() < limit; ++i)
            pieces.push_back(text(std::u16string_view(units).substr(i, 1)));
        return array(std::move(pieces));
    }
    size_t from = 0;
    while (pieces.size() < limit) {
        size_t found = subject.find(separator, from);
        pieces.push_back(MSRPValue::string(subject.substr(from, found == std::string::npos ? std::string::npos
                                                                                            : found - from)));
        if (found == std::string::npos) break;
        from = found + separator.size();
    }
    return array(std::move(pieces));
}

STRING_HANDLER(substringMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    std::u16string units = MSRPUTF16(receiver.text());
    size_t start = arguments.empty() ? 0 : heldWithin(integerOf(execution, arguments[0]), units.size());
    size_t end = arguments.size() > 1 ? heldWithin(integerOf(execution, arguments[1]), units.size()) : units.size();
    if (execution.failed()) return MSRPValue();
    if (start > end) std::swap(start, end);
    return text(std::u16string_view(units).substr(start, end - start));
}

MSRPValue mapCase(MSRPExecution& execution, const MSRPValue& receiver, Arguments arguments, bool upper,
                  const icu::Locale& locale) {
    if (!MSRPCheckArgumentCount(arguments.size(), 0, execution.errorSlot())) return MSRPValue();
    icu::UnicodeString units = icu::UnicodeString::fromUTF8(receiver.text());
    if (upper) {
        units.toUpper(locale);
    } else {
        units.toLower(locale);
    }
    std::string result;
    units.toUTF8String(result);
    return MSRPValue::string(std::move(result));
}

STRING_HANDLER(toLowerCaseMethod) { return mapCase(execution, receiver, arguments, false, icu::Locale::getRoot()); }
STRING_HANDLER(toUpperCaseMethod) { return mapCase(execution, receiver, arguments, true, icu::Locale::getRoot()); }
STRING_HANDLER(toLocaleLowerCaseMethod) {
    return mapCase(execution, receiver, arguments, false, icu::Locale::getDefault());
}
STRING_HANDLER(toLocaleUpperCaseMethod) {
    return mapCase(execution, receiver, arguments, true, icu::Locale::getDefault());
}

STRING_HANDLER(toStringMethod) {
    if (!MSRPCheckArgumentCount(arguments.size(), 0, execution.errorSlot())) return MSRPValue();
    return MSRPValue::string(receiver.text());
}

bool isTrimmed(char16_t unit) { return u_isUWhiteSpace(unit) || unit == 0xFEFF; }

STRING_HANDLER(trimMethod) {
    if (!MSRPCheckArgumentCount(arguments.size(), 0, execution.errorSlot())) return MSRPValue();
    std::u16string units = MSRPUTF16(receiver.text());
    size_t start = 0, end = units.size();
    while (start < end && isTrimmed(units[start])) ++start;
    while (end > start && isTrimmed(units[end - 1])) --end;
    return text(std::u16string_view(units).substr(start, end - start));
}

const std::unordered_map<std::string_view, StringHandler>& stringHandlers() {
    static const std::unordered_map<std::string_view, StringHandler> handlers = {
        {"charAt", charAtMethod},
        {"concat", concatMethod},
        {"hasOwnProperty", hasOwnPropertyMethod},
        {"indexOf", indexOfMethod},
        {"lastIndexOf", lastIndexOfMethod},
        {"match", matchMethod},
        {"replace", replaceMethod},
        {"search", searchMethod},
        {"slice", sliceMethod},
        {"split", splitMethod},
        {"substring", substringMethod},
        {"toLowerCase", toLowerCaseMethod},
        {"toLocaleLowerCase", toLocaleLowerCaseMethod},
        {"toUpperCase", toUpperCaseMethod},
        {"toLocaleUpperCase", toLocaleUpperCaseMethod},
        {"toString", toStringMethod},
        {"trim", trimMethod},
    };
    return handlers;
}

}  // namespace

MSRPValue MSRPEvaluateStringMethod(MSRPExecution& execution, const MSRPValue& receiver, std::string_view name,
                                   std::span<const MSRPValue> arguments, MSRPScope& scope) {
    const auto& handlers = stringHandlers();
    auto found = handlers.find(name);
    if (found == handlers.end()) return execution.fail(MSRPErrorCode::kNotCallable);
    std::vector<MSRPValue> evaluated = MSRPEvaluateArguments(execution, arguments, scope);
    if (execution.failed()) return MSRPValue();
    MSRPValue held(receiver);
    return found->second(execution, held, evaluated);
}
