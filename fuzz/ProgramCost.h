#pragma once
// What a served event-editing program costs against what it was charged.
//
// A run (the program's load, then each event it edits) may take the thread's
// CPU time of its charged instructions at a generous rate plus a constant,
// and may grow the process's resident memory by the program's memory account
// plus a margin. Work done without its charge, or memory held outside the
// account, shows as a run past one of the two; the cost fuzzer aborts on it
// and the suite runs the same check over the fuzzer's seeds.
//
// The CPU time of the thread, not the wall clock, is what the check reads:
// a busy machine stretches a run's wall time but not the work it does.
//
// An input is either a program in the assembler's text (it starts with ';'
// or '(': the seeds) or bytes that pick a program from a small grammar of
// costly shapes (buildCostProgram): large texts made by doubling, shared and
// deep arrays, many references, long parameter and name lists, patterns,
// each handed to a native method, an operator, a statement or the event's
// own methods.

#include <malloc.h>
#include <time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/interpreter/MSRPRuntime.h"
#include "analytics/model/MSRPEvent.h"
#include "analytics/model/MSRPEventEditing.h"
#include "analytics/support/MSRError.h"
#include "tools/assembler/ProgramAssembler.h"

#if defined(__SANITIZE_ADDRESS__)
#define CALVARO_COST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CALVARO_COST_ASAN 1
#endif
#endif
#if defined(CALVARO_COST_ASAN)
#include <sanitizer/allocator_interface.h>
#endif

namespace fuzz {

// The rate at which charged instructions may take CPU time, and what any run
// may take on top: far above what the interpreter spends per charged
// instruction (a quarter of a microsecond at most, ten times that under the
// sanitizers, whose allocator is slow), and far below what uncharged native
// work takes (a tenth of a millisecond to milliseconds per instruction).
#if defined(CALVARO_COST_ASAN)
inline constexpr double kSecondsPerCharge = 10e-6;
#else
inline constexpr double kSecondsPerCharge = 2e-6;
#endif
inline constexpr double kSecondsPerRun = 0.3;
// Resident growth past the memory account: the allocator's own slack, the
// stack, the event's copy. Under AddressSanitizer its shadow (an eighth) and
// its quarantine of freed blocks (256 MiB by default) come on top.
inline constexpr int64_t kResidentMargin = int64_t{32} << 20;
#if defined(CALVARO_COST_ASAN)
inline constexpr int64_t kAllocatorSlack = (MSRPRuntime::kDefaultMemoryAllowance / 8) + (int64_t{256} << 20);
#else
inline constexpr int64_t kAllocatorSlack = 0;
#endif
// The runs' time guard: the engine's (a second) would stop uncharged work
// before it shows, and would stop a load that a busy machine slows; the
// check wants every run to end on its charges.
inline constexpr std::chrono::seconds kTimeGuard{10};
// The account itself never holds more than its ceiling: what would pass it
// is refused before it is allocated (a mebibyte for the bookkeeping of the
// allocation that is refused).
inline constexpr int64_t kAccountBound = MSRPRuntime::kDefaultMemoryAllowance + (int64_t{1} << 20);
inline constexpr int64_t kResidentBound = MSRPRuntime::kDefaultMemoryAllowance + kResidentMargin + kAllocatorSlack;

// ---- Reading the process --------------------------------------------------

inline double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// VmRSS or VmHWM of this process in bytes, 0 when unknown.
inline int64_t statusBytes(std::string_view field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0 && line.size() > field.size() && line[field.size()] == ':')
            return std::stoll(line.substr(field.size() + 1)) * 1024;
    }
    return 0;
}

// Returns freed memory to the system and restarts the peak at what is
// resident now, so that the next peak is the run's own.
inline int64_t restartResidentPeak() {
#if defined(CALVARO_COST_ASAN)
    __sanitizer_purge_allocator();
#else
    malloc_trim(0);
#endif
    std::ofstream("/proc/self/clear_refs") << "5";
    return statusBytes("VmRSS");
}

// ---- The check -------------------------------------------------------------

struct CostEscape {
    std::string stage;  // "load" or "event N"
    double cpuSeconds = 0;
    double wallSeconds = 0;
    int64_t charged = 0;
    int64_t residentGrowth = 0;
    int64_t accountPeak = 0;  // the most the program's memory account held so far
    std::string stop;  // what stopped the run, if anything did

    std::string describe() const {
        char line[400];
        std::snprintf(line, sizeof line,
                      "%s: %.3f s of CPU (%.3f s wall) for %lld instructions (bound %.3f s), resident +%.1f MiB "
                      "(bound %.1f MiB, account peak %.1f MiB)%s%s",
                      stage.c_str(), cpuSeconds, wallSeconds, static_cast<long long>(charged),
                      kSecondsPerRun + kSecondsPerCharge * static_cast<double>(charged),
                      static_cast<double>(residentGrowth) / (1 << 20),
                      static_cast<double>(kResidentBound) / (1 << 20),
                      static_cast<double>(accountPeak) / (1 << 20), stop.empty() ? "" : ", stopped by ",
                      stop.c_str());
        return line;
    }
    bool escaped() const {
        return cpuSeconds > kSecondsPerRun + kSecondsPerCharge * static_cast<double>(charged) ||
               residentGrowth > kResidentBound || accountPeak > kAccountBound;
    }
};

// Loads `program` (its activities call the rule "rules") into an event editor
// as the engine does, then hands it `events` events; the first stage that
// costs more than it was charged, or nullopt. `measured`, when given, gets
// every stage.
inline std::optional<CostEscape> findCostEscape(const MSRPBProgram& program, int events,
                                                std::vector<CostEscape>* measured = nullptr) {
    MSRPInterpreterEventEditing editor;
    editor.setModuleCreator(
        []() -> std::shared_ptr<MSRPModule> {
            return std::make_shared<MSRPMessageLogger>(std::make_shared<MSRPicoLogger>());
        },
        "internal.logger");
    editor.runtime().setTimeLimit(kTimeGuard);
    std::optional<CostEscape> found;
    auto measure = [&](std::string stage, auto&& run) {
        CostEscape cost;
        cost.stage = std::move(stage);
        const int64_t resident = restartResidentPeak();
        const auto wallStart = std::chrono::steady_clock::now();
        const double cpuStart = threadSeconds();
        const bool ran = run();
        cost.cpuSeconds = threadSeconds() - cpuStart;
        cost.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        cost.residentGrowth = statusBytes("VmHWM") - resident;
        cost.charged = editor.runtime().getInstructionCount();
        cost.accountPeak = editor.runtime().memoryAccount().peak;
        if (!ran) cost.stop = editor.failureReason();
        if (measured) measured->push_back(cost);
        if (!found && cost.escaped()) found = cost;
        return ran;
    };
    if (!measure("load", [&] {
            MSRError error;
            return editor.loadProgram(program, &error);
        }))
        return found;
    for (int n = 1; n <= events && !found; ++n) {
        foundation::Value::Dictionary parameters;
        parameters["n"] = foundation::Value(int64_t{n});
        parameters["text"] = foundation::Value(std::string("a parameter"));
        const MSRPEvent event("e2e_event", 1.0e9 + n, std::move(parameters));
        measure("event " + std::to_string(n), [&] {
            MSRError error;
            editor.handleEvent(event, &error);
            return error.code() == 0;
        });
    }
    return found;
}

// ---- The program builder ---------------------------------------------------

// Reads choices off the input; once it is spent, off a generator seeded by
// the whole input, so that even the short inputs a fuzzer starts with pick
// whole programs.
class Choices {
  public:
    Choices(const uint8_t* data, size_t size) : data_(data), size_(size) {
        for (size_t i = 0; i < size; ++i) state_ = (state_ ^ data[i]) * 0x100000001b3ULL;
    }
    // A number below `count`.
    unsigned below(unsigned count) {
        if (count <= 1) return 0;
        if (at_ >= size_) {
            state_ ^= state_ << 13, state_ ^= state_ >> 7, state_ ^= state_ << 17;
            return static_cast<unsigned>(state_ >> 32) % count;
        }
        return data_[at_++] % count;
    }
    bool flip() { return below(2) == 1; }
    template <size_t N>
    const char* of(const char* const (&items)[N]) {
        return items[below(N)];
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    uint64_t state_ = 0xcbf29ce484222325ULL;
};

// The names the built program keeps its values in.
inline constexpr const char* kSlots[] = {"a", "b", "c", "d"};

inline std::string slot(Choices& choose) { return std::string("$") + choose.of(kSlots); }

// A count of doublings: mostly large, so that texts reach mebibytes and
// shared arrays expand into millions of elements.
inline unsigned doublings(Choices& choose, unsigned most) {
    return choose.flip() ? most - choose.below(most / 3 + 1) : choose.below(most + 1);
}

inline std::string loop(const std::string& counter, unsigned turns, const std::string& body) {
    return "(assign \"" + counter + "\" 0) (loop (lt $" + counter + " " + std::to_string(turns) + ") (assign \"" +
           counter + "\" (add $" + counter + " 1)) false (list " + body + "))\n";
}

// A statement that makes a large value in a slot.
inline std::string makeValue(Choices& choose) {
    const std::string target = choose.of(kSlots);
    const std::string into = "(assign \"" + target + "\" ";
    const std::string self = "$" + target;
    switch (choose.below(8)) {
        case 0: {
            // A text doubled: blanks and digits for conversions, brackets for
            // patterns, a sigma for case mapping, separators for splits.
            static constexpr const char* seeds[] = {"x", " ", "()", "ab", "7", "a,", "\xCE\xA3", "(a|", "\\\\"};
            return into + "\"" + choose.of(seeds) + "\") " +
                   loop("i", doublings(choose, 24), into + "(add " + self + " " + self + "))");
        }
        case 1: {
            // Another text of the same length that differs at its end.
            static constexpr const char* tails[] = {"y", "z", "0", ")"};
            return into + "(add " + slot(choose) + " \"" + choose.of(tails) + "\"))\n";
        }
        case 2:
            // An array that holds itself twice per level: small, yet
            // 2^depth elements once expanded.
            return into + "(array " + slot(choose) + ")) " +
                   loop("i", doublings(choose, 24), into + "(array " + self + " " + self + "))");
        case 3:
            // 2^n references to one value.
            return into + "(array " + slot(choose) + ")) " +
                   loop("i", doublings(choose, 17), into + "(call " + self + " \"concat\" (array " + self + ")))");
        case 4:
            // Many distinct short texts: names for parameters and loops.
            return into + "(array)) " +
                   loop("i", 1u << doublings(choose, 15),
                        "(call " + self + " \"push\" (array (add \"n\" $i)))");
        case 5:
            // An object of many members.
            return into + "(object)) " +
                   loop("i", 1u << doublings(choose, 15), "(set " + self + " (add \"k\" $i) " + slot(choose) + ")");
        case 6:
            // An array nested deep, one level at a time.
            return into + "(array)) " + loop("i", 1u << doublings(choose, 11), into + "(array " + self + "))");
        default:
            // A number, a boolean or a short text.
            static constexpr const char* small[] = {"0", "1", "-1", "\"\"", "\"x\"", "true", "(null)", "3.5"};
            return into + choose.of(small) + ")\n";
    }
}

// An argument for a call: a slot, or a small literal.
inline std::string argument(Choices& choose) {
    static constexpr const char* small[] = {"0", "1", "-1", "\"\"", "\"y\"", "\",\"", "\"x*\"", "100000000"};
    return choose.below(3) ? slot(choose) : choose.of(small);
}

// A statement that works on the slots.
inline std::string useValue(Choices& choose) {
    static constexpr const char* methods[] = {
        "indexOf", "lastIndexOf", "concat", "join",      "sort",     "slice",       "splice",
        "reverse", "map",         "filter", "reduce",    "every",    "some",        "forEach",
        "push",    "unshift",     "shift",  "pop",       "toString", "charAt",      "match",
        "replace", "search",      "split",  "substring", "trim",     "toLowerCase", "toLocaleUpperCase",
        "hasOwnProperty", "reduceRight"};
    static constexpr const char* operators[] = {"eq", "ne", "same", "notsame", "lt", "ge", "add", "sub",
                                                "mul", "div", "mod", "band", "shl", "and", "or"};
    switch (choose.below(10)) {
        case 0:
        case 1:
        case 2: {
            std::string call = "(call " + slot(choose) + " \"" + choose.of(methods) + "\" (array";
            const unsigned count = choose.below(3);
            for (unsigned i = 0; i < count; ++i)
                call += choose.below(4) == 0 ? " (lambda \"f\" (array \"p\" \"q\") (return (lt $p $q)))"
                                             : " " + argument(choose);
            return call + "))";
        }
        case 3:
            return std::string("(") + choose.of(operators) + " " + argument(choose) + " " + argument(choose) + ")";
        case 4:
            // A switch whose cases are the elements of an array.
            return "(switch " + slot(choose) + " " + slot(choose) + " " + slot(choose) + ")";
        case 5: {
            // The event's own methods, and the events a program creates.
            switch (choose.below(5)) {
                case 0: return "(call $e \"setParamValue\" (array \"p\" " + slot(choose) + "))";
                case 1: return "(call $e \"setEventName\" (array " + slot(choose) + "))";
                case 2: return "(call $e \"getParamValue\" (array " + argument(choose) + "))";
                case 3: return "(log \"made\" 1 (object \"v\" " + slot(choose) + "))";
                default: return "(call $logger \"log\" (array " + slot(choose) + "))";
            }
        }
        case 6:
            // A function whose parameters are named by an array, called.
            return "(function \"g\" " + slot(choose) + " (return 0)) (g " + argument(choose) + " " +
                   argument(choose) + ")";
        case 7:
            // A counting loop whose variables are named by an array.
            return "(for " + slot(choose) + " (lt $j " + std::to_string(1 + choose.below(100)) +
                   ") (assign \"j\" (add $j 1)) (list))";
        case 8: {
            static constexpr const char* loops[] = {"forof", "forin"};
            return std::string("(") + choose.of(loops) + " \"v\" " + slot(choose) + " (list))";
        }
        default: {
            static constexpr const char* unary[] = {"neg", "not", "typeof", "bnot"};
            return std::string("(") + choose.of(unary) + " " + slot(choose) + ")";
        }
    }
}

// An editing program whose load makes large values and whose edit callback
// works on them, some statements repeated.
inline std::string buildCostProgram(const uint8_t* data, size_t size) {
    Choices choose(data, size);
    std::string program = "(let \"a\" \"b\" \"c\" \"d\" \"i\" \"j\")\n";
    for (unsigned n = 1 + choose.below(4); n > 0; --n) program += makeValue(choose);
    std::string edit;
    for (unsigned n = choose.below(2); n > 0; --n) edit += makeValue(choose);
    static constexpr unsigned turns[] = {1, 1, 2, 8, 100};
    std::string body;
    for (unsigned n = 1 + choose.below(3); n > 0; --n) body += useValue(choose) + " ";
    edit += loop("j", turns[choose.below(5)], body);
    return program + R"((function "rules" (array "r")
  (let "register") (assign "register" (require "internal.registerCallback"))
  (register 0 (lambda "edit" (array "e")
      (let "log" "logger") (assign "log" (require "internal.eventLogger"))
      (assign "logger" (require "internal.logger"))
)" + edit + R"(      (return 0))
    (object "type" "edit")))
)";
}

// The program an input stands for: a text as it is, or the one its bytes
// pick; nullopt when a text does not assemble.
inline std::optional<MSRPBProgram> costProgram(const uint8_t* data, size_t size, std::string* text = nullptr) {
    std::string source = size > 0 && (data[0] == ';' || data[0] == '(')
                             ? std::string(reinterpret_cast<const char*>(data), size)
                             : buildCostProgram(data, size);
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleEditingProgram(source, "rules");
    if (text) *text = std::move(source);
    return program;
}

}  // namespace fuzz
