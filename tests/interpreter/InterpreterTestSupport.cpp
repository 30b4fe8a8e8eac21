#include "tests/interpreter/InterpreterTestSupport.h"

#include <gtest/gtest.h>

#include "analytics/interpreter/MSRPArrayValue.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/support/MSRError.h"
#include "tools/assembler/ProgramAssembler.h"

namespace {

std::string describe(const MSRPValue& value, int depth) {
    if (depth > 20) return "...";
    switch (value.kind()) {
        case MSRPValueKind::Undefined: return "undefined";
        case MSRPValueKind::Null: return "null";
        case MSRPValueKind::Boolean: return value.booleanValue() ? "true" : "false";
        case MSRPValueKind::Number: return MSRPNumberToString(value.numberValue());
        case MSRPValueKind::Hole: return "<hole>";
        case MSRPValueKind::String: return "\"" + std::string(value.text()) + "\"";
        case MSRPValueKind::Array: {
            std::string text = "[";
            const auto& elements = value.array()->elements();
            for (size_t i = 0; i < elements.size(); ++i) text += (i ? "," : "") + describe(elements[i], depth + 1);
            return text + "]";
        }
        case MSRPValueKind::Map: {
            std::string text = "{";
            bool first = true;
            for (const auto& entry : value.map()->propertyMap().entries()) {
                text += (first ? "" : ",") + entry.name.str() + ":" + describe(entry.value, depth + 1);
                first = false;
            }
            return text + "}";
        }
        case MSRPValueKind::Function: return "function " + value.function()->functionName().str();
        case MSRPValueKind::Control: {
            const MSRPControlValue* control = value.control();
            if (control->type() == MSRPControlValue::Type::Return) return "<return " + describe(control->data(), depth + 1) + ">";
            return std::string("<") + control->typeName() + ">";
        }
        case MSRPValueKind::Statement: return "<statement " + value.statement()->functionName().str() + ">";
    }
    return "?";
}

}  // namespace

std::string describeValue(const MSRPValue& value) { return describe(value, 0); }

MSRPValue evaluateProgram(std::string_view program, MSRPRuntime& runtime, int* error) {
    std::string assemblyError;
    auto statements = ProgramAssembler::assembleStatements(program, &assemblyError);
    EXPECT_TRUE(statements) << assemblyError << " in " << program;
    if (!statements) return MSRPValue();
    MSRError failure;
    MSRPValue result = runtime.executeStatements(*statements, &failure);
    if (error) *error = static_cast<int>(failure.code());
    return result;
}

double CpuBesideTheLoop::emptyLoopSeconds() {
    MSRPRuntime runtime;
    const double start = threadCpuSeconds();
    runProgram("(loop true 0 false (list))", &runtime);
    return threadCpuSeconds() - start;
}

ProgramOutcome runProgram(std::string_view program, MSRPRuntime* runtime) {
    MSRPRuntime fresh;
    MSRPRuntime& used = runtime ? *runtime : fresh;
    int error = 0;
    MSRPValue result = evaluateProgram(program, used, &error);
    return ProgramOutcome{error ? std::string() : describeValue(result), error, used.lastStop()};
}

MSRPBProgram callbackProgram(const std::string& top, const std::string& body) {
    std::string error;
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleEditingProgram(
        top + R"( (function "rules" (array "r") (let "register") (assign "register" (require "internal.registerCallback"))
            (register 0 (lambda "cb" (array "e") )" + body + R"() (object "type" "edit" "priority" 1))))",
        "rules", &error);
    EXPECT_TRUE(program) << error;
    return program ? *program : MSRPBProgram();
}
