#pragma once
// The handlers of the command table, by family. Internal to the interpreter.

#include <span>

#include "analytics/interpreter/MSRPRuntimeValue.h"

struct MSRPExecution;
class MSRPScope;

#define MSRP_HANDLER(name) \
    MSRPValue name(MSRPExecution& execution, std::span<const MSRPValue> arguments, MSRPScope& scope)

namespace MSRPMathCommands {
MSRP_HANDLER(add);
MSRP_HANDLER(subtract);
MSRP_HANDLER(multiply);
MSRP_HANDLER(divide);
MSRP_HANDLER(remainder);
MSRP_HANDLER(negate);
MSRP_HANDLER(first);
MSRP_HANDLER(identity);
}  // namespace MSRPMathCommands

namespace MSRPLogicalCommands {
MSRP_HANDLER(logicalAnd);
MSRP_HANDLER(logicalOr);
MSRP_HANDLER(logicalNot);
}  // namespace MSRPLogicalCommands

namespace MSRPComparisonCommands {
MSRP_HANDLER(looseEqual);
MSRP_HANDLER(looseNotEqual);
MSRP_HANDLER(strictEqual);
MSRP_HANDLER(strictNotEqual);
MSRP_HANDLER(greaterThan);
MSRP_HANDLER(greaterOrEqual);
MSRP_HANDLER(lessThan);
MSRP_HANDLER(lessOrEqual);
}  // namespace MSRPComparisonCommands

namespace MSRPBitwiseCommands {
MSRP_HANDLER(bitAnd);
MSRP_HANDLER(shiftLeft);
MSRP_HANDLER(bitNot);
MSRP_HANDLER(bitOr);
MSRP_HANDLER(shiftRight);
MSRP_HANDLER(unsignedShiftRight);
MSRP_HANDLER(bitXor);
}  // namespace MSRPBitwiseCommands

namespace MSRPControlCommands {
MSRP_HANDLER(methodCall);
MSRP_HANDLER(breakStatement);
MSRP_HANDLER(runList);
MSRP_HANDLER(continueStatement);
MSRP_HANDLER(sequence);
MSRP_HANDLER(ifStatement);
MSRP_HANDLER(returnStatement);
MSRP_HANDLER(switchStatement);
MSRP_HANDLER(conditional);
MSRP_HANDLER(statementList);
MSRP_HANDLER(functionDeclaration);
MSRP_HANDLER(functionExpression);
MSRP_HANDLER(block);
}  // namespace MSRPControlCommands

namespace MSRPLoopCommands {
MSRP_HANDLER(generalLoop);
MSRP_HANDLER(countingLoop);
MSRP_HANDLER(forInAssigning);
MSRP_HANDLER(forInConstant);
MSRP_HANDLER(forInMutable);
MSRP_HANDLER(forOfAssigning);
MSRP_HANDLER(forOfConstant);
MSRP_HANDLER(forOfMutable);
}  // namespace MSRPLoopCommands

namespace MSRPVariableCommands {
MSRP_HANDLER(assign);
MSRP_HANDLER(arrayLiteral);
MSRP_HANDLER(objectLiteral);
MSRP_HANDLER(readVariable);
MSRP_HANDLER(readProperty);
MSRP_HANDLER(typeName);
MSRP_HANDLER(declareVariables);
MSRP_HANDLER(writeProperty);
MSRP_HANDLER(undefinedValue);
MSRP_HANDLER(nullValue);
MSRP_HANDLER(declareConstants);
}  // namespace MSRPVariableCommands
