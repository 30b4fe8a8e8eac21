#pragma once
// The one table of operations: every statement key 0 to 66 with how its
// arguments arrive and the handler that runs it. A statement resolves its key
// once, when it is made; the evaluator then dispatches without a lookup.

#include <span>
#include <string_view>

#include "analytics/interpreter/MSRPRuntimeValue.h"

struct MSRPExecution;
class MSRPScope;

using MSRPCommandHandler = MSRPValue (*)(MSRPExecution& execution, std::span<const MSRPValue> arguments,
                                         MSRPScope& scope);

enum class MSRPArgumentMode : uint8_t {
    // All arguments are evaluated, left to right, before the handler runs.
    Evaluated,
    // As Evaluated, after the count is found to be `count` (error 9 before
    // anything is evaluated otherwise).
    CountedThenEvaluated,
    // The handler gets the argument statements and evaluates what it needs.
    Raw,
};

struct MSRPCommand {
    int key;
    MSRPArgumentMode mode;
    uint8_t count;
    MSRPCommandHandler handler;
    // The family the key belongs to: "math", "logical", "comparison",
    // "bitwise", "control", "loop" or "variable".
    const char* evaluator;
};

// The command of a key text ("0" to "66", no leading zeros); null for an
// unassigned key or any other text, which then names a function.
const MSRPCommand* MSRPCommandForKey(std::string_view key);
// The command keys of the operators that the evaluator computes in place when
// both operands are numbers (the handler runs for any other operands).
namespace MSRPCommandKey {
inline constexpr int kAdd = 0;
inline constexpr int kDivide = 10;
inline constexpr int kGreaterThan = 18;
inline constexpr int kGreaterOrEqual = 19;
inline constexpr int kLessThan = 23;
inline constexpr int kLessOrEqual = 24;
inline constexpr int kMultiply = 26;
inline constexpr int kSubtract = 37;
}  // namespace MSRPCommandKey
bool MSRPIsNumberOperator(const MSRPCommand& command);
// Every assigned command, in key order.
std::span<const MSRPCommand> MSRPAllCommands();
