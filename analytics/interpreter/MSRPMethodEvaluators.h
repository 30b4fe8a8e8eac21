#pragma once
// The methods programs call on arrays (21 names) and strings (17 names).
// Installed into the evaluator by every runtime; a name outside the table
// gives error 17.

#include <span>
#include <string_view>

#include "analytics/interpreter/MSRPRuntimeValue.h"

struct MSRPExecution;
class MSRPScope;

MSRPValue MSRPEvaluateArrayMethod(MSRPExecution& execution, const MSRPValue& receiver, std::string_view name,
                                  std::span<const MSRPValue> arguments, MSRPScope& scope);
MSRPValue MSRPEvaluateStringMethod(MSRPExecution& execution, const MSRPValue& receiver, std::string_view name,
                                   std::span<const MSRPValue> arguments, MSRPScope& scope);
void MSRPInstallMethodEvaluators();
// Longer than every method name of both tables ("toLocaleLowerCase").
inline constexpr size_t kLongestMethodName = 17;
