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
// or '(': the seeds; "x"^20 writes a literal doubled 20 times) or bytes that
// pick a program from a grammar of costly shapes (buildCostProgram): texts of
// up to 16 MiB made by doubling, shared and deep arrays, many references,
// long parameter and name lists, thousands of names and keys, working events
// of tens of thousands of parameters, programs of hundreds of thousands of
// entities, patterns, closures and callbacks by the thousand, handed to every
// command, method and native function. A program's first line may widen it
// ("; wide N": the top-level function "wide" gets N literals).

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/interpreter/MSRPRuntime.h"
#include "analytics/messages/MSRPBRuntime.h"
#include "analytics/model/MSRPEvent.h"
#include "analytics/model/MSRPEventEditing.h"
#include "analytics/support/MSRError.h"
#include "fuzz/ProcessWatch.h"
#include "tools/assembler/ProgramAssembler.h"

namespace fuzz {

// The rate at which charged instructions may take CPU time, and what any run
// may take on top: far above what the interpreter spends per charged
// instruction (a quarter of a microsecond at most, ten times that under the
// sanitizers, whose allocator is slow), and far below what uncharged native
// work takes (a tenth of a millisecond to milliseconds per instruction).
#if defined(CALVARO_FUZZ_ASAN)
inline constexpr double kSecondsPerCharge = 10e-6;
#else
inline constexpr double kSecondsPerCharge = 2e-6;
#endif
inline constexpr double kSecondsPerRun = 0.3;
// Resident growth past the memory account: the allocator's own slack, the
// stack, the event's copy. Under AddressSanitizer its shadow (an eighth) and
// its quarantine of freed blocks (256 MiB by default) come on top, twice
// over: a program that makes and drops small values for a whole budget fills
// the quarantine with blocks whose headers and redzones take as much again
// (measured: resident growth of 1.6 times the quarantine's size).
inline constexpr int64_t kResidentMargin = int64_t{32} << 20;
#if defined(CALVARO_FUZZ_ASAN)
inline constexpr int64_t kQuarantine = int64_t{256} << 20;
inline constexpr int64_t kAllocatorSlack = MSRPRuntime::kDefaultMemoryAllowance / 8 + 2 * kQuarantine;
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

// The modules the engine registers beside the editor's own: its logger,
// settings that answer one key, and the application's metadata.
inline void registerHostModules(MSRPInterpreterEventEditing& editor) {
    editor.setModuleCreator(
        []() -> std::shared_ptr<MSRPModule> {
            return std::make_shared<MSRPMessageLogger>(std::make_shared<MSRPicoLogger>());
        },
        "internal.logger");
    editor.setModuleCreator(
        []() -> std::shared_ptr<MSRPModule> {
            return std::make_shared<MSRPKeyValueStore>(
                "internal.remoteConfig",
                [](const std::string& key) -> std::optional<std::string> {
                    if (key == "k") return std::string("a setting");
                    return std::nullopt;
                });
        },
        "internal.remoteConfig");
    editor.setModuleCreator(
        []() -> std::shared_ptr<MSRPModule> {
            return std::make_shared<MSRPObjectProvider>("internal.appMetadata", [] {
                return foundation::Value::Dictionary{{"platform", foundation::Value(std::string("ios"))},
                                                     {"zmp_version", foundation::Value(int64_t{1})}};
            });
        },
        "internal.appMetadata");
}

// Loads `program` (its activities call the rule "rules") into an event editor
// as the engine does, then hands it `events` events; the first stage that
// costs more than it was charged, or nullopt. `measured`, when given, gets
// every stage; `watch`, when given, watches each.
inline std::optional<CostEscape> findCostEscape(const MSRPBProgram& program, int events,
                                                std::vector<CostEscape>* measured = nullptr,
                                                ResidentWatch* watch = nullptr) {
    MSRPInterpreterEventEditing editor;
    registerHostModules(editor);
    editor.runtime().setTimeLimit(kTimeGuard);
    std::optional<CostEscape> found;
    auto measure = [&](std::string stage, auto&& run) {
        CostEscape cost;
        cost.stage = std::move(stage);
        const int64_t resident = restartResidentPeak();
        if (watch) watch->begin(cost.stage, resident, kResidentBound);
        const auto wallStart = std::chrono::steady_clock::now();
        const double cpuStart = threadSeconds();
        const bool ran = run();
        if (watch) watch->end();
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

// ---- Long literals ---------------------------------------------------------

// Names of functions and closures, and their bodies, come only from a
// program's text. A cost program may write a long literal as a short one
// doubled, "ab"^20 standing for "ab" written 2^20 times, so that seeds and
// generated programs carry literals of mebibytes without holding them.
// At most `mostDoublings` doublings are made (the grammar's test reads the
// programs' shape, not their bulk), no literal grows past 16 MiB and no
// program past 64 MiB of them: a mutated seed may double anything.
inline std::string expandDoubledTexts(std::string_view text, unsigned mostDoublings = 24) {
    constexpr size_t kLongestLiteral = size_t{16} << 20;
    size_t room = size_t{64} << 20;
    std::string out;
    out.reserve(text.size());
    size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == ';') {
            const size_t end = std::min(text.find('\n', at), text.size());
            out.append(text.substr(at, end - at));
            at = end;
            continue;
        }
        if (c != '"') {
            out.push_back(c);
            ++at;
            continue;
        }
        size_t end = at + 1;
        while (end < text.size() && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
        if (end >= text.size()) {
            out.append(text.substr(at));
            break;
        }
        std::string literal(text.substr(at + 1, end - at - 1));
        at = end + 1;
        if (at + 1 < text.size() && text[at] == '^' && std::isdigit(static_cast<unsigned char>(text[at + 1]))) {
            unsigned doublings = 0;
            for (++at; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at)
                doublings = std::min(doublings * 10 + static_cast<unsigned>(text[at] - '0'), 64u);
            for (unsigned n = std::min(doublings, mostDoublings);
                 n > 0 && !literal.empty() && literal.size() * 2 <= std::min(kLongestLiteral, room); --n)
                literal += literal;
            room -= std::min(room, literal.size());
        }
        out.push_back('"');
        out += literal;
        out.push_back('"');
    }
    return out;
}

// ---- The program builder ---------------------------------------------------
//
// A built program makes its large values at load, in the slots below, and
// registers one callback, a few, or as many as the editor takes, each
// working on those values for every event. Between them the statements
// reach every command key and every method and native function a program
// can call (CostGrammarTest holds the grammar to that), with a text
// of up to 16 MiB, made by doubling, wherever a program may put a text:
// names of variables, parameters and loops, property keys, method, module
// and callback type names, the event's name and its parameters' names.
// Names and bodies of functions, which only the program's text gives, are
// literals of the same sizes.

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

// What the grammar calls, by receiver: the array methods, the string
// methods, the methods of the event handed to callbacks, and the modules a
// program may require (the host's three are registered by findCostEscape).
inline constexpr const char* kArrayMethods[] = {
    "concat", "every", "filter", "forEach", "hasOwnProperty", "indexOf", "join", "lastIndexOf", "map", "pop", "push",
    "reduce", "reduceRight", "reverse", "shift", "slice", "some", "sort", "splice", "toString", "unshift"};
inline constexpr const char* kStringMethods[] = {
    "charAt", "concat", "hasOwnProperty", "indexOf", "lastIndexOf", "match", "replace", "search", "slice",
    "split", "substring", "toLowerCase", "toLocaleLowerCase", "toUpperCase", "toLocaleUpperCase", "toString",
    "trim"};
inline constexpr const char* kEventMethods[] = {"getEventName", "getParamValue", "getParams",
                                                "getTimestamp", "setEventName",  "setParamValue"};
inline constexpr const char* kModules[] = {"internal.registerCallback", "internal.eventLogger", "internal.platform",
                                           "internal.remoteConfig",     "internal.appMetadata", "internal.logger"};

// A count of doublings: mostly large, so that texts reach mebibytes and
// shared arrays expand into millions of elements.
inline unsigned doublings(Choices& choose, unsigned most) {
    return choose.flip() ? most - choose.below(most / 3 + 1) : choose.below(most + 1);
}

inline std::string loop(const std::string& counter, unsigned turns, const std::string& body) {
    return "(assign \"" + counter + "\" 0) (loop (lt $" + counter + " " + std::to_string(turns) + ") (assign \"" +
           counter + "\" (add $" + counter + " 1)) false (list " + body + "))\n";
}

// A literal of 2^n copies of a short text, n up to 24.
inline std::string longLiteral(Choices& choose) {
    static constexpr const char* seeds[] = {"x", "ab", "n", "\xCE\xA3"};
    return std::string("\"") + choose.of(seeds) + "\"^" + std::to_string(doublings(choose, 24));
}

// ---- Load: the values the callbacks work on --------------------------------
//
// $t: a text of up to 16 MiB; $u: the same and one byte more (made from
// $t, as a program can afford at load beside $t itself). $a and $b: arrays. $m: a map. $f: a function. $names: a list of
// names.

inline std::string makeTexts(Choices& choose) {
    // Blanks and digits for conversions, brackets for patterns, a sigma for
    // case mapping, separators for splits.
    static constexpr const char* seeds[] = {"x", " ", "()", "ab", "7", "a,", "\xCE\xA3", "(a|", "\\\\"};
    return std::string("(assign \"t\" \"") + choose.of(seeds) + "\") " +
           loop("i", doublings(choose, 24), "(assign \"t\" (add $t $t))") + "(assign \"u\" (add $t \"z\"))\n";
}

inline std::string makeArray(Choices& choose, const char* target) {
    const std::string into = std::string("(assign \"") + target + "\" ";
    const std::string self = std::string("$") + target;
    switch (choose.below(6)) {
        case 0:
            // An array that holds itself twice per level: small, yet 2^depth
            // elements once expanded.
            return into + "(array $t)) " + loop("i", doublings(choose, 24), into + "(array " + self + " " + self + "))");
        case 1:
            // 2^n references to one value.
            return into + "(array " + choose.of({"$t", "0", "(null)", "$m"}) + ")) " +
                   loop("i", doublings(choose, 17), into + "(call " + self + " \"concat\" (array " + self + ")))");
        case 2:
            // Many distinct short texts.
            return into + "(array)) " +
                   loop("i", 1u << doublings(choose, 13), "(call " + self + " \"push\" (array (add \"n\" $i)))");
        case 3:
            // Nested deep, one level at a time.
            return into + "(array)) " + loop("i", 1u << doublings(choose, 11), into + "(array " + self + "))");
        case 4:
            // Holes: a length set far past the elements.
            return into + "(array 1 $t)) (set " + self + " \"length\" " + std::to_string(1u << doublings(choose, 20)) +
                   ")\n";
        default: return into + "(array $t $u 3 (null) (array $t)))\n";
    }
}

inline std::string makeMap(Choices& choose) {
    switch (choose.below(4)) {
        case 0: return "(assign \"m\" (object)) " + loop("i", 1u << doublings(choose, 12), "(set $m (add \"k\" $i) $i)");
        case 3: {
            // An object literal of thousands of keys, made on every read of its statement.
            std::string keys;
            for (unsigned n = 0, count = 1u << doublings(choose, 13); n < count; ++n)
                keys += " \"k" + std::to_string(n) + "\" " + std::to_string(n);
            return "(assign \"m\" (object" + keys + "))\n";
        }
        // Keys as long as the texts.
        case 1: return "(assign \"m\" (object)) " + loop("i", 1u << choose.below(4), "(set $m (add $t $i) $i)");
        default: return "(assign \"m\" (object $t 1 $u $a \"k\" $t))\n";
    }
}

inline std::string makeNames(Choices& choose) {
    switch (choose.below(3)) {
        case 0:
            return "(assign \"names\" (array)) " +
                   loop("i", 1u << doublings(choose, 12), "(call $names \"push\" (array (add \"p\" $i)))");
        case 1:
            // One long text, many times over.
            return "(assign \"names\" (array)) " +
                   loop("i", 1u << doublings(choose, 10), "(call $names \"push\" (array $t))");
        default: return "(assign \"names\" (array \"p\" \"q\" $t))\n";
    }
}

inline std::string functionBody(Choices& choose) {
    switch (choose.below(4)) {
        case 0: return "(return (add $p $q))";
        case 1: return "(return " + longLiteral(choose) + ")";
        case 2: {
            // A body of many statements.
            std::string body;
            for (unsigned n = 1u << choose.below(10); n > 0; --n) body += "(null) ";
            return body + "(return $p)";
        }
        default: return "(return (lt $p $q))";
    }
}

inline std::string makeFunction(Choices& choose) {
    const std::string name = choose.flip() ? longLiteral(choose) : "\"f\"";
    const std::string parameters = choose.flip() ? "$names" : "(array \"p\" \"q\")";
    return "(assign \"f\" (lambda " + name + " " + parameters + " " + functionBody(choose) + "))\n";
}

// ---- Events: what the callbacks do -------------------------------------------

// Any value: a slot, a small literal, or a long text.
inline std::string value(Choices& choose) {
    static constexpr const char* values[] = {"$t", "$u", "$a", "$b", "$m", "$f", "$names", "$t", "0", "1", "-1",
                                             "\"\"", "\"y\"", "\",\"", "\"x*\"", "100000000", "nan", "(null)"};
    return choose.of(values);
}

// A text where a name or key stands: mostly a long one.
inline std::string name(Choices& choose) {
    static constexpr const char* names[] = {"$t", "$t", "$u", "\"v\"", "(add $t \"n\")", "$i"};
    return choose.of(names);
}

inline std::string array(Choices& choose) {
    static constexpr const char* arrays[] = {"$a", "$b", "$names", "(array $t $u)"};
    return choose.of(arrays);
}

// A function argument for the array methods' walks and the text replacement.
inline std::string callback(Choices& choose) {
    static constexpr const char* callbacks[] = {
        "(lambda \"w\" (array \"p\" \"q\") (return (lt $p $q)))", "$f",
        "(lambda \"w\" (array \"p\" \"q\" \"r\") (return (add $p $t)))"};
    return choose.of(callbacks);
}

inline std::string arguments(Choices& choose, bool callbacks) {
    std::string list = "(array";
    for (unsigned n = choose.below(4); n > 0; --n)
        list += " " + (callbacks && choose.below(3) == 0 ? callback(choose) : value(choose));
    return list + ")";
}

inline std::string operation(Choices& choose) {
    static constexpr const char* binary[] = {"add", "sub", "mul",  "div", "mod", "eq",      "ne",
                                             "same", "notsame", "lt", "le", "gt", "ge", "band",
                                             "bor", "xor", "shl", "shr", "ushr", "and", "or",
                                             "first", "first33"};
    static constexpr const char* unary[] = {"neg", "not", "typeof", "bnot", "id", "id35"};
    if (choose.below(4) == 0) return std::string("(") + choose.of(unary) + " " + value(choose) + ")";
    return std::string("(") + choose.of(binary) + " " + value(choose) + " " + value(choose) + ")";
}

inline std::string methodCall(Choices& choose) {
    switch (choose.below(5)) {
        case 0:
        case 1:
            return std::string("(call ") + choose.of({"$t", "$u", "\"abc\""}) + " \"" + choose.of(kStringMethods) +
                   "\" " + arguments(choose, true) + ")";
        case 2:
        case 3:
            return "(call " + array(choose) + " \"" + choose.of(kArrayMethods) + "\" " + arguments(choose, true) + ")";
        default:
            // A method named by a long text, on any receiver.
            return "(call " + value(choose) + " " + name(choose) + " (array))";
    }
}

inline std::string eventCall(Choices& choose) {
    const std::string method = choose.of(kEventMethods);
    std::string call = "(call $e \"" + method + "\" (array";
    if (method == "getParamValue" || method == "setEventName") call += " " + name(choose);
    if (method == "setParamValue") call += " " + name(choose) + " " + value(choose);
    return call + "))";
}

inline std::string moduleCall(Choices& choose) {
    switch (choose.below(8)) {
        case 0: return "(call $logger \"log\" (array " + value(choose) + " " + value(choose) + " " + name(choose) + "))";
        case 1: return "(call (get $logger \"silent\") \"log\" (array 6 " + value(choose) + "))";
        case 2: return "(call (get $logger \"unmonitored\") \"log\" (array 5 " + value(choose) + "))";
        case 3: return "(call (require \"internal.platform\") \"getVersion\" (array))";
        case 4: return "(call (require \"internal.remoteConfig\") \"getValue\" (array " + name(choose) + " 5))";
        case 5: return "(meta)";
        case 6: return "(require " + name(choose) + ")";
        default:
            return "(created " + name(choose) + " 1 (object " + name(choose) + " " + value(choose) + " \"n\" 1))";
    }
}

// Declarations, assignments and reads of variables named by long texts.
inline std::string variable(Choices& choose) {
    const std::string named = name(choose);
    switch (choose.below(4)) {
        case 0: return "(let " + named + ") (assign " + named + " " + value(choose) + ") (var " + named + ")";
        case 1: return "(const " + named + " " + value(choose) + ") (var " + named + ")";
        case 2: return "(seq (let " + named + " " + name(choose) + ") (var " + name(choose) + "))";
        default: return "(block (let " + named + ") (assign " + named + " " + value(choose) + "))";
    }
}

inline std::string property(Choices& choose) {
    static constexpr const char* holders[] = {"$m", "$a", "$f", "$t", "$e", "(object)"};
    switch (choose.below(5)) {
        case 0: return std::string("(get ") + choose.of(holders) + " " + name(choose) + ")";
        case 1: return std::string("(get17 ") + choose.of(holders) + " " + value(choose) + ")";
        case 2: return std::string("(set ") + choose.of(holders) + " " + name(choose) + " " + value(choose) + ")";
        case 3:
            return "(object " + name(choose) + " " + value(choose) + " " + name(choose) + " " + value(choose) + ")";
        default:
            return "(array " + value(choose) + " " + value(choose) + ") (undefined " + value(choose) + ") (null " +
                   value(choose) + ")";
    }
}

inline std::string statement(Choices& choose, int depth);

inline std::string statements(Choices& choose, int depth) {
    std::string list;
    for (unsigned n = 1 + choose.below(2); n > 0; --n) list += statement(choose, depth) + " ";
    return list;
}

inline std::string control(Choices& choose, int depth) {
    switch (choose.below(7)) {
        case 0:
            return "(if " + value(choose) + " (list " + statements(choose, depth) + ") (list " +
                   statements(choose, depth) + "))";
        case 1: return "(cond " + value(choose) + " " + value(choose) + " (list " + statements(choose, depth) + "))";
        case 2:
            // Cases compared with the discriminant: long texts, or the
            // elements of an array.
            if (choose.flip()) return "(switch " + value(choose) + " " + array(choose) + " " + array(choose) + ")";
            return "(switch " + value(choose) + " (list $u $t) (list (list " + statements(choose, depth) +
                   ") (list (break)) (list " + statements(choose, depth) + ")))";
        case 3: return "(seq " + value(choose) + " " + operation(choose) + ")";
        case 4: return "(block " + statements(choose, depth) + ")";
        case 5: return "(run (list " + statements(choose, depth) + "))";
        default: return "(run9 (list " + statements(choose, depth) + "))";
    }
}

// The counter of a loop at `depth`: nested loops keep their own.
inline std::string counter(int depth) { return "j" + std::to_string(depth); }

inline std::string iteration(Choices& choose, int depth) {
    static constexpr const char* overItems[] = {"forin", "forinconst", "forinlet", "forof", "forofconst", "foroflet"};
    static constexpr const char* sources[] = {"$a", "$b", "$names", "$m", "$t", "$f"};
    const std::string body = choose.flip() ? "" : statements(choose, depth);
    const std::string j = counter(depth);
    switch (choose.below(4)) {
        case 0:
            // Loop variables named by a list, each copied into every turn.
            return "(let \"" + j + "\") (assign \"" + j + "\" 0) (for " + array(choose) + " (lt $" + j + " " +
                   std::to_string(1 + choose.below(100)) + ") (assign \"" + j + "\" (add $" + j + " 1)) (list " +
                   body + "))";
        case 1:
            return "(let \"" + j + "\") (assign \"" + j + "\" 0) (loop (lt $" + j + " " +
                   std::to_string(1 + choose.below(100)) + ") (assign \"" + j + "\" (add $" + j + " 1)) " +
                   choose.of({"false", "true"}) + " (list " + body + " (if (gt $" + j +
                   " 50) (list (break)) (list (continue)))))";
        default:
            return std::string("(") + choose.of(overItems) + " " + name(choose) + " " + choose.of(sources) +
                   " (list " + body + "))";
    }
}

inline std::string function(Choices& choose, int depth) {
    switch (choose.below(4)) {
        case 0:
            // Closures of a long name or body, kept until the event ends.
            return "(let \"" + counter(depth) + "\") " +
                   loop(counter(depth), 1u << choose.below(11),
                        "(call $kept \"push\" (array (lambda " + (choose.flip() ? longLiteral(choose) : "\"k\"") +
                            " (array \"p\" \"q\") " + functionBody(choose) + ")))");
        case 1:
            return "(function " + (choose.flip() ? longLiteral(choose) : "\"g\"") + " " + array(choose) + " " +
                   functionBody(choose) + ") (g " + value(choose) + " " + value(choose) + ")";
        case 2: return "(f " + value(choose) + " " + value(choose) + ")";
        default: return "(call $m \"f\" (array " + value(choose) + "))";
    }
}

// The working event given tens of thousands of parameters (named in their
// order, or not, or by long texts), then read back whole, once or until a
// bound stops it.
inline std::string eventFlood(Choices& choose) {
    static constexpr unsigned counts[] = {1000, 10000, 25000, 40000, 65536};
    static constexpr const char* names[] = {"(add \"p\" (add 100000 $jp))", "(add \"p\" $jp)", "(add $t $jp)",
                                            "(add (get $names (mod $jp 4)) $jp)"};
    const std::string read = choose.flip() ? "(call $e \"getParams\" (array))"
                                           : "(loop true 0 false (list (call $e \"getParams\" (array))))";
    return "(block (let \"jp\") " +
           loop("jp", counts[choose.below(5)],
                std::string("(call $e \"setParamValue\" (array ") + choose.of(names) + " $jp))") +
           read + ")";
}

inline std::string statement(Choices& choose, int depth) {
    // Nested statements are plain ones: the depth is the loops' turns, not
    // the program's nesting.
    const unsigned forms = depth > 1 ? 7 : 11;
    switch (choose.below(forms)) {
        case 0: return operation(choose);
        case 1:
        case 2: return methodCall(choose);
        case 3: return eventCall(choose);
        case 4: return moduleCall(choose);
        case 5: return variable(choose);
        case 6: return property(choose);
        case 7: return control(choose, depth + 1);
        case 8: return iteration(choose, depth + 1);
        case 9: return eventFlood(choose);
        default: return function(choose, depth + 1);
    }
}

// An editing program whose load makes large values and registers its
// callbacks, each working on those values for every event.
inline std::string buildCostProgram(const uint8_t* data, size_t size) {
    Choices choose(data, size);
    // A program of up to hundreds of thousands of entities, now and then.
    static constexpr unsigned wide[] = {0, 0, 0, 1000, 90000, 600000};
    const unsigned literals = wide[choose.below(6)];
    std::string program = literals ? "; wide " + std::to_string(literals) + "\n(function \"wide\" (array) true)\n" : "";
    program += "(let \"t\" \"u\" \"a\" \"b\" \"m\" \"f\" \"names\" \"i\")\n" + makeTexts(choose);
    program += makeArray(choose, "a");
    program += makeArray(choose, "b");
    program += makeMap(choose);
    program += makeNames(choose);
    program += makeFunction(choose);
    std::string body;
    for (unsigned n = 1 + choose.below(3); n > 0; --n) body += statement(choose, 0) + "\n";
    static constexpr unsigned turns[] = {1, 1, 2, 8, 100, 1000};
    body = loop("turn", turns[choose.below(6)], body);
    // One callback, a few, or the most the editor takes (and one more);
    // priorities that collide, and types that are not one.
    static constexpr unsigned callbacks[] = {1, 1, 1, 2, 10, 1000, 1000, 1001};
    static constexpr const char* types[] = {"\"edit\"", "\"edit\"", "\"edit\"", "\"create\"", "\"create\"", "$t"};
    static constexpr const char* priorities[] = {" \"priority\" $k", " \"priority\" 0", ""};
    static constexpr const char* answers[] = {"0", "0", "2", "-1", "$t"};
    const std::string options =
        std::string("(object \"type\" ") + choose.of(types) + choose.of(priorities) + ")";
    return program + R"((function "rules" (array "r")
  (let "register" "k") (assign "register" (require "internal.registerCallback"))
)" + loop("k", callbacks[choose.below(8)], R"((register $k (lambda "edit" (array "e")
      (let "created" "logger" "meta" "kept" "turn")
      (assign "created" (require "internal.eventLogger")) (assign "logger" (require "internal.logger"))
      (assign "meta" (require "internal.appMetadata")) (assign "kept" (array))
)" + body + "      (return " + choose.of(answers) + "))\n    " + options + ")") + ")\n";
}

// The program an input stands for: a text as it is, or the one its bytes
// pick; nullopt when a text does not assemble. `mostDoublings` bounds the
// long literals.
// The literals "; wide N" on the first line of `source` asks for (at most
// a million), 0 for none.
inline size_t wideningOf(std::string_view source) {
    constexpr std::string_view kMark = "; wide ";
    if (source.substr(0, kMark.size()) != kMark) return 0;
    size_t literals = 0;
    for (size_t at = kMark.size(); at < source.size() && std::isdigit(static_cast<unsigned char>(source[at])); ++at)
        literals = std::min<size_t>(literals * 10 + static_cast<size_t>(source[at] - '0'), 1'000'000);
    return literals;
}

// Gives the first top-level statement whose first argument is the literal
// "wide" (a function of that name) `literals` copies of its last argument.
inline void widen(MSRPBProgram& program, size_t literals) {
    constexpr uint32_t kChildren = 1, kText = 3;
    const std::vector<MSRPBRuntimeEntity> top = MSRPBGetMessageArray<MSRPBRuntimeEntity>(program, 0);
    for (size_t index = 0; index < top.size(); ++index) {
        const std::vector<MSRPBRuntimeEntity> children =
            MSRPBGetMessageArray<MSRPBRuntimeEntity>(top[index], kChildren);
        if (children.size() < 2 || MSRPBGetString(children[0], kText).value_or("") != "wide") continue;
        ProgramAssembler::repeatLastArgument(program, index, literals);
        return;
    }
}

inline std::optional<MSRPBProgram> costProgram(const uint8_t* data, size_t size, std::string* text = nullptr,
                                               unsigned mostDoublings = 24, bool widened = true) {
    std::string source = size > 0 && (data[0] == ';' || data[0] == '(')
                             ? std::string(reinterpret_cast<const char*>(data), size)
                             : buildCostProgram(data, size);
    std::optional<MSRPBProgram> program =
        ProgramAssembler::assembleEditingProgram(expandDoubledTexts(source, mostDoublings), "rules");
    if (program && widened) {
        if (const size_t literals = wideningOf(source)) widen(*program, literals);
    }
    if (text) *text = std::move(source);
    return program;
}

}  // namespace fuzz
