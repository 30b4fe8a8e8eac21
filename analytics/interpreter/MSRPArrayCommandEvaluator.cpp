// The array methods. Each charges the budget by the elements it walks
// before it starts, the array itself charges the elements it copies or
// moves, and the array operations make room under the memory ceiling before
// they grow an array.

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPEvaluator.h"
#include "analytics/interpreter/MSRPExecution.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPMethodEvaluators.h"
#include "analytics/interpreter/MSRPMethodNames.h"
#include "analytics/interpreter/MSRPObjectManager.h"

namespace {

using Arguments = std::span<const MSRPValue>;
using ArrayHandler = MSRPValue (*)(MSRPExecution& execution, const MSRPValue& receiver, MSRPArrayValue& array,
                                   Arguments arguments);

double integerOf(MSRPExecution& execution, const MSRPValue& value) {
    return MSRPToInteger(value.doubleValueOrError(execution.errorSlot()));
}

// A position counted from the end when negative, held within 0 and length.
int64_t relativePosition(double position, int64_t length) {
    if (position < 0) return static_cast<int64_t>(std::max(0.0, static_cast<double>(length) + position));
    return static_cast<int64_t>(std::min(position, static_cast<double>(length)));
}

MSRPValue newArray(MSRPExecution& execution, std::vector<MSRPValue> elements = {}) {
    return MSRPValue(MSRPObjectManager::arrayValueWithArray(std::move(elements), execution.objectManager));
}

MSRPValue lengthValue(size_t length) { return MSRPValue::number(static_cast<double>(length)); }

enum class Walk { ForEach, Every, Some, Filter, Map };

MSRPValue iterate(MSRPExecution& execution, const MSRPValue& receiver, MSRPArrayValue& array, Arguments arguments,
                  Walk walk) {
    if (!MSRPCheckArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    if (!arguments[0].isFunction()) return execution.fail(MSRPErrorCode::kArgumentKind);
    MSRPRef<MSRPFunctionValue> function(arguments[0].function());
    MSRPValue result = walk == Walk::Filter || walk == Walk::Map ? newArray(execution) : MSRPValue();
    bool answer = walk == Walk::Every;
    size_t length = array.count();
    // Holes cost no call: the walk over them is charged here.
    if (!execution.chargeElements(length)) return MSRPValue();
    for (size_t i = 0; i < length; ++i) {
        MSRPValue index = MSRPValue::number(static_cast<double>(i));
        bool present = array.hasProperty(index, execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        if (!present) continue;
        MSRPValue element = array.valueForProperty(index, execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        MSRPValue call[3] = {element, index, receiver};
        MSRPValue outcome = function->invokeAsCallback(execution, call);
        if (execution.failed()) return MSRPValue();
        if (walk == Walk::ForEach) continue;
        if (walk == Walk::Map) {
            result.array()->setValue(outcome, index, execution.errorSlot());
            if (execution.failed()) return MSRPValue();
            continue;
        }
        bool truth = outcome.booleanValueOrError(execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        if (walk == Walk::Filter) {
            if (truth) result.array()->appendElements(std::span<const MSRPValue>(&element, 1), execution.errorSlot());
            if (execution.failed()) return MSRPValue();
        } else if (walk == Walk::Every && !truth) {
            answer = false;
            break;
        } else if (walk == Walk::Some && truth) {
            answer = true;
            break;
        }
    }
    if (walk == Walk::Every || walk == Walk::Some) return MSRPValue::boolean(answer);
    return result;
}

MSRPValue reduce(MSRPExecution& execution, const MSRPValue& receiver, MSRPArrayValue& array, Arguments arguments,
                 bool fromRight) {
    if (!MSRPCheckMinimumArgumentCount(arguments.size(), 1, execution.errorSlot()) ||
        !MSRPCheckMaximumArgumentCount(arguments.size(), 2, execution.errorSlot()))
        return MSRPValue();
    if (!arguments[0].isFunction()) return execution.fail(MSRPErrorCode::kArgumentKind);
    if (arguments.size() == 2 && arguments[1].isControl()) return execution.fail(MSRPErrorCode::kArgumentKind);
    MSRPRef<MSRPFunctionValue> function(arguments[0].function());
    int64_t length = static_cast<int64_t>(array.count());
    if (!execution.chargeElements(array.count())) return MSRPValue();
    int64_t step = fromRight ? -1 : 1;
    int64_t i = fromRight ? length - 1 : 0;
    auto inRange = [&](int64_t index) { return index >= 0 && index < length; };
    auto has = [&](int64_t index) {
        return array.hasProperty(MSRPValue::number(static_cast<double>(index)), execution.errorSlot());
    };
    MSRPValue accumulator;
    if (arguments.size() == 2) {
        accumulator = arguments[1];
    } else {
        while (inRange(i) && !has(i)) i += step;
        if (execution.failed()) return MSRPValue();
        if (!inRange(i)) return execution.fail(MSRPErrorCode::kReduceOfEmpty);
        accumulator = array.valueForProperty(MSRPValue::number(static_cast<double>(i)), execution.errorSlot());
        i += step;
    }
    for (; inRange(i); i += step) {
        if (!has(i)) continue;
        MSRPValue index = MSRPValue::number(static_cast<double>(i));
        MSRPValue element = array.valueForProperty(index, execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        MSRPValue call[4] = {accumulator, element, index, receiver};
        accumulator = function->invokeAsCallback(execution, call);
        if (execution.failed()) return MSRPValue();
        // The function may have shortened the array.
        length = std::min(length, static_cast<int64_t>(array.count()));
    }
    if (execution.failed()) return MSRPValue();
    return accumulator;
}

#define ARRAY_HANDLER(name) \
    MSRPValue name(MSRPExecution& execution, const MSRPValue& receiver, MSRPArrayValue& array, Arguments arguments)

ARRAY_HANDLER(concatMethod) {
    size_t added = array.count();
    for (const MSRPValue& argument : arguments) added += argument.isArray() ? argument.array()->count() : 1;
    // The copies are charged as they are appended.
    if (!execution.reserve(static_cast<int64_t>(added * sizeof(MSRPValue)))) return MSRPValue();
    MSRPValue result = newArray(execution);
    result.array()->concat(receiver, execution.errorSlot());
    for (const MSRPValue& argument : arguments) {
        if (execution.failed()) break;
        result.array()->concat(argument, execution.errorSlot());
    }
    if (execution.failed()) return MSRPValue();
    return result;
}

ARRAY_HANDLER(hasOwnPropertyMethod) {
    (void)receiver;
    if (!MSRPCheckArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    MSRPText name = arguments[0].stringValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    if (name == "length") return MSRPValue::boolean(true);
    bool has = array.hasProperty(arguments[0], execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    return MSRPValue::boolean(has);
}

ARRAY_HANDLER(indexOfMethod) {
    (void)receiver;
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    MSRPValue searched = arguments.empty() ? MSRPValue() : arguments[0];
    double length = static_cast<double>(array.count());
    double start = arguments.size() > 1 ? integerOf(execution, arguments[1]) : 0;
    if (execution.failed()) return MSRPValue();
    if (start >= length) return MSRPValue::number(-1);
    if (start < 0) start = std::max(0.0, start + length);
    if (!execution.chargeElements(array.count() - static_cast<size_t>(start))) return MSRPValue();
    int64_t found = array.indexOfValue(searched, static_cast<size_t>(start), execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    return MSRPValue::number(static_cast<double>(found));
}

ARRAY_HANDLER(lastIndexOfMethod) {
    (void)receiver;
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    MSRPValue searched = arguments.empty() ? MSRPValue() : arguments[0];
    double length = static_cast<double>(array.count());
    double start = length - 1;
    if (arguments.size() > 1) {
        double number = arguments[1].doubleValueOrError(execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        if (!std::isnan(number)) {
            start = MSRPToInteger(number);
            if (start < 0) start += length;
        }
    }
    if (start < 0) return MSRPValue::number(-1);
    start = std::min(start, length - 1);
    if (!execution.chargeElements(static_cast<size_t>(start) + 1)) return MSRPValue();
    int64_t found = array.lastIndexOfValue(searched, static_cast<size_t>(start), execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    return MSRPValue::number(static_cast<double>(found));
}

ARRAY_HANDLER(joinMethod) {
    (void)receiver;
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    MSRPText separator;
    if (arguments.empty()) {
        separator = MSRPText::make(",");
    } else if (!arguments[0].isUndefined() && !arguments[0].isNull()) {
        separator = arguments[0].stringValueOrError(execution.errorSlot());
    }
    if (execution.failed() || !execution.chargeElements(array.count())) return MSRPValue();
    MSRPText text = array.stringValueWithSeparator(separator, execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    return MSRPValue::string(std::move(text));
}

ARRAY_HANDLER(popMethod) {
    (void)receiver;
    if (!MSRPCheckArgumentCount(arguments.size(), 0, execution.errorSlot())) return MSRPValue();
    return array.removeLastElement();
}

ARRAY_HANDLER(shiftMethod) {
    (void)receiver;
    if (!MSRPCheckArgumentCount(arguments.size(), 0, execution.errorSlot())) return MSRPValue();
    // The others move down by one, charged by the array.
    MSRPValue first = array.removeFirstElement();
    if (execution.failed()) return MSRPValue();
    return first;
}

ARRAY_HANDLER(pushMethod) {
    (void)receiver;
    size_t length = array.appendElements(arguments, execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    return lengthValue(length);
}

ARRAY_HANDLER(unshiftMethod) {
    (void)receiver;
    size_t length = array.prependElements(arguments, execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    return lengthValue(length);
}

ARRAY_HANDLER(reverseMethod) {
    if (!MSRPCheckArgumentCount(arguments.size(), 0, execution.errorSlot())) return MSRPValue();
    array.reverse();
    if (execution.failed()) return MSRPValue();
    return receiver;
}

ARRAY_HANDLER(sliceMethod) {
    (void)receiver;
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    int64_t length = static_cast<int64_t>(array.count());
    int64_t start = arguments.empty() ? 0 : relativePosition(integerOf(execution, arguments[0]), length);
    int64_t end = length;
    if (arguments.size() > 1) end = std::max(start, relativePosition(integerOf(execution, arguments[1]), length));
    if (execution.failed()) return MSRPValue();
    const size_t copied = static_cast<size_t>(end - start);
    if (!execution.chargeElements(copied) || !execution.reserve(static_cast<int64_t>(copied * sizeof(MSRPValue))))
        return MSRPValue();
    return newArray(execution, array.subarrayWithRange(start, end - start));
}

ARRAY_HANDLER(sortMethod) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    if (array.count() < 2) return receiver;
    if (!arguments.empty() && !arguments[0].isFunction()) {
        execution.fail(MSRPErrorCode::kArgumentKind);
        return receiver;
    }
    MSRPRef<MSRPFunctionValue> function(arguments.empty() ? nullptr : arguments[0].function());
    // About n log n moves; each comparison of text forms charges its texts.
    size_t count = array.count(), moves = count;
    for (size_t n = count; n > 1; n /= 2) moves += count;
    if (!execution.chargeElements(moves)) return MSRPValue();
    // The scope is not read: a comparator runs in the scope it closes over.
    MSRPRef<MSRPScope> unused = MSRPScope::makeScope();
    array.sortUsingFunctionValue(function.get(), execution, *unused);
    if (execution.failed()) return MSRPValue();
    return receiver;
}

ARRAY_HANDLER(spliceMethod) {
    (void)receiver;
    if (arguments.empty()) return newArray(execution);
    int64_t length = static_cast<int64_t>(array.count());
    int64_t start = relativePosition(integerOf(execution, arguments[0]), length);
    int64_t deleteCount = length - start;
    if (arguments.size() > 1) {
        double count = integerOf(execution, arguments[1]);
        deleteCount = static_cast<int64_t>(std::clamp(count, 0.0, static_cast<double>(length - start)));
    }
    if (execution.failed()) return MSRPValue();
    Arguments added = arguments.size() > 2 ? arguments.subspan(2) : Arguments();
    if (!execution.reserve(static_cast<int64_t>((static_cast<size_t>(deleteCount) + added.size()) * sizeof(MSRPValue))))
        return MSRPValue();
    std::vector<MSRPValue> removed = array.spliceFrom(start, deleteCount, added, execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    return newArray(execution, std::move(removed));
}

ARRAY_HANDLER(toStringMethod) {
    if (!MSRPCheckArgumentCount(arguments.size(), 0, execution.errorSlot())) return MSRPValue();
    if (!execution.chargeElements(array.count())) return MSRPValue();
    MSRPText text = receiver.stringValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    return MSRPValue::string(std::move(text));
}

const std::unordered_map<std::string_view, ArrayHandler>& arrayHandlers() {
    static const std::unordered_map<std::string_view, ArrayHandler> handlers = {
        {"concat", concatMethod},
        {"every", [](MSRPExecution& e, const MSRPValue& r, MSRPArrayValue& a,
                     Arguments x) { return iterate(e, r, a, x, Walk::Every); }},
        {"filter", [](MSRPExecution& e, const MSRPValue& r, MSRPArrayValue& a,
                      Arguments x) { return iterate(e, r, a, x, Walk::Filter); }},
        {"forEach", [](MSRPExecution& e, const MSRPValue& r, MSRPArrayValue& a,
                       Arguments x) { return iterate(e, r, a, x, Walk::ForEach); }},
        {"hasOwnProperty", hasOwnPropertyMethod},
        {"indexOf", indexOfMethod},
        {"join", joinMethod},
        {"lastIndexOf", lastIndexOfMethod},
        {"map", [](MSRPExecution& e, const MSRPValue& r, MSRPArrayValue& a,
                   Arguments x) { return iterate(e, r, a, x, Walk::Map); }},
        {"pop", popMethod},
        {"push", pushMethod},
        {"reduce", [](MSRPExecution& e, const MSRPValue& r, MSRPArrayValue& a,
                      Arguments x) { return reduce(e, r, a, x, false); }},
        {"reduceRight", [](MSRPExecution& e, const MSRPValue& r, MSRPArrayValue& a,
                           Arguments x) { return reduce(e, r, a, x, true); }},
        {"reverse", reverseMethod},
        {"shift", shiftMethod},
        {"slice", sliceMethod},
        {"some", [](MSRPExecution& e, const MSRPValue& r, MSRPArrayValue& a,
                    Arguments x) { return iterate(e, r, a, x, Walk::Some); }},
        {"sort", sortMethod},
        {"splice", spliceMethod},
        {"toString", toStringMethod},
        {"unshift", unshiftMethod},
    };
    return handlers;
}

}  // namespace

MSRPValue MSRPEvaluateArrayMethod(MSRPExecution& execution, const MSRPValue& receiver, std::string_view name,
                                  std::span<const MSRPValue> arguments, MSRPScope& scope) {
    const auto& handlers = arrayHandlers();
    // A name longer than every method's is none of them, found without hashing it.
    auto found = name.size() > kLongestMethodName ? handlers.end() : handlers.find(name);
    if (found == handlers.end()) return execution.fail(MSRPErrorCode::kNotCallable);
    std::vector<MSRPValue> evaluated = MSRPEvaluateArguments(execution, arguments, scope);
    if (execution.failed()) return MSRPValue();
    // Held: a callback could drop the last other reference to the receiver.
    MSRPValue held(receiver);
    return found->second(execution, held, *held.array(), evaluated);
}

void MSRPInstallMethodEvaluators() {
    MSRPSetArrayMethodEvaluator(MSRPEvaluateArrayMethod);
    MSRPSetStringMethodEvaluator(MSRPEvaluateStringMethod);
}

std::vector<std::string_view> MSRPArrayMethodNames() {
    std::vector<std::string_view> names;
    for (const auto& entry : arrayHandlers()) names.push_back(entry.first);
    return names;
}
