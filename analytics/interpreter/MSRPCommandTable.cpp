#include "analytics/interpreter/MSRPCommandTable.h"

#include <array>

#include "analytics/interpreter/MSRPCommands.h"

namespace {

using Mode = MSRPArgumentMode;
using namespace MSRPMathCommands;
using namespace MSRPLogicalCommands;
using namespace MSRPComparisonCommands;
using namespace MSRPBitwiseCommands;
using namespace MSRPControlCommands;
using namespace MSRPLoopCommands;
using namespace MSRPVariableCommands;

constexpr MSRPCommand kCommands[] = {
    {0, Mode::Evaluated, 0, add, "math"},
    {1, Mode::Raw, 0, logicalAnd, "logical"},
    {2, Mode::Raw, 0, methodCall, "control"},
    {3, Mode::Evaluated, 0, assign, "variable"},
    {4, Mode::Raw, 0, breakStatement, "control"},
    {5, Mode::Raw, 0, runList, "control"},
    {6, Mode::Raw, 0, continueStatement, "control"},
    {7, Mode::Evaluated, 0, arrayLiteral, "variable"},
    {8, Mode::Evaluated, 0, objectLiteral, "variable"},
    {9, Mode::Raw, 0, runList, "control"},
    {10, Mode::Evaluated, 0, divide, "math"},
    {12, Mode::CountedThenEvaluated, 2, looseEqual, "comparison"},
    {13, Mode::Raw, 0, sequence, "control"},
    {15, Mode::Evaluated, 0, readVariable, "variable"},
    {16, Mode::Evaluated, 0, readProperty, "variable"},
    {17, Mode::Evaluated, 0, readProperty, "variable"},
    {18, Mode::CountedThenEvaluated, 2, greaterThan, "comparison"},
    {19, Mode::CountedThenEvaluated, 2, greaterOrEqual, "comparison"},
    {20, Mode::CountedThenEvaluated, 2, strictEqual, "comparison"},
    {21, Mode::CountedThenEvaluated, 2, strictNotEqual, "comparison"},
    {22, Mode::Raw, 0, ifStatement, "control"},
    {23, Mode::CountedThenEvaluated, 2, lessThan, "comparison"},
    {24, Mode::CountedThenEvaluated, 2, lessOrEqual, "comparison"},
    {25, Mode::Evaluated, 0, remainder, "math"},
    {26, Mode::Evaluated, 0, multiply, "math"},
    {27, Mode::Evaluated, 0, negate, "math"},
    {28, Mode::Raw, 0, logicalNot, "logical"},
    {29, Mode::CountedThenEvaluated, 2, looseNotEqual, "comparison"},
    {30, Mode::Raw, 0, logicalOr, "logical"},
    {32, Mode::Evaluated, 0, first, "math"},
    {33, Mode::Evaluated, 0, first, "math"},
    {34, Mode::Evaluated, 0, identity, "math"},
    {35, Mode::Evaluated, 0, identity, "math"},
    {36, Mode::Raw, 0, returnStatement, "control"},
    {37, Mode::Evaluated, 0, subtract, "math"},
    {38, Mode::Raw, 0, switchStatement, "control"},
    {39, Mode::Raw, 0, conditional, "control"},
    {40, Mode::Evaluated, 0, typeName, "variable"},
    {41, Mode::Evaluated, 0, declareVariables, "variable"},
    {42, Mode::Raw, 0, generalLoop, "loop"},
    {43, Mode::Evaluated, 0, writeProperty, "variable"},
    {44, Mode::Evaluated, 0, undefinedValue, "variable"},
    {45, Mode::Evaluated, 0, nullValue, "variable"},
    {46, Mode::Raw, 0, statementList, "control"},
    {47, Mode::Raw, 0, forInAssigning, "loop"},
    {50, Mode::Raw, 0, functionDeclaration, "control"},
    {51, Mode::Raw, 0, functionExpression, "control"},
    {52, Mode::Evaluated, 0, declareConstants, "variable"},
    {53, Mode::Raw, 0, block, "control"},
    {54, Mode::Raw, 0, forInConstant, "loop"},
    {55, Mode::Raw, 0, forInMutable, "loop"},
    {56, Mode::Evaluated, 0, bitAnd, "bitwise"},
    {57, Mode::Evaluated, 0, shiftLeft, "bitwise"},
    {58, Mode::Evaluated, 0, bitNot, "bitwise"},
    {59, Mode::Evaluated, 0, bitOr, "bitwise"},
    {60, Mode::Evaluated, 0, shiftRight, "bitwise"},
    {61, Mode::Evaluated, 0, unsignedShiftRight, "bitwise"},
    {62, Mode::Evaluated, 0, bitXor, "bitwise"},
    {63, Mode::Raw, 0, countingLoop, "loop"},
    {64, Mode::Raw, 0, forOfAssigning, "loop"},
    {65, Mode::Raw, 0, forOfConstant, "loop"},
    {66, Mode::Raw, 0, forOfMutable, "loop"},
};

constexpr int kKeyCount = 67;

constexpr std::array<const MSRPCommand*, kKeyCount> byKey() {
    std::array<const MSRPCommand*, kKeyCount> table{};
    for (const MSRPCommand& command : kCommands) table[static_cast<size_t>(command.key)] = &command;
    return table;
}

constexpr std::array<const MSRPCommand*, kKeyCount> kByKey = byKey();

}  // namespace

const MSRPCommand* MSRPCommandForKey(std::string_view key) {
    if (key.empty() || key.size() > 2) return nullptr;
    if (key.size() == 2 && key[0] == '0') return nullptr;
    int number = 0;
    for (char c : key) {
        if (c < '0' || c > '9') return nullptr;
        number = number * 10 + (c - '0');
    }
    return number < kKeyCount ? kByKey[static_cast<size_t>(number)] : nullptr;
}

std::span<const MSRPCommand> MSRPAllCommands() { return kCommands; }

bool MSRPIsNumberOperator(const MSRPCommand& command) {
    using namespace MSRPCommandKey;
    switch (command.key) {
        case kAdd:
        case kDivide:
        case kGreaterThan:
        case kGreaterOrEqual:
        case kLessThan:
        case kLessOrEqual:
        case kMultiply:
        case kSubtract: return true;
        default: return false;
    }
}
