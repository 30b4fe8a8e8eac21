// Blocks, statement lists, branches, switch, break, continue, return,
// function definitions and member calls.

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPCommandTable.h"
#include "analytics/interpreter/MSRPCommands.h"
#include "analytics/interpreter/MSRPEvaluator.h"
#include "analytics/interpreter/MSRPExecution.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPObjectManager.h"
#include "analytics/interpreter/MSRPScope.h"

namespace {

using Arguments = std::span<const MSRPValue>;

MSRPValue evaluate(MSRPExecution& execution, const MSRPValue& statement, MSRPScope& scope) {
    return MSRPEvaluator::evaluateStatement(execution, statement, scope);
}

// Runs an array's elements as statements in `scope`.
MSRPValue runArray(MSRPExecution& execution, const MSRPArrayValue& list, MSRPScope& scope) {
    std::vector<MSRPValue> statements = list.allElements();
    return MSRPEvaluator::executeStatements(execution, statements, scope);
}

constexpr int kStatementListKey = 46;

// Evaluates a branch and, when it yields an array, runs the array's elements.
// A branch written as a statement list runs its statements straight away:
// the list it would make is never seen by anyone else, so only its
// instruction is counted.
MSRPValue runBranch(MSRPExecution& execution, const MSRPValue& branch, MSRPScope& scope) {
    const MSRPStatementValue* statement = branch.statement();
    if (statement && statement->command() && statement->command()->key == kStatementListKey) {
        if (!MSRPEvaluator::countInstruction(execution)) return MSRPValue();
        return MSRPEvaluator::executeStatements(execution, statement->arguments(), scope);
    }
    MSRPValue value = evaluate(execution, branch, scope);
    if (execution.failed()) return MSRPValue();
    if (const MSRPArrayValue* list = value.array()) return runArray(execution, *list, scope);
    return value;
}

// Lists of names and statements a definition copies without a charge of its own.
constexpr size_t kUnchargedListed = 16;

bool isBreak(const MSRPValue& value) { return value.object() == MSRPControlValue::breakValue(); }

MSRPRef<MSRPFunctionValue> makeFunction(MSRPExecution& execution, Arguments arguments, MSRPScope& scope) {
    if (!MSRPCheckMinimumArgumentCount(arguments.size(), 2, execution.errorSlot())) return {};
    MSRPText name = arguments[0].stringValueOrError(execution.errorSlot());
    if (execution.failed()) return {};
    MSRPValue parameters = evaluate(execution, arguments[1], scope);
    if (execution.failed()) return {};
    if (!parameters.isArray()) {
        execution.fail(MSRPErrorCode::kArgumentKind);
        return {};
    }
    // The names and the body statements are shared with the program; the
    // lists that hold them count on the account, and filling them is
    // charged before it is done (a short list is paid for by the
    // definition's evaluation).
    const std::vector<MSRPValue>& elements = parameters.array()->elements();
    if (elements.size() > MSRPFunctionValue::kMaxParameters) {
        execution.fail(MSRPErrorCode::kFunctionParameters);
        return {};
    }
    const size_t bodySize = arguments.size() - 2;
    if (elements.size() + bodySize > kUnchargedListed &&
        (!execution.chargeBindings(elements.size()) || !execution.chargeElements(bodySize)))
        return {};
    MSRPParameterNames names;
    names.reserve(elements.size());
    for (const MSRPValue& parameter : elements) {
        names.push_back((parameter.isHole() ? MSRPValue() : parameter).stringValueOrError(execution.errorSlot()));
        if (execution.failed()) return {};
    }
    return MSRPObjectManager::functionValueWithFunctionName(
        std::move(name), std::move(names), MSRPFunctionValue::Statements(arguments.begin() + 2, arguments.end()),
        MSRPRef<MSRPScope>(&scope), execution.objectManager);
}

}  // namespace

namespace MSRPControlCommands {

MSRP_HANDLER(block) {
    MSRPRef<MSRPScope> child = scope.createChildScope();
    return MSRPEvaluator::executeStatements(execution, arguments, *child);
}

MSRP_HANDLER(runList) {
    if (!MSRPCheckArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    MSRPValue list = evaluate(execution, arguments[0], scope);
    if (execution.failed()) return MSRPValue();
    if (!list.isArray()) return execution.fail(MSRPErrorCode::kArgumentKind);
    return runArray(execution, *list.array(), scope);
}

MSRP_HANDLER(statementList) {
    (void)scope;
    return MSRPValue(MSRPObjectManager::arrayValueWithArray(std::vector<MSRPValue>(arguments.begin(), arguments.end()),
                                                            execution.objectManager));
}

MSRP_HANDLER(sequence) {
    if (!MSRPCheckMinimumArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    MSRPValue result;
    for (const MSRPValue& argument : arguments) {
        result = evaluate(execution, argument, scope);
        if (execution.failed()) return MSRPValue();
        if (result.isControl()) return execution.fail(MSRPErrorCode::kArgumentKind);
    }
    return result;
}

MSRP_HANDLER(ifStatement) {
    if (!MSRPCheckMinimumArgumentCount(arguments.size(), 1, execution.errorSlot()) ||
        !MSRPCheckMaximumArgumentCount(arguments.size(), 3, execution.errorSlot()))
        return MSRPValue();
    MSRPValue condition = evaluate(execution, arguments[0], scope);
    bool truth =
        condition.isBoolean() ? condition.booleanValue() : condition.booleanValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    size_t branch = truth ? 1 : 2;
    if (branch >= arguments.size()) return MSRPValue();
    return runBranch(execution, arguments[branch], scope);
}

MSRP_HANDLER(conditional) {
    if (!MSRPCheckArgumentCount(arguments.size(), 3, execution.errorSlot())) return MSRPValue();
    bool truth = evaluate(execution, arguments[0], scope).booleanValueOrError(execution.errorSlot());
    if (execution.failed()) return MSRPValue();
    return evaluate(execution, arguments[truth ? 1 : 2], scope);
}

MSRP_HANDLER(breakStatement) {
    (void)scope;
    if (!MSRPCheckArgumentCount(arguments.size(), 0, execution.errorSlot())) return MSRPValue();
    return MSRPValue(MSRPControlValue::breakValue());
}

MSRP_HANDLER(continueStatement) {
    (void)scope;
    if (!MSRPCheckArgumentCount(arguments.size(), 0, execution.errorSlot())) return MSRPValue();
    return MSRPValue(MSRPControlValue::continueValue());
}

MSRP_HANDLER(returnStatement) {
    if (!MSRPCheckMaximumArgumentCount(arguments.size(), 1, execution.errorSlot())) return MSRPValue();
    MSRPValue data = arguments.empty() ? MSRPValue() : evaluate(execution, arguments[0], scope);
    if (execution.failed()) return MSRPValue();
    return MSRPValue(MSRPControlValue::returnValueWithData(std::move(data)));
}

MSRP_HANDLER(functionExpression) { return MSRPValue(makeFunction(execution, arguments, scope)); }

MSRP_HANDLER(functionDeclaration) {
    MSRPRef<MSRPFunctionValue> function = makeFunction(execution, arguments, scope);
    if (!function) return MSRPValue();
    scope.setValue(MSRPValue(function), function->functionName());
    return MSRPValue(function);
}

MSRP_HANDLER(methodCall) {
    if (!MSRPCheckArgumentCount(arguments.size(), 3, execution.errorSlot())) return MSRPValue();
    MSRPValue receiver = evaluate(execution, arguments[0], scope);
    MSRPValue name = evaluate(execution, arguments[1], scope);
    MSRPValue list = evaluate(execution, arguments[2], scope);
    if (execution.failed()) return MSRPValue();
    if (!name.isString() || !list.isArray()) return execution.fail(MSRPErrorCode::kArgumentKind);
    std::vector<MSRPValue> callArguments = list.array()->allElements();
    return MSRPApplyWithName(execution, receiver, name.sharedText(), callArguments, scope);
}

MSRP_HANDLER(switchStatement) {
    if (!MSRPCheckArgumentCount(arguments.size(), 3, execution.errorSlot())) return MSRPValue();
    MSRPValue discriminant = evaluate(execution, arguments[0], scope);
    MSRPValue caseList = evaluate(execution, arguments[1], scope);
    MSRPValue bodyList = evaluate(execution, arguments[2], scope);
    if (execution.failed()) return MSRPValue();
    if (!caseList.isArray() || !bodyList.isArray()) return execution.fail(MSRPErrorCode::kArgumentCount);
    std::vector<MSRPValue> cases = caseList.array()->allElements();
    std::vector<MSRPValue> bodies = bodyList.array()->allElements();
    // Bodies are read by case index: fewer bodies than cases is a malformed
    // switch, refused before any case runs.
    if (bodies.size() < cases.size()) return execution.fail(MSRPErrorCode::kArgumentCount);
    auto runBody = [&](const MSRPValue& body, MSRPValue& outcome) {
        // true when the switch ends here, with `outcome` as its result.
        MSRPValue value = evaluate(execution, body, scope);
        if (execution.failed()) {
            outcome = MSRPValue();
            return true;
        }
        if (isBreak(value)) {
            outcome = MSRPValue();
            return true;
        }
        if (value.isControl()) {
            outcome = value;
            return true;
        }
        return false;
    };
    bool matched = false;
    MSRPValue outcome;
    for (size_t i = 0; i < cases.size(); ++i) {
        if (!matched) {
            MSRPValue test = evaluate(execution, cases[i], scope);
            if (execution.failed()) return MSRPValue();
            matched = MSRPStrictEquals(test, discriminant, execution.errorSlot());
            if (execution.failed()) return MSRPValue();
            if (!matched) continue;
        }
        if (runBody(bodies[i], outcome)) return outcome;
    }
    if (bodies.size() == cases.size() + 1) {
        if (runBody(bodies.back(), outcome)) return outcome;
    }
    return MSRPValue();
}

}  // namespace MSRPControlCommands
