// Three charges that a time guard alone used to stand behind, each now held
// by what it counts: the probes of a bucket whose names all share a hash,
// the walk with which logEvent measures a map before copying it, and the
// conversion of every parameter getParams hands the program. Each row runs
// under a budget that never stops it and reads the instructions it was
// charged against a floor well below the rule's charge and far above what
// the work costs when that charge is left out.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/support/MSRError.h"
#include "tests/interpreter/InterpreterTestSupport.h"

namespace {

// Every text hashes to one value while it lives.
class AllHashesAlike {
  public:
    AllHashesAlike() { MSRPText::setHashesAlikeForTesting(true); }
    ~AllHashesAlike() { MSRPText::setHashesAlikeForTesting(false); }
    AllHashesAlike(const AllHashesAlike&) = delete;
    AllHashesAlike& operator=(const AllHashesAlike&) = delete;
};

constexpr int64_t kUnbounded = int64_t{1} << 40;

// `"k0" 0 "k1" 0 ...` for `count` names.
std::string literalPairs(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += " \"k" + std::to_string(i) + "\" 0";
    return text;
}

// A map of `count` members bound to "m", made at the program's load.
std::string membersTop(int count) {
    return R"((let "m" "i") (assign "m" (object)) (assign "i" 0) (loop (lt $i )" + std::to_string(count) +
           R"() (assign "i" (add $i 1)) false (list (set $m (add "k" $i) $i))))";
}

// The instructions an edit callback of `body` was charged on `event`.
int64_t callbackInstructions(const std::string& top, const std::string& body, const MSRPEvent& event) {
    MSRPInterpreterEventEditing editing;
    editing.runtime().setTimeLimit(kCountGuard);
    editing.runtime().setInstructionBudget(kUnbounded);
    MSRError error;
    EXPECT_TRUE(editing.loadProgram(callbackProgram(top, body), &error)) << error.code();
    editing.runtime().resetInstructionCount();
    editing.handleEvent(event, &error);
    EXPECT_EQ(error.code(), 0) << editing.failureReason();
    return editing.runtime().getInstructionCount();
}

TEST(ChargeCount, EachRuleIsPaidByWhatItCounts) {
    constexpr int kNames = 1'000;
    constexpr int kMembers = 10'000;
    constexpr int kLogCalls = 200;
    constexpr int kParameters = 5'000;
    constexpr int kReads = 20;
    foundation::Value::Dictionary many;
    for (int i = 0; i < kParameters; ++i) many.emplace("p" + std::to_string(100'000 + i), i);
    const MSRPEvent large("checkout", 1000.5, std::move(many));

    const struct {
        const char* rule;
        std::function<int64_t()> run;
        int64_t atLeast;
    } rows[] = {
        // 1,000 names in one bucket: each new one is compared with all
        // before it, two instructions a probe past the first; at least a
        // quarter of the pairs is asked.
        {"a bucket's probes past the first",
         [&] {
             AllHashesAlike alike;
             MSRPRuntime runtime;
             runtime.setInstructionBudget(kUnbounded);
             runtime.setTimeLimit(kCountGuard);
             ProgramOutcome outcome = runProgram("(object" + literalPairs(kNames) + ")", &runtime);
             EXPECT_EQ(outcome.error, 0) << MSRPRuntime::stopDescription(outcome.stop);
             return runtime.getInstructionCount();
         },
         int64_t{kNames} * kNames / 4},
        // A map of 10,000 members logged 200 times: past the bytes one
        // event may create, each call is refused, but only after its walk,
        // an instruction a member; at least half of it.
        {"logEvent's measuring walk",
         [&] {
             return callbackInstructions(membersTop(kMembers), R"((let "log" "i") (assign "log" (require "internal.eventLogger"))
                 (assign "i" 0) (loop (lt $i )" + std::to_string(kLogCalls) + R"() (assign "i" (add $i 1)) false
                   (list (log "made" 1 $m))) (return 0))",
                                         MSRPEvent("checkout", 1000.5, {}));
         },
         int64_t{kLogCalls} * kMembers / 2},
        // An event of 5,000 parameters read by getParams 20 times: each
        // parameter converted costs about a dozen evaluations; at least four.
        {"getParams' conversion",
         [&] {
             return callbackInstructions("", R"((let "i") (assign "i" 0) (loop (lt $i )" + std::to_string(kReads) +
                                                 R"() (assign "i" (add $i 1)) false (list (call $e "getParams" (array)))) (return 0))",
                                         large);
         },
         int64_t{kReads} * kParameters * 4},
    };
    for (const auto& row : rows) {
        const int64_t charged = row.run();
        EXPECT_GE(charged, row.atLeast) << row.rule << ": the work was done without its charge (" << charged
                                        << " instructions)";
    }
}

}  // namespace
