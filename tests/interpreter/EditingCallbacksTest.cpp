// Programs that register edit and create callbacks through their rules, and
// what each event comes out as: renames, parameter changes and removals
// (counted as edits), discarded callbacks, created events, failures that
// leave the event as it was, and the modules programs reach with require.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "analytics/interpreter/MSRPHostModules.h"
#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/support/MSRError.h"
#include "tests/interpreter/InterpreterTestSupport.h"
#include "tools/assembler/ProgramAssembler.h"

namespace {

// A program whose top level is `top` and whose one activity "rules" hands
// each of `entries` (assembler statements yielding maps) to the rule "rules".
MSRPBProgram editingProgram(const std::string& top, const std::vector<std::string>& entries = {"(object)"}) {
    std::string error;
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleProgram(top, &error);
    EXPECT_TRUE(program) << error;
    if (!program) return MSRPBProgram();
    MSRPBEdtActivity activity;
    MSRPBSetString(activity, 0, "rules");
    std::vector<MSRPBRuntimeEntity> data;
    for (const std::string& entry : entries) {
        auto statements = ProgramAssembler::assembleStatements(entry, &error);
        EXPECT_TRUE(statements) << error;
        if (statements) data.insert(data.end(), statements->begin(), statements->end());
    }
    MSRPBSetMessageArray(activity, 1, std::move(data));
    MSRPBEdtActivities activities;
    MSRPBSetMessageArray(activities, 0, std::vector<MSRPBEdtActivity>{activity});
    MSRPBSetMessage(*program, 1, activities);
    return *program;
}

// The rule registers each callback given as (body, type, priority).
std::string rulesRegistering(const std::vector<std::tuple<std::string, std::string, int>>& callbacks) {
    std::string text = R"((function "rules" (array "r") (let "register") (assign "register" (require "internal.registerCallback")) )";
    for (const auto& [body, type, priority] : callbacks) {
        text += R"((register 0 (lambda "cb" (array "e") )" + body + R"() (object "type" ")" + type +
                R"(" "priority" )" + std::to_string(priority) + "))";
    }
    return text + ")";
}

const MSRPEvent kCheckout("checkout", 1000.5,
                          {{"value", 3}, {"price", 2.5}, {"currency", "EUR"}, {"secret", "x"}, {"_el", 1}});

TEST(EditingCallbacks, EditsRenameChangeAddAndRemoveParameters) {
    MSRPInterpreterEventEditing editing;
    MSRError error;
    ASSERT_TRUE(editing.loadProgram(
        editingProgram(rulesRegistering({{R"(
            (if (ne (call $e "getEventName" (array)) "checkout") (list (return 0)))
            (call $e "setEventName" (array "purchase"))
            (call $e "setParamValue" (array "added" "yes"))
            (call $e "setParamValue" (array "value" 2.5))
            (call $e "setParamValue" (array "_el" 2.7))
            (call $e "setParamValue" (array "currency" 5))
            (call $e "setParamValue" (array "secret" (null)))
            (return 0))",
                                          "edit", 1}})),
        &error))
        << error.code();
    ASSERT_TRUE(editing.handleEvent(kCheckout, &error));
    EXPECT_TRUE(editing.hasEdits());
    const MSRPEvent& output = *editing.eventContext().outputEvent;
    EXPECT_EQ(output.name(), "purchase");
    const foundation::Value::Dictionary expected = {
        {"value", 2}, {"price", 2.5}, {"currency", "5"}, {"added", "yes"}, {"_el", 2}};
    EXPECT_EQ(output.parameters(), expected);
    EXPECT_EQ(output.parameters().at("value").type(), foundation::Value::Type::Integer);

    // Another event passes untouched.
    MSRPEvent other("view", 1, {{"a", 1}});
    EXPECT_FALSE(editing.handleEvent(other, &error));
    EXPECT_FALSE(editing.hasEdits());
}

TEST(EditingCallbacks, WhatCountsAsAnEdit) {
    struct EditCountCase {
        const char* body;
        bool edited;
    } cases[] = {
        // A removal alone is an edit, so the event is saved as edited.
        {R"((call $e "setParamValue" (array "secret" (null))) (return 0))", true},
        {R"((call $e "setParamValue" (array "value" 3)) (return 0))", false},
        {R"((call $e "setParamValue" (array "price" 2.5)) (return 0))", false},
        // Returning nothing, 2 or -1 discards the callback's changes.
        {R"((call $e "setEventName" (array "x")))", false},
        {R"((call $e "setEventName" (array "x")) (return 2))", false},
        {R"((call $e "setEventName" (array "x")) (return -1))", false},
        {R"((call $e "setEventName" (array "x")) (return 1))", true},
    };
    for (const EditCountCase& c : cases) {
        MSRPInterpreterEventEditing editing;
        MSRError error;
        ASSERT_TRUE(editing.loadProgram(editingProgram(rulesRegistering({{c.body, "edit", 1}})), &error)) << c.body;
        EXPECT_EQ(editing.handleEvent(kCheckout, &error), c.edited) << c.body;
        EXPECT_EQ(editing.hasEdits(), c.edited) << c.body;
        EXPECT_EQ(error.code(), 0) << c.body;
    }
}

TEST(EditingCallbacks, FailuresLeaveTheEventAsItWas) {
    struct EditFailureCase {
        const char* body;
        int code;
    } cases[] = {
        {R"((call $e "setEventName" (array "x")) (assign "undeclared" 1) (return 0))", MSRPErrorCode::kUndeclaredVariable},
        {R"((call $e "setEventName" (array "x")) (loop true 0 false (list)))", MSRPErrorCode::kInstructionBudget},
        {R"((call $e "setEventName" (array (null))) (return 0))", MSRPErrorCode::kArgumentKind},
        {R"((call $e "getParams" (array 1)) (return 0))", MSRPErrorCode::kArgumentCount},
        // A parameter of 2 MiB is refused before it is copied into the event.
        {R"((let "v" "i") (assign "v" "x") (assign "i" 0)
            (loop (lt $i 21) (assign "i" (add $i 1)) false (list (assign "v" (add $v $v))))
            (call $e "setParamValue" (array "big" $v)) (return 0))",
         MSRPErrorCode::kInstructionBudget},
    };
    for (const EditFailureCase& c : cases) {
        MSRPInterpreterEventEditing editing;
        MSRError error;
        ASSERT_TRUE(editing.loadProgram(editingProgram(rulesRegistering({{c.body, "edit", 1}})), &error)) << c.body;
        EXPECT_FALSE(editing.handleEvent(kCheckout, &error)) << c.body;
        EXPECT_EQ(error.code(), c.code) << c.body;
        EXPECT_EQ(error.domain(), MSRPErrorDomain) << c.body;
        EXPECT_FALSE(editing.hasEdits()) << c.body;
        EXPECT_EQ(editing.eventContext().outputEvent->name(), "checkout") << c.body;
        // The next event has the whole budget again.
        MSRError next;
        editing.handleEvent(kCheckout, &next);
        EXPECT_EQ(next.code(), c.code) << c.body;
    }
}

TEST(EditingCallbacks, PrioritiesAndCreatedEvents) {
    MSRPInterpreterEventEditing editing;
    MSRError error;
    // Edits append their mark to "order": 5, the second 5 moved to 6, then 10.
    auto mark = [](const char* m) {
        return std::string(R"((call $e "setParamValue" (array "order" (add (call $e "getParamValue" (array "order")) ")") +
               m + R"("))) (return 0))";
    };
    ASSERT_TRUE(editing.loadProgram(
        editingProgram(rulesRegistering({{mark("a"), "edit", 5},
                                         {mark("b"), "edit", 5},
                                         {mark("c"), "edit", 10},
                                         {R"((let "log") (assign "log" (require "internal.eventLogger"))
                                             (log (add "made_" (call $e "getEventName" (array))) 77.9
                                                  (object "value" 2.5 "order" (call $e "getParamValue" (array "order")) "none" (null)))
                                             (call $e "setEventName" (array "renamed")) (return 2))",
                                          "create", 1}})),
        &error));
    MSRPEvent event("e", 1, {{"order", ""}, {"value", 1}});
    ASSERT_TRUE(editing.handleEvent(event, &error));
    EXPECT_EQ(editing.eventContext().outputEvent->parameters().at("order"), foundation::Value("abc"));
    // A create callback's rename stays whatever it answers.
    EXPECT_EQ(editing.eventContext().outputEvent->name(), "renamed");
    ASSERT_TRUE(editing.hasCreatedEvents());
    const MSRPEvent& made = editing.eventContext().eventsToLog.at(0);
    EXPECT_EQ(made.name(), "made_e");
    EXPECT_EQ(made.timestamp(), 77);
    // Normalized against the input event: "value" held an integer there.
    const foundation::Value::Dictionary expected = {{"value", 2}, {"order", "abc"}};
    EXPECT_EQ(made.parameters(), expected);
}

TEST(EditingCallbacks, LoadingRefusesBadRulesAndRegistrations) {
    struct LoadCase {
        std::string top;
        std::vector<std::string> entries;
        int code;
    } cases[] = {
        {R"((function "other" (array "r")))", {"(object)"}, MSRPInterpreterEventEditing::kEditingErrorNoRule},
        {R"((function "rules" (array "r")))", {"1"}, MSRPInterpreterEventEditing::kEditingErrorRuleNotMap},
        {R"((function "rules" (array "r") (let "register") (assign "register" (require "internal.registerCallback"))
              (register 0 (lambda "f" (array)) (object "priority" 1))))",
         {"(object)"}, MSRPInterpreterEventEditing::kEditingErrorNoType},
        {rulesRegistering({{"(return 0)", "change", 1}}), {"(object)"},
         MSRPInterpreterEventEditing::kEditingErrorUnknownType},
        // The 1001st registration fails, whatever its type.
        {R"((function "rules" (array "r") (let "register") (assign "register" (require "internal.registerCallback"))
              (let "i") (assign "i" 0)
              (loop (lt $i 1000) (assign "i" (add $i 1)) false (list (register 0 (lambda "f" (array)) (object "type" "edit"))))
              (register 0 (lambda "f" (array)) (object "type" "nonsense"))))",
         {"(object)"}, MSRPInterpreterEventEditing::kEditingErrorTooManyCallbacks},
    };
    for (const LoadCase& c : cases) {
        MSRPInterpreterEventEditing editing;
        MSRError error;
        EXPECT_FALSE(editing.loadProgram(editingProgram(c.top, c.entries), &error)) << c.top;
        EXPECT_EQ(error.code(), c.code) << c.top;
        EXPECT_EQ(error.domain(), MSRPEditingErrorDomain) << c.top;
    }
}

class RecordingPicoLogger : public MSRPicoLogger {
  public:
    void logWithLevel(int64_t level, const std::string& message, const std::vector<std::string>& context, bool silent,
                      bool monitored) override {
        lines.push_back(std::to_string(monitorLevel(level, silent, monitored)) + " " + message);
        for (const std::string& text : context) lines.back() += " " + text;
    }
    std::vector<std::string> lines;
};

TEST(EditingCallbacks, ModulesThroughRequire) {
    MSRPInterpreterEventEditing editing;
    auto logger = std::make_shared<RecordingPicoLogger>();
    int metadataCalls = 0;
    editing.setModuleCreator(
        [] {
            return std::make_shared<MSRPKeyValueStore>("internal.remoteConfig", [](const std::string& key) {
                return key == "k" ? std::optional<std::string>("0.123456789012") : std::nullopt;
            });
        },
        "internal.remoteConfig");
    editing.setModuleCreator(
        [&] {
            return std::make_shared<MSRPObjectProvider>("internal.appMetadata", [&] {
                ++metadataCalls;
                return foundation::Value::Dictionary{{"platform", "ios"}, {"zmp_version", 110100}};
            });
        },
        "internal.appMetadata");
    editing.setModuleCreator([logger] { return std::make_shared<MSRPMessageLogger>(logger); }, "internal.logger");

    struct ModuleCase {
        const char* program;
        const char* result;
        int error;
    } cases[] = {
        {R"((require "none"))", "undefined", 0},
        {R"((require))", "", MSRPErrorCode::kArgumentCount},
        {R"((same (require "internal.logger") (require "internal.logger")))", "true", 0},
        {R"((call (require "internal.remoteConfig") "getValue" (array "k" 5)))", "0.123456789012", 0},
        {R"((call (require "internal.remoteConfig") "getValue" (array "missing" 5)))", "5", 0},
        {R"((call (require "internal.platform") "getVersion" (array 1 2)))", "0", 0},
        {R"((let "m") (assign "m" (require "internal.appMetadata"))
            (and (eq (get (m) "platform") "ios") (notsame (m) (m))))",
         "true", 0},
        {R"((call (require "internal.logger") "log" (array "hi")))", "undefined", 0},
        {R"((call (require "internal.logger") "log" (array 6 "bad")))", "undefined", 0},
        {R"((call (get (require "internal.logger") "silent") "log" (array 6 "bad")))", "undefined", 0},
        {R"((call (get (require "internal.logger") "unmonitored") "log" (array 5 "w")))", "undefined", 0},
        {R"((call (require "internal.logger") "log" (array 4 "m" "a" "b" "c" "d")))", "undefined", 0},
        {R"((call (require "internal.logger") "log" (array)))", "", MSRPErrorCode::kArgumentCount},
    };
    for (const ModuleCase& c : cases) {
        std::string assemblyError;
        auto statements = ProgramAssembler::assembleStatements(c.program, &assemblyError);
        ASSERT_TRUE(statements) << assemblyError;
        MSRError error;
        MSRPValue value = editing.runtime().executeStatements(*statements, &error);
        EXPECT_EQ(error.code(), c.error) << c.program;
        if (c.error == 0) {
            int ignored = 0;
            EXPECT_EQ(value.stringValueOrError(&ignored), c.result) << c.program;
        }
    }
    const std::vector<std::string> expected = {"6 hi", "1 bad", "2 bad", "3 w", "6 m a b c"};
    EXPECT_EQ(logger->lines, expected);
    EXPECT_EQ(metadataCalls, 3);
}

TEST(EditingCallbacks, LoadingAndEachEventStopAtTheTimeGuard) {
    // With the budget raised to minutes of work, only the time guard ends an
    // endless loop: each load and each event runs a second from its own
    // start, so a second run is not stopped by the first one's deadline. The
    // guard reads the wall clock, which the run's processor time never
    // passes: a guard that came late or never would show in that time on a
    // quiet machine, and a crowded one only lowers it.
    using Clock = std::chrono::steady_clock;
    const std::string endless = "(loop true 0 false (list))";
    auto stopsAtTheGuard = [](MSRPInterpreterEventEditing& editing, const std::function<bool(MSRError*)>& run) {
        MSRError error;
        const auto started = Clock::now();
        const double cpuBefore = threadCpuSeconds();
        EXPECT_FALSE(run(&error));
        const double cpu = threadCpuSeconds() - cpuBefore;
        const auto took = Clock::now() - started;
        EXPECT_EQ(error.code(), MSRPErrorCode::kInstructionBudget);
        EXPECT_EQ(editing.failureReason(), "time limit");
        EXPECT_GE(took, MSRPInterpreterEventEditing::kTimeLimit);
        EXPECT_LT(cpu, 5 * std::chrono::duration<double>(MSRPInterpreterEventEditing::kTimeLimit).count())
            << std::chrono::duration<double>(took).count() << " s by the clock";
    };
    constexpr int64_t kMinutesOfWork = 4'000'000'000;
    {
        MSRPInterpreterEventEditing editing;
        editing.runtime().setInstructionBudget(kMinutesOfWork);
        for (int load = 0; load < 2; ++load) {
            SCOPED_TRACE(load);
            stopsAtTheGuard(editing,
                            [&](MSRError* error) { return editing.loadProgram(editingProgram(endless), error); });
        }
    }
    MSRPInterpreterEventEditing editing;
    editing.runtime().setInstructionBudget(kMinutesOfWork);
    MSRError error;
    ASSERT_TRUE(editing.loadProgram(editingProgram(rulesRegistering({{endless, "edit", 1}})), &error));
    for (int event = 0; event < 2; ++event) {
        SCOPED_TRACE(event);
        stopsAtTheGuard(editing, [&](MSRError* failure) { return editing.handleEvent(kCheckout, failure); });
    }
}

TEST(EditingCallbacks, AHostileProgramCostsEachEventABoundedShare) {
    MSRPInterpreterEventEditing editing;
    auto logger = std::make_shared<RecordingPicoLogger>();
    editing.setModuleCreator([logger] { return std::make_shared<MSRPMessageLogger>(logger); }, "internal.logger");
    editing.runtime().setMemoryLimit(int64_t{4} << 20);
    // The memory ceiling is what this row is about: the time guard waits long
    // enough that a crowded core never reaches it first.
    editing.runtime().setTimeLimit(kCountGuard);
    // Per event: 5 events created with 256 KiB of text each and 1000 more,
    // 500 log lines of 256 KiB each, and 512 KiB more kept in a global array.
    const std::string top = R"((let "kept" "big") (assign "kept" (array)) (assign "big" "x")
        (let "i") (assign "i" 0)
        (loop (lt $i 18) (assign "i" (add $i 1)) false (list (assign "big" (add $big $big)))))";
    MSRError error;
    ASSERT_TRUE(editing.loadProgram(
        editingProgram(top + rulesRegistering({{R"((let "log" "n") (assign "log" (require "internal.eventLogger"))
              (assign "n" 0) (loop (lt $n 5) (assign "n" (add $n 1)) false (list (log "big" 1 (object "v" $big))))
              (assign "n" 0) (loop (lt $n 1000) (assign "n" (add $n 1)) false (list (log "made" 1 (object))))
              (assign "n" 0) (loop (lt $n 500) (assign "n" (add $n 1)) false
                (list (call (require "internal.logger") "log" (array $big))))
              (call $kept "push" (array (add $big $big))) (return 0))",
                                                 "create", 1}})),
        &error));
    const MSRPEvent event("e", 1, {});
    int stopped = 0;
    for (int turn = 0; turn < 12; ++turn) {
        logger->lines.clear();
        if (!editing.handleEvent(event, &error)) {
            ++stopped;
            EXPECT_EQ(error.code(), MSRPErrorCode::kInstructionBudget);
            EXPECT_EQ(editing.failureReason(), "memory ceiling");
            continue;
        }
        // Three large events all but fill the bytes one event may create.
        const std::vector<MSRPEvent>& made = editing.eventContext().eventsToLog;
        ASSERT_EQ(made.size(), MSRPInterpreterEventEditing::kMaxCreatedEvents);
        EXPECT_EQ(std::count_if(made.begin(), made.end(), [](const MSRPEvent& e) { return e.name() == "big"; }), 3);
        EXPECT_EQ(editing.refusedEventCount(), 1005 - int64_t{MSRPInterpreterEventEditing::kMaxCreatedEvents});
        ASSERT_EQ(logger->lines.size(), static_cast<size_t>(MSRPLogBounds::kMaxLogCallsPerRun + 1));
        for (const std::string& line : logger->lines) EXPECT_LE(line.size(), MSRPLogBounds::kMaxLogTextBytes + 8);
        EXPECT_EQ(logger->lines.back(), "6 Further log lines of this event dropped");
    }
    // What the program keeps from event to event meets one ceiling: the
    // events after it are stored unedited.
    EXPECT_GE(stopped, 4);
    EXPECT_LE(editing.runtime().memoryAccount().peak, int64_t{4} << 20);
}

}  // namespace
