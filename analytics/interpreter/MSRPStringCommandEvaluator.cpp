// The string methods. Lengths, positions and single characters count UTF-16
// code units. Patterns from programs go to RE2 through the runtime's cache;
// a match takes at worst the text's length times the compiled program's size
// and is charged so before it starts.
//
// Every method touches its whole receiver: the dispatch charges it to the
// budget before the method starts, and each method charges what else it
// reads and makes room under the memory ceiling for what it makes (its
// UTF-16 copy included) before making it.

#include <re2/re2.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPEvaluator.h"
#include "analytics/interpreter/MSRPExecution.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPMethodEvaluators.h"
#include "analytics/interpreter/MSRPMethodNames.h"
#include "analytics/interpreter/MSRPObjectManager.h"
#include "analytics/interpreter/MSRPPatternCache.h"

namespace {

using Arguments = std::span<const MSRPValue>;
using StringHandler = MSRPValue (*)(MSRPExecution& execution, const MSRPValue& receiver, Arguments arguments);

// What a new string value of `bytes` bytes adds, with its handle.
int64_t stringCost(size_t bytes) {
    return static_cast<int64_t>(sizeof(MSRPStringValue) + sizeof(MSRPValue) + bytes);
}

// Case mapping: up to about 20 ns a byte for texts whose letters expand or
// look at their neighbours (Greek sigma, dotted I), its conversions included
// (interpreter_bench: BM_CaseMapping).
constexpr int64_t kCaseMappingInstructionsPerByte = 4;

// The UTF-16 code units of `text` (at most two bytes per byte), once there is
// room for them; the conversion charges itself as it goes.
bool unitsOf(MSRPExecution& execution, std::string_view text, std::u16string* units) {
    const int64_t size = static_cast<int64_t>(text.size());
    if (!execution.reserve(size * 2)) return false;
    *units = MSRPUTF16(text);
    return !execution.failed();
}

double integerOf(MSRPExecution& execution, const MSRPValue& value) {
    return MSRPToInteger(value.doubleValueOrError(execution.errorSlot()));
}

size_t heldWithin(double position, size_t length) {
    return static_cast<size_t>(std::clamp(position, 0.0, static_cast<double>(length)));
}

// A new string of the code units, once it is paid for and there is room for
// it (at most three bytes of UTF-8 per unit).
MSRPValue text(MSRPExecution& execution, std::u16string_view units) {
    if (!execution.reserve(stringCost(units.size() * 3))) return MSRPValue();
    MSRPMemory::Text made = MSRPUTF8(units);
    if (execution.failed()) return MSRPValue();
    return MSRPValue::string(std::move(made));
}

// A new string holding `made`, whose room was not reserved before it was built.
MSRPValue madeText(MSRPExecution& execution, std::string_view made) {
    if (!execution.reserve(stringCost(made.size()))) return MSRPValue();
    return MSRPValue::string(made);
}

MSRPValue position(int64_t index) { return MSRPValue::number(static_cast<double>(index)); }

// The text form of an argument ("undefined" when there is none), charged as
// the method reads it. A string's own text is shared, not copied.
MSRPText textOf(MSRPExecution& execution, Arguments arguments, size_t index) {
    if (arguments.size() <= index) return MSRPText::make("undefined");
    MSRPText text = arguments[index].stringValueOrError(execution.errorSlot());
    execution.charge(static_cast<int64_t>(text.size()));
    return text;
}

// Finds a plain text in another by Knuth-Morris-Pratt, in time linear in
// both lengths whatever they hold: std::basic_string::find compares up to the
// needle's length at every position of the text (32 Ki "a" and a "b" sought
// in a mebibyte of "a" took seconds for a few thousand instructions).
// Backward, it finds the last occurrence that ends at or before a position.
template <typename Char>
class PlainSearch {
  public:
    using View = std::basic_string_view<Char>;
    static constexpr size_t npos = View::npos;

    // For a non-empty `needle`, once there is room for its table; false with
    // the memory error when there is none.
    bool prepare(MSRPExecution& execution, View needle, bool backward) {
        if (!execution.reserve(static_cast<int64_t>(needle.size() * sizeof(uint32_t)))) return false;
        needle_ = needle;
        backward_ = backward;
        border_.assign(needle.size(), 0);
        uint32_t k = 0;
        for (size_t i = 1; i < needle.size(); ++i) {
            while (k > 0 && at(i) != at(k)) k = border_[k - 1];
            if (at(i) == at(k)) ++k;
            border_[i] = k;
        }
        return true;
    }
    // Forward: the first occurrence at or after `from`.
    size_t first(View text, size_t from) const {
        const size_t found = scan(from, text.size(), [&](size_t j) { return text[j]; });
        return found == npos ? npos : found - needle_.size() + 1;
    }
    // Backward: the start of the last occurrence that ends at or before `end`.
    size_t last(View text, size_t end) const {
        const size_t found = scan(0, end, [&](size_t j) { return text[end - 1 - j]; });
        return found == npos ? npos : end - 1 - found;
    }

  private:
    Char at(size_t i) const { return backward_ ? needle_[needle_.size() - 1 - i] : needle_[i]; }
    // The index at which the whole needle has been read, or npos.
    template <typename TextAt>
    size_t scan(size_t from, size_t to, TextAt textAt) const {
        uint32_t k = 0;
        for (size_t j = from; j < to; ++j) {
            const Char c = textAt(j);
            while (k > 0 && c != at(k)) k = border_[k - 1];
            if (c == at(k)) ++k;
            if (k == needle_.size()) return j;
        }
        return npos;
    }

    View needle_;
    bool backward_ = false;
    std::vector<uint32_t> border_;
};

// The first match of `pattern` in `subject` as UTF-16 position and, when
// `matched` is given, text; false with error 10 when the pattern does not
// compile.
bool firstMatch(MSRPExecution& execution, const MSRPText& pattern, std::string_view subject, bool* found,
                int64_t* at, std::string_view* matched) {
    const RE2* expression = execution.patterns->compiled(pattern, execution);
    if (!expression) return false;
    if (!MSRPPatternCache::chargeScan(*expression, subject.size(), execution)) return false;
    re2::StringPiece match;
    *found = expression->Match(re2::StringPiece(subject.data(), subject.size()), 0, subject.size(),
                               RE2::UNANCHORED, &match, 1);
    if (*found) {
        size_t offset = static_cast<size_t>(match.data() - subject.data());
        std::u16string before;
        if (!unitsOf(execution, subject.substr(0, offset), &before)) return false;
        *at = static_cast<int64_t>(before.size());
        if (!matched) return true;
        *matched = std::string_view(match.data(), match.size());
    }
    return true;
}

#define STRING_HANDLER(name) MSRPValue name(MSRPExecution& execution, const MSRPValue& receiver, Arguments arguments)

STRING_HANDLER(charAtMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    double index = arguments.empty() ? 0 : integerOf(execution, arguments[0]);
    std::u16string units;
    if (execution.failed() || !unitsOf(execution, receiver.text(), &units)) return MSRPValue();
    if (index < 0 || index >= static_cast<double>(units.size())) return MSRPValue::string("");
    return text(execution, std::u16string_view(units).substr(static_cast<size_t>(index), 1));
}

STRING_HANDLER(concatMethod) {
    // Texts are read in place; other arguments are converted first, so that
    // the whole length is known, charged and given room before the copy.
    std::vector<MSRPText> parts;
    parts.reserve(arguments.size());
    size_t length = receiver.text().size();
    for (const MSRPValue& argument : arguments) {
        parts.push_back(argument.stringValueOrError(execution.errorSlot()));
        if (execution.failed()) return MSRPValue();
        length += parts.back().size();
    }
    if (!execution.charge(static_cast<int64_t>(length)) || !execution.reserve(stringCost(length))) return MSRPValue();
    MSRPMemory::Text result;
    result.reserve(length);
    result += receiver.text();
    for (const MSRPText& part : parts) result += part.view();
    return MSRPValue::string(std::move(result));
}

STRING_HANDLER(hasOwnPropertyMethod) {
    if (!MSRPCheckArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    MSRPText name = arguments[0].stringValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    if (name == "length") return MSRPValue::boolean(true);
    double number = arguments[0].doubleValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    std::u16string units;
    if (!unitsOf(execution, receiver.text(), &units)) return MSRPValue();
    double length = static_cast<double>(units.size());
    return MSRPValue::boolean(number >= 0 && std::trunc(number) == number && number < length);
}

STRING_HANDLER(indexOfMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    std::u16string searched, units;
    MSRPText search = textOf(execution, arguments, 0);
    if (execution.failed() || !unitsOf(execution, search, &searched) || !unitsOf(execution, receiver.text(), &units))
        return MSRPValue();
    size_t start = arguments.size() > 1 ? heldWithin(integerOf(execution, arguments[1]), units.size()) : 0;
    if (execution.failed()) return MSRPValue();
    if (searched.empty()) return position(-1);
    PlainSearch<char16_t> finder;
    if (!finder.prepare(execution, searched, false)) return MSRPValue();
    size_t found = finder.first(units, start);
    return position(found == std::u16string::npos ? -1 : static_cast<int64_t>(found));
}

STRING_HANDLER(lastIndexOfMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    std::u16string searched, units;
    MSRPText search = textOf(execution, arguments, 0);
    if (execution.failed() || !unitsOf(execution, search, &searched) || !unitsOf(execution, receiver.text(), &units))
        return MSRPValue();
    double start = INFINITY;
    if (arguments.size() > 1) {
        double number = arguments[1].doubleValueOrError(execution.errorSlot());
        if (!std::isnan(number)) start = MSRPToInteger(number);
    }
    if (execution.failed()) return MSRPValue();
    if (searched.empty()) return position(-1);
    size_t held = heldWithin(start, units.size());
    size_t end = std::min(held + searched.size(), units.size());
    PlainSearch<char16_t> finder;
    if (!finder.prepare(execution, searched, true)) return MSRPValue();
    size_t found = finder.last(units, end);
    return position(found == std::u16string::npos ? -1 : static_cast<int64_t>(found));
}

STRING_HANDLER(matchMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    MSRPText pattern = arguments.empty() ? MSRPText() : arguments[0].stringValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    if (pattern.empty())
        return MSRPValue(MSRPObjectManager::arrayValueWithArray({MSRPValue::string("")}, execution.objectManager));
    bool found = false;
    int64_t at = 0;
    std::string_view matched;
    if (!firstMatch(execution, pattern, receiver.text(), &found, &at, &matched)) return MSRPValue();
    if (!found) return MSRPValue::null();
    MSRPValue piece = madeText(execution, matched);
    if (execution.failed()) return MSRPValue();
    return MSRPValue(MSRPObjectManager::arrayValueWithArray({std::move(piece)},
                                                            execution.objectManager));
}

STRING_HANDLER(replaceMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    MSRPText pattern = textOf(execution, arguments, 0);
    if (execution.failed()) return MSRPValue();
    const std::string_view subject = receiver.text();
    size_t found = 0;
    if (!pattern.empty()) {
        PlainSearch<char> finder;
        if (!finder.prepare(execution, pattern, false)) return MSRPValue();
        found = finder.first(subject, 0);
    }
    // Nothing replaced: the same text, shared.
    if (found == std::string::npos) return MSRPValue::string(receiver.sharedText());
    MSRPText replacement;
    if (arguments.size() > 1 && arguments[1].isFunction()) {
        MSRPRef<MSRPFunctionValue> function(arguments[1].function());
        std::u16string before;
        if (!unitsOf(execution, subject.substr(0, found), &before)) return MSRPValue();
        MSRPValue call[3] = {MSRPValue::string(pattern), position(static_cast<int64_t>(before.size())), receiver};
        MSRPValue result = function->invokeAsCallback(execution, call);
        if (execution.failed()) return MSRPValue();
        replacement = result.stringValueOrError(execution.errorSlot());
    } else {
        replacement = textOf(execution, arguments, 1);
    }
    if (execution.failed()) return MSRPValue();
    const size_t length = subject.size() - pattern.size() + replacement.size();
    if (!execution.charge(static_cast<int64_t>(replacement.size())) || !execution.reserve(stringCost(length)))
        return MSRPValue();
    MSRPMemory::Text result;
    result.reserve(length);
    result.append(subject.substr(0, found)).append(replacement.view()).append(subject.substr(found + pattern.size()));
    return MSRPValue::string(std::move(result));
}

STRING_HANDLER(searchMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    MSRPText pattern = textOf(execution, arguments, 0);
    if (execution.failed()) return MSRPValue();
    if (pattern.empty()) return position(0);
    bool found = false;
    int64_t at = 0;
    if (!firstMatch(execution, pattern, receiver.text(), &found, &at, nullptr)) return MSRPValue();
    return position(found ? at : -1);
}

STRING_HANDLER(sliceMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    std::u16string units;
    if (!unitsOf(execution, receiver.text(), &units)) return MSRPValue();
    double length = static_cast<double>(units.size());
    auto bound = [&](double value) { return heldWithin(value < 0 ? value + length : value, units.size()); };
    size_t start = arguments.empty() ? 0 : bound(integerOf(execution, arguments[0]));
    size_t end = arguments.size() > 1 ? bound(integerOf(execution, arguments[1])) : units.size();
    if (execution.failed()) return MSRPValue();
    if (end <= start) return MSRPValue::string("");
    return text(execution, std::u16string_view(units).substr(start, end - start));
}

STRING_HANDLER(splitMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    const std::string_view subject = receiver.text();
    auto array = [&](std::vector<MSRPValue> elements) {
        return MSRPValue(MSRPObjectManager::arrayValueWithArray(std::move(elements), execution.objectManager));
    };
    if (subject.empty() || arguments.empty()) return array({MSRPValue::string(receiver.sharedText())});
    MSRPText separator = arguments[0].stringValueOrError(execution.errorSlot());
    uint64_t limit = UINT32_MAX;
    if (arguments.size() > 1)
        limit = static_cast<uint32_t>(MSRPToInt32(arguments[1].doubleValueOrError(execution.errorSlot())));
    if (execution.failed()) return MSRPValue();
    if (!execution.charge(static_cast<int64_t>(separator.size()))) return MSRPValue();
    // Each piece is a new value: room for it (and for the handles of the
    // pieces before it, which the array takes over at the end) is made
    // before it is, and its making is charged by what it takes.
    std::vector<MSRPValue> pieces;
    auto add = [&](size_t bytes, auto make) {
        const int64_t handles = static_cast<int64_t>(pieces.size() * sizeof(MSRPValue));
        if (!execution.charge(stringCost(bytes)) || !execution.reserve(handles + stringCost(bytes))) return false;
        pieces.push_back(make());
        return true;
    };
    if (separator.empty()) {
        std::u16string units;
        if (!unitsOf(execution, subject, &units)) return MSRPValue();
        for (size_t i = 0; i < units.size() && pieces.size() < limit; ++i) {
            auto unit = std::u16string_view(units).substr(i, 1);
            if (!add(3, [&] { return MSRPValue::string(MSRPUTF8(unit)); })) return MSRPValue();
        }
        return array(std::move(pieces));
    }
    PlainSearch<char> finder;
    if (!finder.prepare(execution, separator, false)) return MSRPValue();
    size_t from = 0;
    while (pieces.size() < limit) {
        size_t found = finder.first(subject, from);
        size_t length = found == std::string_view::npos ? subject.size() - from : found - from;
        if (!add(length, [&] { return MSRPValue::string(subject.substr(from, length)); })) return MSRPValue();
        if (found == std::string_view::npos) break;
        from = found + separator.size();
    }
    return array(std::move(pieces));
}

STRING_HANDLER(substringMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    std::u16string units;
    if (!unitsOf(execution, receiver.text(), &units)) return MSRPValue();
    size_t start = arguments.empty() ? 0 : heldWithin(integerOf(execution, arguments[0]), units.size());
    size_t end = arguments.size() > 1 ? heldWithin(integerOf(execution, arguments[1]), units.size()) : units.size();
    if (execution.failed()) return MSRPValue();
    if (start > end) std::swap(start, end);
    return text(execution, std::u16string_view(units).substr(start, end - start));
}

MSRPValue mapCase(MSRPExecution& execution, const MSRPValue& receiver, Arguments arguments, bool upper,
                  const icu::Locale& locale) {
    if (!MSRPCheckArgumentCount(arguments.size(), 0, execution.errorSlot())) return MSRPValue();
    // The UTF-16 copy and a result of about the receiver's size (checked
    // again once its size is known).
    const int64_t size = static_cast<int64_t>(receiver.text().size());
    if (!execution.charge(size * kCaseMappingInstructionsPerByte * MSRPWork::kBytesPerInstruction) ||
        !execution.reserve(size * 2 + stringCost(receiver.text().size())))
        return MSRPValue();
    const std::string_view bytes = receiver.text();
    icu::UnicodeString units =
        icu::UnicodeString::fromUTF8(icu::StringPiece(bytes.data(), static_cast<int32_t>(bytes.size())));
    if (upper) {
        units.toUpper(locale);
    } else {
        units.toLower(locale);
    }
    std::string result;
    units.toUTF8String(result);
    return madeText(execution, result);
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
    return MSRPValue::string(receiver.sharedText());
}

bool isTrimmed(char16_t unit) { return u_isUWhiteSpace(unit) || unit == 0xFEFF; }

STRING_HANDLER(trimMethod) {
    if (!MSRPCheckArgumentCount(arguments.size(), 0, execution.errorSlot())) return MSRPValue();
    std::u16string units;
    if (!unitsOf(execution, receiver.text(), &units)) return MSRPValue();
    size_t start = 0, end = units.size();
    while (start < end && isTrimmed(units[start])) ++start;
    while (end > start && isTrimmed(units[end - 1])) --end;
    return text(execution, std::u16string_view(units).substr(start, end - start));
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
    // A name longer than every method's is none of them, found without hashing it.
    auto found = name.size() > kLongestMethodName ? handlers.end() : handlers.find(name);
    if (found == handlers.end()) return execution.fail(MSRPErrorCode::kNotCallable);
    std::vector<MSRPValue> evaluated = MSRPEvaluateArguments(execution, arguments, scope);
    if (execution.failed()) return MSRPValue();
    MSRPValue held(receiver);
    if (!execution.charge(static_cast<int64_t>(held.text().size()))) return MSRPValue();
    return found->second(execution, held, evaluated);
}

std::vector<std::string_view> MSRPStringMethodNames() {
    std::vector<std::string_view> names;
    for (const auto& entry : stringHandlers()) names.push_back(entry.first);
    return names;
}
