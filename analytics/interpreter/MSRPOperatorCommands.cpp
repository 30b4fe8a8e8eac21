// Arithmetic, logical, comparison and bitwise operators.

#include <cmath>
#include <cstdint>

#include "analytics/interpreter/MSRPCommands.h"
#include "analytics/interpreter/MSRPEvaluator.h"
#include "analytics/interpreter/MSRPExecution.h"

namespace {

using Arguments = std::span<const MSRPValue>;

// Both number forms, left first; false when the count or a conversion fails.
bool twoNumbers(MSRPExecution& execution, Arguments arguments, double& left, double& right) {
    if (!MSRPCheckArgumentCount(arguments.size(), 2, execution.errorSlot())) return false;
    left = arguments[0].doubleValueOrError(execution.errorSlot());
    if (execution.failed()) return false;
    right = arguments[1].doubleValueOrError(execution.errorSlot());
    return !execution.failed();
}

bool twoIntegers(MSRPExecution& execution, Arguments arguments, int32_t& left, int32_t& right) {
    double a = 0, b = 0;
    if (!twoNumbers(execution, arguments, a, b)) return false;
    left = MSRPToInt32(a);
    right = MSRPToInt32(b);
    return true;
}

// Loose equality's classes: undefined and null, numbers and booleans, texts,
// everything else.
int equalityKind(const MSRPValue& value) {
    switch (value.kind()) {
        case MSRPValueKind::Undefined:
        case MSRPValueKind::Null: return 0;
        case MSRPValueKind::Number:
        case MSRPValueKind::Boolean: return 1;
        case MSRPValueKind::String: return 2;
        default: return 3;
    }
}

bool looselyEqual(MSRPExecution& execution, const MSRPValue& a, const MSRPValue& b) {
    const int ka = equalityKind(a), kb = equalityKind(b);
    const MSRPValue& x = ka <= kb ? a : b;
    const MSRPValue& y = ka <= kb ? b : a;
    switch (std::min(ka, kb)) {
        case 2: return MSRPStringValuesEqual(x, y, execution.errorSlot());
        case 1: return MSRPNumberValuesEqual(x, y, execution.errorSlot());
        case 0: return equalityKind(y) == 0;
        default: return x.object() == y.object();
    }
}

// -1, 0 or 1; NaN on either side and conversion errors give 1.
int compare(MSRPExecution& execution, const MSRPValue& a, const MSRPValue& b) {
    if (a.isString() && b.isString()) {
        // Compared in place, charged as they are read.
        const int order = MSRPCompareTexts(a.text(), b.text());
        return execution.failed() ? 1 : order;
    }
    if (MSRPIsObjectOrString(a) && MSRPIsObjectOrString(b)) {
        MSRPText left = a.stringValueOrError(execution.errorSlot());
        if (execution.failed()) return 1;
        MSRPText right = b.stringValueOrError(execution.errorSlot());
        if (execution.failed()) return 1;
        const int order = MSRPCompareTexts(left, right);
        return execution.failed() ? 1 : order;
    }
    double left = a.doubleValueOrError(execution.errorSlot());
    if (execution.failed()) return 1;
    double right = b.doubleValueOrError(execution.errorSlot());
    if (execution.failed()) return 1;
    return left < right ? -1 : left == right ? 0 : 1;
}

MSRPValue booleanUnlessFailed(MSRPExecution& execution, bool value) {
    return execution.failed() ? MSRPValue() : MSRPValue::boolean(value);
}

}  // namespace

namespace MSRPMathCommands {

MSRP_HANDLER(add) {
    (void)scope;
    if (!MSRPCheckArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    if (MSRPIsObjectOrString(arguments[0]) || MSRPIsObjectOrString(arguments[1])) {
        // Texts are measured before they are copied: the copy is charged and
        // given room first.
        auto known = [](const MSRPValue& value) { return static_cast<int64_t>(value.isString() ? value.text().size() : 0); };
        const int64_t texts = known(arguments[0]) + known(arguments[1]);
        if (!execution.charge(texts) || !execution.reserve(texts * 2)) return MSRPValue();
        MSRPText left = arguments[0].stringValueOrError(execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        MSRPText right = arguments[1].stringValueOrError(execution.errorSlot());
        if (execution.failed()) return MSRPValue();
        const int64_t length = static_cast<int64_t>(left.size() + right.size());
        if (!execution.charge(length - texts) || !execution.reserve(length)) return MSRPValue();
        MSRPMemory::Text joined;
        joined.reserve(static_cast<size_t>(length));
        joined.append(left.view()).append(right.view());
        return MSRPValue::string(std::move(joined));
    }
    double left = 0, right = 0;
    if (!twoNumbers(execution, arguments, left, right)) return MSRPValue();
    return MSRPValue::number(left + right);
}

MSRP_HANDLER(subtract) {
    (void)scope;
    double left = 0, right = 0;
    if (!twoNumbers(execution, arguments, left, right)) return MSRPValue();
    return MSRPValue::number(left - right);
}

MSRP_HANDLER(multiply) {
    (void)scope;
    double left = 0, right = 0;
    if (!twoNumbers(execution, arguments, left, right)) return MSRPValue();
    return MSRPValue::number(left * right);
}

MSRP_HANDLER(divide) {
    (void)scope;
    double left = 0, right = 0;
    if (!twoNumbers(execution, arguments, left, right)) return MSRPValue();
    return MSRPValue::number(left / right);
}

MSRP_HANDLER(remainder) {
    (void)scope;
    double left = 0, right = 0;
    if (!twoNumbers(execution, arguments, left, right)) return MSRPValue();
    return MSRPValue::number(std::fmod(left, right));
}

MSRP_HANDLER(negate) {
    (void)scope;
    if (!MSRPCheckArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    double value = arguments[0].doubleValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    return MSRPValue::number(-value);
}

MSRP_HANDLER(first) {
    (void)scope;
    if (!MSRPCheckArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    return arguments[0];
}

MSRP_HANDLER(identity) {
    (void)scope;
    if (!MSRPCheckArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    return arguments[0];
}

}  // namespace MSRPMathCommands

namespace MSRPLogicalCommands {

MSRP_HANDLER(logicalAnd) {
    if (!MSRPCheckArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    MSRPValue left = MSRPEvaluator::evaluateStatement(execution, arguments[0], scope);
    bool truth = left.booleanValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    if (!truth) return left;
    return MSRPEvaluator::evaluateStatement(execution, arguments[1], scope);
}

MSRP_HANDLER(logicalOr) {
    if (!MSRPCheckArgumentCount(arguments.size(), 2, execution.errorSlot())) return MSRPValue();
    MSRPValue left = MSRPEvaluator::evaluateStatement(execution, arguments[0], scope);
    bool truth = left.booleanValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    if (truth) return left;
    return MSRPEvaluator::evaluateStatement(execution, arguments[1], scope);
}

MSRP_HANDLER(logicalNot) {
    if (!MSRPCheckArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    MSRPValue value = MSRPEvaluator::evaluateStatement(execution, arguments[0], scope);
    bool truth = value.booleanValueOrError(execution.errorSlot());
    return booleanUnlessFailed(execution, !truth);
}

}  // namespace MSRPLogicalCommands

// The comparisons get exactly two evaluated operands (the table checks).
namespace MSRPComparisonCommands {

MSRP_HANDLER(looseEqual) {
    (void)scope;
    bool equal = looselyEqual(execution, arguments[0], arguments[1]);
    return booleanUnlessFailed(execution, equal);
}

MSRP_HANDLER(looseNotEqual) {
    (void)scope;
    bool equal = looselyEqual(execution, arguments[0], arguments[1]);
    return booleanUnlessFailed(execution, !equal);
}

MSRP_HANDLER(strictEqual) {
    (void)scope;
    bool equal = MSRPStrictEquals(arguments[0], arguments[1], execution.errorSlot());
    return booleanUnlessFailed(execution, equal);
}

MSRP_HANDLER(strictNotEqual) {
    (void)scope;
    bool equal = MSRPStrictEquals(arguments[0], arguments[1], execution.errorSlot());
    return booleanUnlessFailed(execution, !equal);
}

MSRP_HANDLER(lessThan) {
    (void)scope;
    int order = compare(execution, arguments[0], arguments[1]);
    return booleanUnlessFailed(execution, order == -1);
}

MSRP_HANDLER(lessOrEqual) {
    (void)scope;
    int order = compare(execution, arguments[0], arguments[1]);
    return booleanUnlessFailed(execution, order <= 0);
}

MSRP_HANDLER(greaterThan) {
    (void)scope;
    int order = compare(execution, arguments[1], arguments[0]);
    return booleanUnlessFailed(execution, order == -1);
}

MSRP_HANDLER(greaterOrEqual) {
    (void)scope;
    int order = compare(execution, arguments[1], arguments[0]);
    return booleanUnlessFailed(execution, order <= 0);
}

}  // namespace MSRPComparisonCommands

namespace MSRPBitwiseCommands {

MSRP_HANDLER(bitAnd) {
    (void)scope;
    int32_t a = 0, b = 0;
    if (!twoIntegers(execution, arguments, a, b)) return MSRPValue();
    return MSRPValue::number(a & b);
}

MSRP_HANDLER(bitOr) {
    (void)scope;
    int32_t a = 0, b = 0;
    if (!twoIntegers(execution, arguments, a, b)) return MSRPValue();
    return MSRPValue::number(a | b);
}

MSRP_HANDLER(bitXor) {
    (void)scope;
    int32_t a = 0, b = 0;
    if (!twoIntegers(execution, arguments, a, b)) return MSRPValue();
    return MSRPValue::number(a ^ b);
}

MSRP_HANDLER(bitNot) {
    (void)scope;
    if (!MSRPCheckArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    double value = arguments[0].doubleValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    return MSRPValue::number(~MSRPToInt32(value));
}

MSRP_HANDLER(shiftLeft) {
    (void)scope;
    int32_t a = 0, b = 0;
    if (!twoIntegers(execution, arguments, a, b)) return MSRPValue();
    return MSRPValue::number(static_cast<int32_t>(static_cast<uint32_t>(a) << (b & 31)));
}

MSRP_HANDLER(shiftRight) {
    (void)scope;
    int32_t a = 0, b = 0;
    if (!twoIntegers(execution, arguments, a, b)) return MSRPValue();
    return MSRPValue::number(a >> (b & 31));
}

MSRP_HANDLER(unsignedShiftRight) {
    (void)scope;
    int32_t a = 0, b = 0;
    if (!twoIntegers(execution, arguments, a, b)) return MSRPValue();
    return MSRPValue::number(static_cast<uint32_t>(a) >> (b & 31));
}

}  // namespace MSRPBitwiseCommands
