#pragma once
// The rows that account for every number the README states, by section.
// A row names a text the README says once, the figure in it (as written
// there) and where that figure comes from:
// - bound:    the code's constant, compared with the figure in the figure's
//             unit (KiB, MiB, GiB; ms, s, minutes, hours; 2^k);
// - inSource: a code text that holds the figure, where the code writes it
//             as a literal (a log code, a setting) rather than a constant a
//             test can include;
// - measured: a figure a program measured, standing in a paragraph (or a
//             table with the paragraph above it) that names the program,
//             which must be in the tree;
// - other:    a number that is no claim about the code (a version, a year,
//             a machine, a name, an example another test runs), with the
//             reason;
// - untied:   a figure whose source is yet to be named, listed so that it
//             is still accounted for.
// The number examples are the tables of ReadmeNumbersTest.cpp: each example
// accounts for every number in its text.

#include <chrono>
#include <cmath>
#include <vector>

#include "Calvaro/engine/CalcManager.h"
#include "Calvaro/services/JsonDecoding.h"
#include "analytics/audience/MSRAudienceEvaluator.h"
#include "analytics/audience/MSRAudienceFilterMatching.h"
#include "analytics/core/MSRDatabaseRemoteConfig.h"
#include "analytics/core/MSRNetworkComponent.h"
#include "analytics/interpreter/MSRPFunctionValue.h"
#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/interpreter/MSRPPatternCache.h"
#include "analytics/interpreter/MSRPRuntime.h"
#include "analytics/messages/MSRPBWireBounds.h"
#include "analytics/reporters/MSRETaskManager.h"
#include "analytics/reporters/MSRStoredFileBounds.h"
#include "analytics/storage/MSRDatabaseSalvage.h"
#include "analytics/storage/MSRSqliteStore.h"
#include "analytics/storage/MSRStoredBounds.h"
#include "analytics/storage/MSRWriteBackoff.h"
#include "app/ScriptPlayer.h"
#include "app/SignalWatcher.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/PropertyListCharge.h"
#include "platform/foundation/StoredFileBounds.h"
#include "platform/foundation/Value.h"
#include "platform/host/DEDRemoteConfig.h"
#include "platform/web/ViewImage.h"

struct ReadmeRow {
    enum Kind { kConstant, kInSource, kMeasured, kOther } kind;
    const char* context;
    const char* value;
    long double constant = 0;
    const char* where = "";  // the source file, or the measuring program's path
    const char* what = "";   // the code's text, the README's name for the program, or why
};

namespace readme_rows {

inline ReadmeRow bound(const char* context, const char* value, long double constant) {
    return {ReadmeRow::kConstant, context, value, constant};
}
inline ReadmeRow inSource(const char* context, const char* value, const char* file, const char* code) {
    return {ReadmeRow::kInSource, context, value, 0, file, code};
}
inline ReadmeRow measured(const char* context, const char* value, const char* named, const char* program) {
    return {ReadmeRow::kMeasured, context, value, 0, program, named};
}
inline ReadmeRow other(const char* context, const char* value, const char* why) {
    return {ReadmeRow::kOther, context, value, 0, "", why};
}
inline ReadmeRow untied(const char* context, const char* value) {
    return {ReadmeRow::kOther, context, value, 0, "", "not yet tied to its source"};
}

inline std::vector<ReadmeRow> readmeRows() {
    return {
        // The introduction
        other("Calvaro is written in C++20 for Linux", "20", "the language's version"),

        // Set-up
        other("On a fresh Debian 12 machine", "12", "the distribution's release"),
        measured("in about 2 minutes on 8 cores and under 10 on 2", "2 minutes on 8 cores and under 10 on 2",
                 "`scripts/test` prints each phase's time", "scripts/test"),
        measured(
            "runs everything in about 40 minutes on 2 cores (measured without the compiler cache on two "
            "cores "
            "of an otherwise idle machine: release build 7 minutes, its tests 9, sanitizer build 11, its "
            "tests 11, fuzzers 2; the same run took 55 minutes",
            "40 minutes on 2 cores (measured without the compiler cache on two cores of an otherwise idle "
            "machine: release build 7 minutes, its tests 9, sanitizer build 11, its tests 11, fuzzers 2; the "
            "same run took 55 minutes",
            "`scripts/test` prints each phase's time", "scripts/test"),
        measured("took 9 minutes on a quiet machine of 8 cores and 9 with every core kept busy",
                 "9 minutes on a quiet machine of 8 cores and 9", "`scripts/test` prints each phase's time",
                 "scripts/test"),
        measured(
            "it took 27 minutes (release build 0:36, its tests 11:03, sanitizer build 0:43, its tests 12:44, "
            "fuzzers 2:16)",
            "27 minutes (release build 0:36, its tests 11:03, sanitizer build 0:43, its tests 12:44, fuzzers "
            "2:16)",
            "`scripts/test` prints each phase's time", "scripts/test"),
        other("memory for sixteen tests at once (a test's child process is held under 300 MB", "300 MB",
              "the tests' own ceiling on a child, not the product's (tests/e2e/DriverHarness.h)"),
        other("1.5 GB in the sanitizer tree", "1.5 GB",
              "the tests' own ceiling on a child, not the product's (tests/e2e/DriverHarness.h)"),
        other("the suite was measured on machines of 24 GiB", "24 GiB", "a fact of the machines used"),
        other("and about 4 GB of disk for the two build trees (release 1.3 GB, sanitizer 2.5 GB: `du -sh "
              "build/release build/asan`) beside the compiler cache (at most 5 GB; about 0.3 GB once",
              "", "sizes of the build trees and the compiler cache as `du` and ccache report them"),
        measured("On 8 cores that other work kept at a load of 30 to 100, the release suite (`scripts/test`) "
                 "took 14 "
                 "minutes",
                 "", "`scripts/test`", "scripts/test"),
        measured("Pinned to two cores without the compiler cache while the six others ran a second clone's "
                 "`scripts/test`, busy loops, a second pinned `scripts/test` and the release suite four at once (a "
                 "load of 15 to 135), `scripts/test` took 68 minutes (release build 9, its 1,262 tests 20, sanitizer "
                 "build 12, its 1,244 tests 18, fuzzers 9); the second, with the cache, built the release tree in 3 "
                 "minutes, ran its 1,262 tests in 38, built the sanitizer tree in 4 and ran its 1,244 tests in 31, "
                 "none failing",
                 "", "`scripts/test`", "scripts/test"),
        other("the phone's 390×844 points at scale 2", "390×844 points at scale 2",
              "the demonstration's device profile, shown in every snapshot"),
        other("(`LANG=de_DE.UTF-8 scripts/run`)", "8", "part of a name"),
        bound("so does a script larger than 1 MiB", "1 MiB", app::kMaxScriptBytes),
        bound("a line longer than 4096 bytes", "4096 bytes", app::kMaxLineBytes),
        bound("never exceeds 16,384 pixels on a side", "16,384", web::ViewImage::kMaxPixels),
        untied("2 seconds), and Chromium", "2"),
        inSource("waits up to 1.5 s for the work begun", "1.5", "app/Launcher.cpp",
                 "constexpr double kBackgroundTimeLimit = 1.5;"),
        inSource("After a signal the background work gets 1 s", "1", "app/Launcher.cpp",
                 "constexpr double kInterruptedTimeLimit = 1.0;"),
        bound("and a process still there 1.8 s after the signal", "1.8 s",
              app::SignalWatcher::kStopTimeLimit),
        bound("Those 1.8 s are the clock's", "1.8 s", app::SignalWatcher::kStopTimeLimit),
        other("The exit status is 0, 1 for a failed script, 2 for bad arguments, and 128 + the signal",
              "0, 1 for a failed script, 2 for bad arguments, and 128",
              "exit statuses the process tests read"),
        other("exits 1 when it would have exited 0", "", "exit statuses the process tests read"),

        // The live application
        other("http://127.0.0.1:8080/` (`--port N`", "127.0.0.1", "the loopback address"),
        inSource("http://127.0.0.1:8080/` (`--port N`", "8080", "app/Launcher.h", "int port = 8080;"),
        inSource("`--port 0` a free one", "0", "app/Launcher.cpp", "0 takes a free port"),
        other("`http://127.0.0.1:8080/?secret=...`", "127.0.0.1", "the loopback address"),
        inSource("`http://127.0.0.1:8080/?secret=...`", "8080", "app/Launcher.h", "int port = 8080;"),
        other("a cookie of 127.0.0.1 goes with", "127.0.0.1", "the loopback address"),
        inSource("every route answers 403", "403", "app/LiveServer.cpp",
                 "return {403, \"only the holder of this server's secret is served"),
        inSource("answers 400 for a malformed one", "400", "app/HttpRequestReader.cpp",
                 "return fail(400, \"malformed request line\")"),
        untied("2 s. It serves its", "2"),
        other("on 127.0.0.1 alone,", "127.0.0.1", "the loopback address"),
        other("`CALVARO_COST_STAGES=1` prints", "1", "a switch's value"),
        other("`CALVARO_COST_PROGRAM=1` the program", "1", "a switch's value"),
        other("in its seeds `\"x\"^20` is a literal doubled 20 times", "20` is a literal doubled 20",
              "the seeds' notation, with its own example"),
        untied("70 bytes, the application's", "70"),
        inSource("and up to 2,000 exercises among", "2,000", "fuzz/DataRootStartFuzzer.cpp",
                 "constexpr size_t kDataRootMostExercises = 2000;"),
        inSource("among up to 300,000 foreign values", "300,000", "fuzz/DataRootStartFuzzer.cpp",
                 "constexpr uint64_t kDataRootMostValues = 300'000;"),
        inSource("one key met up to 300,000 times", "300,000", "fuzz/DataRootStartFuzzer.cpp",
                 "constexpr uint64_t kDataRootMostValues = 300'000;"),
        other("a text that is no UTF-8 among them", "8", "part of a name"),
        other("its stored times and every stored counter at their edges (0, negative", "0",
              "a value, not a figure"),
        inSource("up to 1,000,000 queued rows", "1,000,000", "fuzz/DataRootStartFuzzer.cpp",
                 "constexpr uint64_t kDataRootMostRows = 1'000'000;"),
        inSource("gzip streams of up to 80 MiB", "80", "fuzz/DataRootStartFuzzer.cpp",
                 "d.queueUnits = std::min<uint64_t>(in.take(1), 80);"),
        inSource("300 of them at most", "300", "fuzz/DataRootStartFuzzer.cpp",
                 "constexpr uint64_t kDataRootMostBombs = 300;"),
        inSource("a write limit of 0 bytes to 16 MiB", "0", "fuzz/DataRootStartFuzzer.cpp",
                 "kDataRootWriteLimits[] = {std::nullopt,        0,"),
        inSource("a write limit of 0 bytes to 16 MiB", "16", "fuzz/DataRootStartFuzzer.cpp",
                 "uint64_t{16} << 20};"),
        inSource("within 20 s of CPU and 400 MiB", "20", "fuzz/DataRootStartFuzzer.cpp",
                 "constexpr double kDataRootCpuSeconds = 20;"),
        inSource("20 s of CPU and 400 MiB", "400", "fuzz/DataRootStartFuzzer.cpp",
                 "constexpr int64_t kDataRootPeakBytes = int64_t{400} << 20;"),
        inSource("(120 s and 2 GiB under the sanitizers)", "120", "fuzz/DataRootStartFuzzer.cpp",
                 "constexpr double kDataRootCpuSeconds = 120;"),
        other("(120 s and 2 GiB under the sanitizers)", "2 GiB",
              "kDataRootPeakBytes = int64_t{2048} << 20 in fuzz/DataRootStartFuzzer.cpp, in GiB"),
        other("stores the new exercise or exits 1 saying why", "1", "an exit status"),
        other("`scripts/fuzz 600` is the longer soak", "600", "an example command's argument"),
        other("(`CALVARO_FUZZ_PARALLEL=6` runs six", "6", "an example setting"),
        other("(on a machine shared with others, `CALVARO_JOBS=3 scripts/test`)", "3", "an example setting"),

        // What works so far:
        // - The calculation engine: exact numbers with π...
        other("runs more than the 5,000 of the release suite and the 250 of the sanitizer suite", "",
              "the suite's settings (tests/engine/CMakeLists.txt: 8 parts of 625, one of 250)"),
        inSource("draws numbers of 15 to 17 digits", "15 to 17", "tests/engine/calculator_cases.py",
                 "count = rng.choice([15, 15, 15, 16, 16, 17])"),
        other("draws numbers of 15 to 17 digits from 10^-12", "10", "the base of the powers"),
        inSource("from 10^-12 to 10^25 and tiny", "12 to 10^25", "tests/engine/calculator_cases.py",
                 "exponent = rng.randint(-12, 25)"),
        other("and tiny factors z, 1,200 and 100 of them", "1,200 and 100",
              "the suite's settings (tests/engine/CMakeLists.txt: 4 parts of 300, one of 100)"),
        other("on the digits typed, its exponent counted (1.000000000001 is 1, and as a base it is refused "
              "as 1 is; "
              "1.00000000005 is 1.0000000001; 1.0000000000005E2 is 100.0000000001)",
              "1.000000000001 is 1, and as a base it is refused as 1 is; 1.00000000005 is 1.0000000001; "
              "1.0000000000005E2 is 100.0000000001",
              "examples of a typed number's rounding, which tests/engine/CalculatorTest.cpp checks"),
        other("(about 2.2e-308) on, every number of up to 15 significant digits does and some of 16 or 17 "
              "do; below it "
              "the double keeps fewer digits, down to one at 5e-324",
              "", "facts of the double"),
        other("so even a number of one digit may not (3e-324, or 10^-400 typed in full)",
              "3e-324, or 10^-400", "examples of what the double cannot hold"),
        other(
            "too many digits (4503599627370496.5, which would be 2^52; 9007199254740993, which would be "
            "2^53), too "
            "small (3e-324) or too large (past about 1.8e308)",
            "",
            "examples of refused input and the double's range, which tests/engine/CalculatorTest.cpp checks"),
        bound("A typed number is written with every digit it has: below 10^17", "10^17",
              std::pow(10.0L, DecimalText::kExactDigits)),
        other("from there as m·10^{k} with every digit", "10", "the text's form"),
        other("(100000000000000100000 is 1.000000000000001·10^{20}, not 10^{20})", "",
              "an example of a typed number's text, which tests/engine/TypedExerciseTest.cpp checks"),
        bound("only below 10^-10, where a typed number keeps ten", "10^-10",
              std::pow(10.0L, -DecimalText::kFractionDigits)),
        other("(-3·333333333.667 is -1000000001.001, 9007199254740992", "3·333333333.667 is -1000000001.001",
              "an example of exact arithmetic, which tests/engine/TypedExerciseTest.cpp checks"),
        other("is 1, 500000.0000000001 - 500000 is 10^-10)", "500000.0000000001 - 500000 is 10^-10",
              "an example of exact arithmetic, which tests/engine/TypedArithmeticTest.cpp checks"),
        bound("the number carries it (up to 38 digits)", "38", DecimalText::kWideDigits),
        bound("every digit while it has at most ten decimals or 17 significant digits", "17",
              DecimalText::kExactDigits),
        bound("significant digits and its text fits 24 characters", "24", DecimalText::kLongestNumber),
        other("and of m·10^{k} also the four of \"·10^\" and those of k", "", "a description of the text"),
        bound("\"·10^\" and those of k): plain below 10^17", "10^17",
              std::pow(10.0L, DecimalText::kExactDigits)),
        other("from there m·10^{k} where that fits", "10", "the text's form"),
        other("3·1000000000000000.1 is 3000000000000000.3", "",
              "an example of exact arithmetic, which tests/engine/TypedArithmeticTest.cpp checks"),
        bound("or to 17 significant digits where these come first", "17", DecimalText::kPreciseDigits),
        bound("it keeps 17 significant digits (1 +", "17", DecimalText::kPreciseDigits),
        other("(1 + 1.23456789·10^-11 is 1.0000000000123457, whose",
              "1 + 1.23456789·10^-11 is 1.0000000000123457",
              "an example, which tests/engine/TypedExerciseTest.cpp checks"),
        bound("An exact whole number past 24 characters", "24", DecimalText::kLongestNumber),
        other("reads m·10^{k} of as many significant digits", "10", "the text's form"),
        bound("of as many significant digits as fit, at most 17", "17", DecimalText::kExactDigits),
        bound("a power past 24 digits is no exact number", "24", DecimalText::kLongestNumber),
        other("past the double's range (10^200·10^200) or below its normal numbers (10^-200·10^-200)", "",
              "examples of refused exercises, which tests/engine/CalculatorTest.cpp checks"),
        other("written \\infty, and one below it 0 (10^(x", "0", "the text written"),
        other("(log_(3/4)(4x + 18) - 27 needs 18·4^27;", "", "the exercise of the example that follows it"),
        other("A 0 stands for 0, for a value too small for a double (below about 2.5e-324)", "",
              "the text written, and a fact of the double"),
        other("or for a sum or difference of computed numbers set to 0 where", "0", "the text written"),
        inSource("because its terms agree to within 1e-12 of the larger", "1e-12",
                 "Calvaro/engine/KalMathOperation.cpp", "constexpr double kResidueShare = 1e-12;"),
        other("(log_10(1000) - 3), two whole numbers from 2^53 on", "",
              "an example, and a fact of the double"),
        other("A sum of typed numbers is never set to 0 so", "0", "the text written"),
        bound("A whole power of a whole number is exact while it has at most 24 digits", "24",
              DecimalText::kLongestNumber),
        bound("with at most ten fraction digits and at most 17 significant digits, down to 15", "17",
              DecimalText::kPreciseDigits),
        bound("17 significant digits, down to 15 where the value lies", "15", DecimalText::kHeldDigits),
        other("8^(4e) is 6598001416.009075)", "",
              "an example, which tests/engine/ExactResultLinesTest.cpp checks on the value's text"),
        other("never m·10^{k} that reads a whole number", "10", "the text's form"),
        bound("a value farther from it than its own error keeps 17 significant digits", "17",
              DecimalText::kPreciseDigits),
        bound("A value computed in doubles alone keeps 15 significant digits", "15",
              DecimalText::kHeldDigits),
        other("it reads m·10^{k} too", "10", "the text's form"),
        inSource("A power whose logarithm lies below 10^-3", "10^-3", "Calvaro/engine/KalMathOperation.cpp",
                 "constexpr long double kSplitBelow = 1e-3L;"),
        other("is carried as 1 and its rest (expm1)", "1", "a description of the arithmetic"),
        other("1 - a^t keeps its digits", "1", "a description of the arithmetic"),
        other("1.000001^0.000001 - 1 is 9.999995·10^{-13}, not 9.999994539·10^{-13}", "9.999994539·10^{-13}",
              "the text a less careful arithmetic would write"),
        other("is that whole number and a rest from log1p, in both forms (log_10(9999999999999000) - 16 is "
              "-4.342944819·10^{-14}, not 0)",
              "not 0", "the text a less careful arithmetic would write"),
        other("base lies near 1 is raised", "1", "a description of the arithmetic"),
        other("base's exact difference from 1, as", "1", "a description of the arithmetic"),
        bound("Beyond 10^17 and below 10^-10", "10^17", std::pow(10.0L, DecimalText::kExactDigits)),
        bound("Beyond 10^17 and below 10^-10", "10^-10", std::pow(10.0L, -DecimalText::kFractionDigits)),
        other("a computed value reads m·10^{k} with ten", "10", "the text's form"),
        bound("so no number passes 24 characters", "24", DecimalText::kLongestNumber),
        other("check reads a written 0 as 0 or as a value below", "0 as 0", "the text written"),
        other("`tests/engine/check_calculator_grid.py` runs 14,400 school exercises", "14,400",
              "the grid's size: the product of its lists, in both forms"),
        inSource("a in {2, 3, 4, 5, 10, 0.5}", "2, 3, 4, 5, 10, 0.5", "tests/engine/check_calculator_grid.py",
                 "\"a\": [\"2\", \"3\", \"4\", \"5\", \"10\", \"0.5\"]"),
        inSource("b in {1, 2, -1}, c even from -10 to 10", "1, 2, -1",
                 "tests/engine/check_calculator_grid.py", "\"b\": [\"1\", \"2\", \"-1\"]"),
        inSource("c even from -10 to 10", "10 to 10", "tests/engine/check_calculator_grid.py",
                 "range(-10, 11, 2)"),
        inSource("d in {0, 3, -45.1, 2.5, -0.75, 12.34}", "0, 3, -45.1, 2.5, -0.75, 12.34",
                 "tests/engine/check_calculator_grid.py",
                 "\"d\": [\"0\", \"3\", \"-45.1\", \"2.5\", \"-0.75\", \"12.34\"]"),
        inSource("z in {1, 2, -3, 0.5}, x = 2;", "1, 2, -3, 0.5", "tests/engine/check_calculator_grid.py",
                 "\"z\": [\"1\", \"2\", \"-3\", \"0.5\"]"),
        inSource("z in {1, 2, -3, 0.5}, x = 2;", "2;", "tests/engine/check_calculator_grid.py",
                 "(GRID, \"2\")"),
        inSource(
            "1/2, 1/3, 1/4, 2/3, 3/4, 1/5, 1/10, 3/2, 5/2, 2.5/3, 0.5,",
            "1/2, 1/3, 1/4, 2/3, 3/4, 1/5, 1/10, 3/2, 5/2, 2.5/3", "tests/engine/check_calculator_grid.py",
            "[\"1/2\", \"1/3\", \"1/4\", \"2/3\", \"3/4\", \"1/5\", \"1/10\", \"3/2\", \"5/2\", \"2.5/3\","),
        inSource("2.5/3, 0.5, 0.25, 0.75, 0.2, 0.1, 1.5, 2.5, with", "0.5, 0.25, 0.75, 0.2, 0.1, 1.5, 2.5",
                 "tests/engine/check_calculator_grid.py",
                 "\"0.5\", \"0.25\", \"0.75\", \"0.2\", \"0.1\", \"1.5\", \"2.5\"]"),
        inSource("with b in {2, 6.9, -0.25, 89.92}", "2, 6.9, -0.25, 89.92",
                 "tests/engine/check_calculator_grid.py", "\"b\": [\"2\", \"6.9\", \"-0.25\", \"89.92\"]"),
        inSource("c in {0, 18, -7}", "0, 18, -7", "tests/engine/check_calculator_grid.py",
                 "\"c\": [\"0\", \"18\", \"-7\"]"),
        inSource("d in {-30, -13, 20, 30}", "-30, -13, 20, 30", "tests/engine/check_calculator_grid.py",
                 "\"d\": [\"-30\", \"-13\", \"20\", \"30\"]"),
        inSource("z in {1, -1, 0.25}, x = 6;", "1, -1, 0.25", "tests/engine/check_calculator_grid.py",
                 "\"z\": [\"1\", \"-1\", \"0.25\"]"),
        inSource("z in {1, -1, 0.25}, x = 6;", "6;", "tests/engine/check_calculator_grid.py",
                 "(FRACTIONAL_BASES, \"6\")"),
        bound("none refused, every line true under the strict reading, no number text over 24 characters",
              "24", DecimalText::kLongestNumber),
        measured("each about 35 s of one core", "35 s", "`tests/engine/check_calculator_grid.py`",
                 "tests/engine/check_calculator_grid.py"),
        // - Damaged and hostile input: JSON and property...
        bound("JSON and property lists nest at most 512 levels", "512", foundation::kMaximumNestingDepth),
        bound("(remote content 2 MiB", "2 MiB", host::kDEDRemoteConfigMaximumResponseBytes),
        bound("remote content 2 MiB, measurement configuration 4 MiB", "4 MiB",
              MSRPBWireMost::kConfigurationAnswerBytes),
        bound("upload answers 64 KiB)", "64 KiB", kMSRMaximumUploadResponseBytes),
        other("its owner's alone (folders 0700, files 0600)", "0700, files 0600", "file modes"),
        // - Property lists from the data root (preference...
        bound("A file past 64 MiB (salvaged", "64 MiB", foundation::kMaximumPropertyListBytes),
        bound("1,048,576 values (keys included)", "1,048,576", foundation::kMaximumPropertyListValues),
        bound("(keys included) or 512 levels", "512", foundation::kMaximumNestingDepth),
        bound("or one whose XML form would pass 64 MiB", "64 MiB", foundation::kMaximumPropertyListBytes),
        bound("past the bound, its first 65,536 values)", "65,536", foundation::kSalvagedListBound.values),
        measured("What a start costs over such files (`tests/e2e`, release tree, on 8 cores with a "
                 "load of 10-20; a plain start 21 MB): 1,000 references to one 512 KiB or 4 MiB "
                 "string as the preferences, the keychain or the monitor's suite 24-42 MB (before: 1 "
                 "to 5 GB); 200,000 character references (3 MB) 30 MB and 0.08 s to the first screen "
                 "(15 s); 8,000,000 values or 4,000,000 levels behind a DOCTYPE whose quoted "
                 "identifier opens a comment 87 and 76 MB (1.3 GB, and a crash); a 6.3 MB file whose "
                 "XML form passes 64 MiB 24 MB (410 MB, every change refused); 64 MiB + 1 byte 83 MB "
                 "with the consent kept (consent lost). A usual 134 KB file's first read takes 1.4 "
                 "ms (3.4 ms before), a file at the values bound 185 ms and 91 MiB (350 ms, 175 "
                 "MiB), a 56 MB one past it 210 ms and 68 MiB as before (`bench/foundation`)",
                 "", "`bench/foundation`", "bench/foundation/PreferencesLoadBench.cpp"),
        bound("within a sixteenth of the bounds (65,536 values", "65,536", CalcManager::historyBound.values),
        bound("(65,536 values and 4 MiB, about 2,600", "4 MiB", CalcManager::historyBound.bytes),
        other("about 2,600 exercises as the Calculate screen stores them", "2,600",
              "an estimate of how many records the history's bound holds"),
        // - Each property-list file a start reads is...
        bound("(`kStartPropertyListBudget`, 393,216 values", "393,216",
              foundation::kStartPropertyListBudget.values),
        bound("393,216 values and 24 MiB of XML", "24 MiB", foundation::kStartPropertyListBudget.bytes),
        other("is said on standard error and the process exits 1", "1", "an exit status"),
        measured("Three starts each (`tests/e2e/UserValuesFirstProcessTest`, each start solving an "
                 "exercise, then the engine uploading a burst of 20 events): 131,073 foreign keys "
                 "sorting before 200 exercises and the consent (3.4 MB XML, or binary with one "
                 "shared value) keep the consent and every exercise, exit 0 (before: consent and "
                 "history lost, the privacy alert at every start, exit 1); five foreign texts of 3 "
                 "MiB before 2,000 exercises (17.9 MiB) keep all 2,000 (before: 1,291); 131,065 "
                 "`IABTCF_` keys within the bound, one 16,776,000-byte `IABTCF_` text, or `IABTCF_` "
                 "keys leaving no room for the consent store every exercise and the consent (before: "
                 "none, or the first only, with exit 0; the consent asked again at every start); the "
                 "engine's persistent dictionary past its bound with 5,000 foreign keys first keeps "
                 "its app instance id (before: a new one). A salvage looks for the user's values and "
                 "the owner's keys before it walks the rest, wherever they stand: among a binary "
                 "file's entries, and in an XML file too large to read (past the part of its bound "
                 "it reads, in the rest of the file); so 600,000 foreign keys before the consent in "
                 "a binary file, or 64 MiB of foreign texts before the consent and three exercises "
                 "in XML, keep them (before: lost), at 0.45 s of CPU and 69 MB, and 0.3 s and 49 MB "
                 "(`tests/e2e/PreferenceFilesCostProcessTest`); 4,190,000 foreign keys, at the edge "
                 "of what it looks through, cost 1.4 s and 58 MB.",
                 "", "`tests/e2e/UserValuesFirstProcessTest`", "tests/e2e/UserValuesFirstProcessTest.cpp"),
        other("A text that is not UTF-8 (a stray byte", "8", "part of a name"),
        bound("nesting past 512 levels) is passed over", "512", foundation::kMaximumNestingDepth),
        measured("One start each (`tests/e2e/DamagedValueProcessTest`, the collection switched off, "
                 "the consent and 200 exercises): a bit flipped in the newest exercise's formula, a "
                 "foreign key first holding 513 nested lists or a bare `<`, an exercise nested "
                 "100,000 deep or of 16 MB keeps everything else and logs \"Analytics collection "
                 "disabled\" (before: every exercise, the consent and the marks after the damage "
                 "lost, or the switch too). Three starts each "
                 "(`tests/e2e/UserValuesFirstProcessTest`): a file with the collection switched off "
                 "and 40 exercises, cut inside exercise 30 (XML) or with exercise 12 damaged "
                 "(binary), keeps the switch, the consent platform's values and every other "
                 "exercise, and logs \"Analytics collection disabled\" at every start (before: the "
                 "switch, the consent platform's values and exercises lost).",
                 "", "`tests/e2e/DamagedValueProcessTest`", "tests/e2e/DamagedValueProcessTest.cpp"),
        measured("(`tests/e2e/TornBinaryPreferencesProcessTest`: the collection switched off and 40 "
                 "exercises, torn inside exercise 30, keeps the switch, the consent and exercises 0 "
                 "to 29, and logs \"Analytics collection disabled\" at every start; before: the "
                 "whole file lost, collection enabled and exit 1).",
                 "", "`tests/e2e/TornBinaryPreferencesProcessTest`",
                 "tests/e2e/TornBinaryPreferencesProcessTest.cpp"),
        other("(not UTF-8, a NUL, outside the file", "8", "part of a name"),
        measured("(`tests/e2e/DamagedBinaryPreferencesProcessTest`: the top's, the switch's or the "
                 "history's offset one byte off, or a key every record of the history shares with a "
                 "byte that is not UTF-8, keep the switch, the consent, the marks and the 200 "
                 "exercises; before: all of it, the switch or the history lost).",
                 "", "`tests/e2e/DamagedBinaryPreferencesProcessTest`",
                 "tests/e2e/DamagedBinaryPreferencesProcessTest.cpp"),
        other("holding a text that is not UTF-8 is set aside", "8", "part of a name"),
        measured("262,144 consent-platform values in binary cost a start 32 MB beside the start "
                 "without them, 57 MB in all (before: 66 MB more, two copies of every key); "
                 "`isYoutubeDsgvoAccepted` holding 262,145 `true` in a list (XML or binary), the "
                 "same under `CurrentCalculation`, a 16.8 MB text under `counterForRating`, or "
                 "`counterForRating` met 262,144 times before the settled keys (binary) keep the 200 "
                 "exercises, the tour and rating marks and each start's exercise, exit 0 (before: "
                 "the history down to one exercise, with exit 1 at every start for the first two and "
                 "the repeated key).",
                 "", "`tests/e2e/UserValuesFirstProcessTest`", "tests/e2e/UserValuesFirstProcessTest.cpp"),
        measured("with 600 foreign items, a keychain full of valid foreign items, or 600 items of "
                 "Calvaro's own service added after the count, the first-open count survives a "
                 "reinstall (before: the keychain was \"damaged\" at every start; and with 600 own "
                 "items the count went 4 -> 1, the message saying \"items of other services\").",
                 "", "`tests/e2e/StoredTimesAndKeychainProcessTest`",
                 "tests/e2e/StoredTimesAndKeychainProcessTest.cpp"),
        other("within 1932-12-13T20:45:53Z .. 2069-01-19T03:14:07Z", "",
              "the writer's dates: 2001 -+ (2^31 - 1) s (kLeast, kLatest in PropertyListCharge.cpp)"),
        other("a 16 MiB text of '&' took half a minute", "16 MiB", "the input of a measurement once made"),
        inSource("reads files of up to 64 MiB held", "64", "fuzz/PreferenceFileCostFuzzer.cpp",
                 "constexpr size_t kPreferenceFileLargest = size_t{64} << 20;"),
        inSource("each start under 256 MiB and 10 s of CPU", "256", "fuzz/PreferenceFileCostFuzzer.cpp",
                 "constexpr int64_t kPreferenceFileResidentBound = int64_t{256} << 20;"),
        inSource("256 MiB and 10 s of CPU under the sanitizers", "10", "fuzz/PreferenceFileCostFuzzer.cpp",
                 "constexpr double kPreferenceFileSecondsBound = 10;"),
        measured("(measured at most 77 MiB and 1.2 s)", "", "`preference_file_cost_fuzzer`",
                 "fuzz/PreferenceFileCostFuzzer.cpp"),
        bound("| application preferences | 262,144, 16 MiB |", "262,144",
              4 * CalcManager::historyBound.values),
        bound("| application preferences | 262,144, 16 MiB |", "16 MiB", 4 * CalcManager::historyBound.bytes),
        bound("| the history's bound (65,536, 4 MiB)", "65,536", CalcManager::historyBound.values),
        bound("| the history's bound (65,536, 4 MiB)", "4 MiB", CalcManager::historyBound.bytes),
        bound("consent-snapshot suites | 8,192, 1 MiB each", "8,192", kMSREngineFileBound.values),
        bound("consent-snapshot suites | 8,192, 1 MiB each", "1 MiB", kMSREngineFileBound.bytes),
        other("Calvaro writes under 100 values and 16 KiB to each; about 64 times that", "",
              "the margin's reasoning, in round figures"),
        bound("(`<data root>.keychain/`) | 8,192, 1 MiB |", "8,192", kMSREngineFileBound.values),
        bound("(`<data root>.keychain/`) | 8,192, 1 MiB |", "1 MiB", kMSREngineFileBound.bytes),
        bound("(engine's configuration state) | 8,192, 1 MiB |", "8,192", kMSREngineFileBound.values),
        bound("(engine's configuration state) | 8,192, 1 MiB |", "1 MiB", kMSREngineFileBound.bytes),
        bound("(bundle files, tests) | 1,048,576, 64 MiB |", "1,048,576",
              foundation::kMaximumPropertyListValues),
        bound("(bundle files, tests) | 1,048,576, 64 MiB |", "64 MiB", foundation::kMaximumPropertyListBytes),
        measured("What a start costs over such roots (`tests/e2e/StoredFileBoundsProcessTest`, "
                 "`EveryStoreAtItsBoundProcessTest`, release tree, 8 cores at a load of 35-48): a "
                 "preferences file holding a date of 1900 or 2100, or a binary date that is not a "
                 "number or 1e12, three starts of 22-24 MB each with every exercise stored (before: "
                 "every change lost); a 1 MB binary file of a million references to one string, "
                 "charged exactly the old values bound, 28 MB a start with every exercise stored "
                 "(before: 138 MB and every change refused); every suite, the keychain, the "
                 "persistent dictionary and the application's preferences at their bounds, the "
                 "configuration at 8 MiB, a snapshot of its table's bound in each table, 1,000,000 "
                 "raw events and 8 queued rows of 60 MiB at once (the event driver, which reads the "
                 "application's preferences within the readers' own bounds): the start holds 100-108 "
                 "MiB and spends 1.5-2.7 s of CPU time until a burst of 200 events is stored, and "
                 "107-111 MiB and 8.5-10.3 s once the backlog the engine keeps of those events "
                 "(100,000) and the burst are uploaded, each event once, exit 0 (a load of 90-95; a "
                 "root of files at the readers' old bound of 64 MiB each cost 1.1-1.2 GB and 41 s, "
                 "exit 1). With the raw events unreadable and the 8 queued rows inflating to 60 MiB "
                 "of what is no bundle, at the owners' bounds: the burst stored at 93 MiB and 1.19 s "
                 "of CPU time, uploaded at 153 MiB and 3.17 s, exit 0, the rows said in a line per "
                 "read (load 12-15).",
                 "", "`tests/e2e/StoredFileBoundsProcessTest`", "tests/e2e/StoredFileBoundsProcessTest.cpp"),
        // - Drawn views: a recorded 2D drawing context...
        other("a recorded 2D drawing context", "2", "part of a name"),
        // - The analytics engine's substrate: the monitor, errors...
        other("all 42 wire messages", "42", "the count of the messages in analytics/messages/proto"),
        // - The analytics engine's measurement worker: one engine...
        other("fetched with ETag and 304", "304", "an HTTP status"),
        other("(read as now, it held every upload for 12 h)", "12 h", "what the build before did"),
        other("is none at or below 0, or before the first", "0", "a value, not a figure"),
        other("(before: a load time of 0 began the session at 1970", "0 began the session at 1970",
              "what the build before did"),
        measured("with the last failed upload a year ahead, at 1e308 or not a number, or a back-off "
                 "a year ahead, a start's burst of 200 events is uploaded at that start and its end "
                 "takes 0.02 s (before, for the back-off: no upload, and the end killed after 60 s).",
                 "", "`tests/e2e/StoredTimesAndKeychainProcessTest`",
                 "tests/e2e/StoredTimesAndKeychainProcessTest.cpp"),
        other("saturate at int64's maximum instead of overflowing: a session number of 2^63 - 1 begins the "
              "next "
              "session as 2^63 - 1 (before: a signed overflow, the sanitizer build exited 1 and the release "
              "build "
              "uploaded \"_sno\" = -2^63); a stored count no count can be (negative, or a real past 2^63)",
              "", "int64's range, and exit statuses"),
        measured("What a kill costs on these roads, as measured by `RecoveryRoadsProcessTest`: a "
                 "transaction larger than the page cache cut before its commit (the drop at open of "
                 "raw events past the 1,000,000 the writers keep, the deletion of a million stale "
                 "ones; SQLite leaves frames it rewrote in place unmended until the commit) costs "
                 "the work it had done and nothing else: in 6 of 6 kills the next start kept the "
                 "database where it was, logged no damage, uploaded each of 300 stored events once "
                 "and left no more on the disk than before (64.7 and 134.6 MiB).",
                 "", "`RecoveryRoadsProcessTest`", "tests/e2e/RecoveryRoadsProcessTest.cpp"),
        bound("A salvage copies in commits of at most 5,000 rows", "5,000",
              MSRDatabaseSalvage::Limits{}.rows),
        bound("5,000 rows or 4 MiB, each row", "4 MiB", MSRDatabaseSalvage::Limits{}.bytes),
        other("before, 1,998 of 20,000 events arrived twice; now each once).", "",
              "a figure measured by hand: the README names no program of the tree that measures it"),
        other("Starts killed 8 times in a row within 20 ms of the salvage beginning to read a "
              "set-aside file of 40,000 events each went on from the last commit, and all 40,000 "
              "arrived once, with one copy kept and no scratch copy left. Each commit of a "
              "salvage of 40,000 events of 200 bytes changed at most 5,000 rows and appended at "
              "most 1.25 MB to the log (a salvage done in one transaction per table: 40,000 rows "
              "and 9.7 MB in one commit).",
              "", "a figure measured by hand: the README names no program of the tree that measures it"),
        other("at least 20009 rows of it wait", "20009", "an example of the message"),
        other("A start on a disk with room for 1 MiB a file over a set-aside file of 20,000 "
              "stored events (2.2 MiB) uploaded its own events, exit 0, and the next start with "
              "room uploaded each of the 20,000 once (before: none of them, the mark removed, "
              "nothing said but a console line). A damaged file met by two starts with no room at "
              "all, then by one with room: each of 2,000 stored events uploaded once (before: "
              "none, the mark written empty and dropped, exit 0, nothing said); a file damaged "
              "while its salvage waited, holding 20 events its start had stored: those 20 and the "
              "20,000 kept before uploaded once each (before: the 20 lost).",
              "", "a figure measured by hand: the README names no program of the tree that measures it"),
        other("exits 1 and is redone, and", "1", "an exit status"),
        other("all 20,000 wiped events were uploaded after it)", "",
              "a figure measured by hand: the README names no program of the tree that measures it"),
        bound("One raw event past the 1,000,000 is deleted", "1,000,000", MSRStoredMost::kRawEventRows),
        other("a start over 1,000,001 took 0.71-0.81 s of processor time to its first stored "
              "event, against 0.76-0.79 s over 1,000,000 (2.30 s before, when it copied the "
              "million kept)",
              "", "a figure measured by hand: the README names no program of the tree that measures it"),
        bound("Connections wait up to 5 s for another", "5 s",
              MSRSqliteStore::kBusyTimeoutMilliseconds / 1000.0L),
        bound("storing bundles backs off (5 s, doubling", "5 s", MSRWriteBackoff::kFirstDelay),
        bound("doubling to 5 minutes)", "5 minutes", MSRWriteBackoff::kLongestDelay),
        other("0600 and its folders 0700, whatever the umask", "0600 and its folders 0700",
              "file modes, checked by the storage tests on the files themselves"),
        other("(The end-to-end kill loop, 30 kills by default", "30",
              "three roads of 10 rounds each (tests/e2e/KilledProcessTest.cpp)"),
        inSource("`CALVARO_KILL_ROUNDS=70` for 210", "70` for 210", "tests/e2e/KilledProcessTest.cpp",
                 "CALVARO_KILL_ROUNDS=N runs N (70 gives 210 kills)"),
        other("collector --port 8080 & CALVARO_MEASUREMENT_URL=http://127.0.0.1:8080 scripts/run", "",
              "an example command"),
        // - The engine's own reporters (`analytics/reporters`): screen views...
        inSource("(\"_s\" with \"_sid\" and \"_sno\") after 30 minutes without activity", "30 minutes",
                 "analytics/support/MSRRemoteConfig.cpp",
                 "\"measurement.session.default_timeout_interval\", 1800"),
        // - Audiences evaluated on the device (`analytics/audience`): the...
        bound("Each regular expression compiles within 256 KiB of RE2 memory", "256 KiB",
              MSRRegexCache::kPatternMaxMemory),
        bound("all of one configuration within 131,072 program instructions", "131,072",
              MSRRegexCache::kDefaultInstructionBudget),
        bound("within a bound of 2^27 units", "2^27", MSRAudienceEvaluator::kMaxMatchingWork),
        other("2^27 units, about 65 ms", "65 ms", "an estimate of what the bound costs on a desktop core"),
        bound("are bounded at 65,536", "65,536", MSRPBWireMost::kExpressionListEntries),
        inSource("(9004 for a pattern", "9004", "analytics/audience/MSRAudienceFilterMatching.cpp",
                 "reportFilterMatching(1, 9004, \"Unable to parse regular expression\""),
        inSource("6044 for the matching work", "6044", "analytics/audience/MSRAudienceEvaluator.cpp",
                 "report(1, 6044,"),
        inSource("past the list entries' bound (6045)", "6045", "analytics/messages/MSRPBWireCount.cpp",
                 "MSRPBWireMost::kExpressionListEntries, 6045"),
        // - The event-editing interpreter (`analytics/interpreter`): programs of the...
        bound("one 64 MiB memory ceiling per runtime", "64 MiB", MSRPRuntime::kDefaultMemoryAllowance),
        bound("a guard of 1 s per event", "1 s",
              std::chrono::duration<long double>(MSRPInterpreterEventEditing::kTimeLimit).count()),
        inSource("a guard of 1 s per event and of 1 s over each batch", "1 s over each batch",
                 "analytics/core/MSRMeasurementEventHandling.cpp",
                 "constexpr double kEditingSecondsPerBatch = 1.0;"),
        inSource("a running program is stopped within 0.25 s", "0.25",
                 "analytics/core/MSRMeasurementEventHandling.cpp",
                 "constexpr double kEditingSecondsAtTheEnd = 0.25;"),
        other("hash its names with SipHash-1-3", "1-3", "part of a name"),
        bound("refused with code 29030", "29030", MSRPInterpreterEventEditing::kNoHashKeyMessageCode),
        bound("holds at most 10,000 parameters", "10,000", MSRPInterpreterEventEditing::kMaxEventParameters),
        bound("a function names at most 10,000", "10,000", MSRPFunctionValue::kMaxParameters),
        bound("An event may create at most 20 events", "20", MSRPInterpreterEventEditing::kMaxCreatedEvents),
        untied("18 and the bound", "18"),
        bound("(past 100,000 it is refused whole)", "100,000", MSRPBWireMost::kProgramEntities),
        // - Experiments (`analytics/reporters`, `MSRE*`): the engine's settings...
        bound("\"/sdk-exp\" of the measurement address 10 s after start", "10 s",
              MSRETaskManager::kInitialDelay),
        bound("then every 4 hours", "4 hours", MSRETaskManager::kFetchInterval),
        bound("back-off steps of 0.5 to 16 hours", "0.5", MSRETaskManager::kBackoffBase / 3600),
        bound("back-off steps of 0.5 to 16 hours", "16 hours",
              MSRETaskManager::kBackoffBase * (1 << (MSRETaskManager::kBackoffSteps - 1))),
        bound("12 hours after 503 or 429", "12 hours", MSRETaskManager::kUnavailablePause),
        other("12 hours after 503 or 429", "503 or 429", "HTTP statuses"),
        bound("An answer that does not inflate (bounded at 8 MiB)", "8 MiB",
              MSRPBWireMost::kExperimentsInflatedBytes),
        other("serves a snapshot with `--experiments 0,5,7`", "0,5,7",
              "an example of the collector's option"),
        // - What a server sends is counted before...
        inSource("a field the table does not name may repeat 10,000 times", "10,000",
                 "analytics/messages/MSRPBWireCount.cpp", "constexpr size_t kUnnamedField = 10'000;"),
        inSource("at most 100 snapshots", "100", "analytics/messages/MSRPBWireCount.cpp",
                 "\"snapshots\", Scope::kPerAnswer, 100, 820034"),
        inSource("100 snapshots and 100 per-library answers (820034, 820035)", "820034",
                 "analytics/messages/MSRPBWireCount.cpp", "\"snapshots\", Scope::kPerAnswer, 100, 820034"),
        inSource("100 per-library answers", "100", "analytics/messages/MSRPBWireCount.cpp",
                 "\"sdk_responses\", Scope::kPerAnswer, 100, 820035"),
        inSource("per-library answers (820034, 820035)", "820035", "analytics/messages/MSRPBWireCount.cpp",
                 "\"sdk_responses\", Scope::kPerAnswer, 100, 820035"),
        bound("1,000 experiments (820030)", "1,000", MSRPBWireMost::kExperimentsPerAnswer),
        inSource("1,000 experiments (820030)", "820030", "analytics/messages/MSRPBWireCount.cpp",
                 "MSRPBWireMost::kExperimentsPerAnswer, 820030"),
        bound("1,000 flags in one experiment", "1,000", MSRPBWireMost::kFlagsPerExperiment),
        bound("experiment and 10,000 in all (820031", "10,000", MSRPBWireMost::kFlagsPerAnswer),
        inSource("10,000 in all (820031, 820032)", "820031", "analytics/messages/MSRPBWireCount.cpp",
                 "MSRPBWireMost::kFlagsPerExperiment, 820031"),
        inSource("(820031, 820032)", "820032", "analytics/messages/MSRPBWireCount.cpp",
                 "MSRPBWireMost::kFlagsPerAnswer, 820032"),
        bound("1 MiB of flags on the wire", "1 MiB", MSRPBWireMost::kFlagBytesPerAnswer),
        inSource("1 MiB of flags on the wire (820033)", "820033", "analytics/messages/MSRPBWireCount.cpp",
                 "MSRPBWireMost::kFlagBytesPerAnswer, 820033"),
        inSource("(820033) and 12,000 messages (820036)", "820036", "analytics/messages/MSRPBWireCount.cpp",
                 "kExperimentElements, 820036"),
        inSource("(820033) and 12,000 messages", "12,000", "analytics/messages/MSRPBWireCount.cpp",
                 "constexpr size_t kExperimentElements = 12'000;"),
        bound("at most 10,000 settings", "10,000", MSRPBWireMost::kSettingsPerConfig),
        bound("10,000 event configurations (23299", "10,000", MSRPBWireMost::kEventConfigsPerConfig),
        inSource("10,000 event configurations (23299, 23298)", "23299",
                 "analytics/messages/MSRPBWireCount.cpp", "MSRPBWireMost::kSettingsPerConfig, 23299"),
        inSource("(23299, 23298)", "23298", "analytics/messages/MSRPBWireCount.cpp",
                 "MSRPBWireMost::kEventConfigsPerConfig, 23298"),
        inSource("500 audiences of 100 property and 100 event filters", "100 property",
                 "analytics/messages/MSRPBWireCount.cpp",
                 "\"property_filters\", Scope::kPerParent, 100, 23302"),
        inSource("500 audiences of 100", "500", "analytics/messages/MSRPBWireCount.cpp",
                 "\"audiences\", Scope::kPerAnswer, 500, 23301"),
        inSource("of 100 property and 100 event filters", "100 event",
                 "analytics/messages/MSRPBWireCount.cpp", "\"event_filters\", Scope::kPerParent, 100, 23303"),
        inSource("event filters (23301-23303)", "23301", "analytics/messages/MSRPBWireCount.cpp",
                 "\"audiences\", Scope::kPerAnswer, 500, 23301"),
        inSource("(23301-23303)", "23303", "analytics/messages/MSRPBWireCount.cpp",
                 "\"event_filters\", Scope::kPerParent, 100, 23303"),
        inSource("10 programs of 100,000 entities", "10", "analytics/messages/MSRPBWireCount.cpp",
                 "\"dynamic_event_editing\", Scope::kPerAnswer, 10, 23305"),
        bound("programs of 100,000 entities", "100,000", MSRPBWireMost::kProgramEntities),
        inSource("in all (23305, 23300)", "23305", "analytics/messages/MSRPBWireCount.cpp",
                 "\"dynamic_event_editing\", Scope::kPerAnswer, 10, 23305"),
        inSource("(23305, 23300)", "23300", "analytics/messages/MSRPBWireCount.cpp",
                 "MSRPBWireMost::kProgramEntities, 23300"),
        inSource("100 data controls (23307)", "100", "analytics/messages/MSRPBWireCount.cpp",
                 "\"data_controls\", Scope::kPerAnswer, 100, 23307"),
        inSource("100 data controls (23307)", "23307", "analytics/messages/MSRPBWireCount.cpp",
                 "\"data_controls\", Scope::kPerAnswer, 100, 23307"),
        inSource("of 300 opt-out regions each (23308", "300", "analytics/messages/MSRPBWireCount.cpp",
                 "\"opt_out_regions\", Scope::kPerParent, 300, 23308"),
        inSource("of 300 opt-out regions each (23308", "23308", "analytics/messages/MSRPBWireCount.cpp",
                 "\"opt_out_regions\", Scope::kPerParent, 300, 23308"),
        inSource("16 consent defaults, delegations", "16", "analytics/messages/MSRPBWireCount.cpp",
                 "\"defaults\", Scope::kPerAnswer, 16, 23309"),
        inSource("regional defaults each (23309-23311)", "23309", "analytics/messages/MSRPBWireCount.cpp",
                 "\"defaults\", Scope::kPerAnswer, 16, 23309"),
        inSource("(23309-23311)", "23311", "analytics/messages/MSRPBWireCount.cpp",
                 "\"enforced_defaults\", Scope::kPerAnswer, 16, 23311"),
        inSource("and 200,000 messages (23313)", "23313", "analytics/messages/MSRPBWireCount.cpp",
                 "kConfigElements, 23313"),
        inSource("and 200,000 messages (23313)", "200,000", "analytics/messages/MSRPBWireCount.cpp",
                 "constexpr size_t kConfigElements = 200'000;"),
        inSource("(stored by an older build) is dropped with 29028", "29028",
                 "analytics/core/MSRDatabaseRemoteConfig.cpp", "*database, 29028,"),
        bound("answer of more than 100,000 JSON values", "100,000",
              host::kDEDRemoteConfigMaximumAnswerValues),
        bound("or with an array of more than 10,000 elements, fails the fetch", "10,000",
              host::kDEDRemoteConfigMaximumArrayElements),
        bound("a value of more than 50,000 JSON values", "50,000", services::json::kMaximumValues),
        bound("more than 1,000 elements, is refused whole", "1,000", services::json::kMaximumArrayElements),
        measured("Measured end to end (the event driver against the collector, `bench/core`'s "
                 "`answers_bounds_bench`, release build, 3 runs on a quiet machine; a usual run "
                 "peaks at 23 MiB): a configuration at every bound (3.7 MB, 200,000 messages) peaks "
                 "at 112 MiB while it is fetched and 73 MiB at each start after; an experiments "
                 "answer at every bound at 45 and 49 MiB; both at once at 137 MiB while they are "
                 "fetched and 100 MiB at each start after (3 runs on a shared 8-core machine at a "
                 "load of 9 to 49: the peaks moved by less than 1 MiB). The hostile answers of the "
                 "end-to-end roads (2,000,000 empty consent defaults, data controls, programs or "
                 "audiences; 4,000,000 empty snapshots, or 440,000 named ones) are refused on "
                 "arrival, and no start passes 30 MiB.",
                 "", "`answers_bounds_bench`", "bench/core/AnswersAtBoundsBench.cpp"),
        // - What the engine stored is sized before...
        bound("the stored configuration past 8 MiB is dropped", "8 MiB", MSRStoredMost::kConfigurationBytes),
        inSource("the stored configuration past 8 MiB is dropped with 29031", "29031",
                 "analytics/core/MSRDatabaseRemoteConfig.cpp", "*database, 29031,"),
        bound("an experiments snapshot past 8 MiB", "8 MiB", MSRStoredMost::kSnapshotBytes),
        inSource("an experiments snapshot past 8 MiB with 810009", "810009",
                 "analytics/reporters/MSREDatabase.cpp", "MSRELog(1, 810009,"),
        bound("a raw event or the metadata its events share past 32 MiB", "32 MiB",
              MSRStoredMost::kRawEventBytes),
        inSource("share past 32 MiB with 12080 and 12081", "12080",
                 "analytics/storage/MSRDatabaseRawEvents.cpp",
                 ": code == 12080 ? \"Deleted raw events larger than an event may be stored"),
        inSource("with 12080 and 12081", "12081", "analytics/storage/MSRDatabaseRawEvents.cpp",
                 "MSRStorageLog(1, 12081, \"Raw event metadata larger than metadata may be stored"),
        bound("a queued bundle whose row passes about 48 MiB", "about 48 MiB",
              MSRStoredMost::kQueuedBundleRowBytes),
        bound("or that inflates past about 48 MiB, with 12078", "about 48 MiB", MSRStoredMost::kBundleBytes),
        inSource("with 12078 (counted while inflating", "12078", "analytics/storage/MSRDatabaseQueue.cpp",
                 "case 12078: return \"Dropped queued bundles larger than a bundle may be."),
        measured("Measured end to end (the event driver, release build, `tests/e2e/StoredBlobsProcessTest`): "
                 "a start over a stored "
                 "configuration of 100 MiB peaks at 24 MiB, one over a queued row of 233 KB that "
                 "inflates to 240 MB at 22 MiB, and every other waiting event is uploaded once.",
                 "", "`tests/e2e/StoredBlobsProcessTest`", "tests/e2e/StoredBlobsProcessTest.cpp"),
        bound("one console line (29040)", "29040", MSRDatabaseRemoteConfig::kUnusableStoredConfigurationCode),
        // - A read of many stored rows holds...
        inSource("a row that inflates to what is no bundle goes with 12083", "12083",
                 "analytics/storage/MSRDatabaseQueue.cpp", "drop(12083, rowID,"),
        inSource("or as a number goes with 12082", "12082", "analytics/storage/MSRDatabaseQueue.cpp",
                 "drop(12082, rowID, \"not stored as bytes\")"),
        inSource("(a raw event with 12084, a snapshot with 810010)", "12084",
                 "analytics/storage/MSRDatabaseRawEvents.cpp", "return code == 12084"),
        inSource("(a raw event with 12084, a snapshot with 810010)", "810010",
                 "analytics/reporters/MSREDatabase.cpp",
                 "MSRELog(1, 810010, \"Deleted a snapshot not stored as bytes."),
        bound("raw events past 1,000,000 (the most", "1,000,000", MSRStoredMost::kRawEventRows),
        inSource("allows) with 12085", "12085", "analytics/storage/MSRDatabaseRawEvents.cpp",
                 "MSRStorageLog(1, 12085,"),
        bound("snapshots past a table's 1,000 rows", "1,000", MSRStoredMost::kSnapshotRowsPerTable),
        bound("a table's 1,000 rows or 8 MiB", "8 MiB", MSRStoredMost::kSnapshotTableBytes),
        inSource("or 8 MiB with 810011", "810011", "analytics/reporters/MSREDatabase.cpp",
                 "MSRELog(1, 810011, \"Deleted snapshots past what a table may hold."),
        bound("at most about 96 MiB inflated", "about 96 MiB", MSRStoredMost::kQueuePassInflatedBytes),
        bound("10,000 rows met and 10,000 rows dropped", "10,000 rows met", MSRStoredMost::kQueuePassRows),
        bound("met and 10,000 rows dropped", "10,000", MSRStoredMost::kQueuePassDroppedRows),
        bound("share one budget of about 192 MiB inflated", "about 192 MiB",
              MSRStoredMost::kQueueWorkInflatedBytes),
        bound("inflated, 50,000 rows met and 50,000 dropped", "50,000 rows met",
              MSRStoredMost::kQueueWorkRows),
        bound("rows met and 50,000 dropped", "50,000", MSRStoredMost::kQueueWorkDroppedRows),
        inSource("its inflated head, 4 KiB at a time", "4", "analytics/storage/MSRDatabaseQueue.cpp",
                 "constexpr size_t kQueuedRowHeadStep = 4 << 10;"),
        inSource("4 KiB at a time and at most 256 KiB", "256", "analytics/storage/MSRDatabaseQueue.cpp",
                 "constexpr size_t kQueuedRowHeadBytes = 256 << 10;"),
        inSource("more than 10,000 elements of a repeated one", "10,000",
                 "analytics/storage/MSRDatabaseQueue.cpp",
                 "static constexpr uint32_t kMostElements = 10'000;"),
        other("(zeros, `0a 00` repeated", "0a 00", "bytes"),
        inSource("which goes with 12083 for those bytes", "12083", "analytics/storage/MSRDatabaseQueue.cpp",
                 "drop(12083, rowID,"),
        inSource("said once per read with their count and the first of them (12071, 12080, 12084)", "12071",
                 "analytics/storage/MSRDatabaseRawEvents.cpp", "said.met(12071,"),
        inSource("(12071, 12080, 12084)", "12080", "analytics/storage/MSRDatabaseRawEvents.cpp",
                 ": code == 12080 ? \"Deleted raw events larger than an event may be stored"),
        inSource("(12071, 12080, 12084)", "12084", "analytics/storage/MSRDatabaseRawEvents.cpp",
                 "return code == 12084"),
        measured("Measured end to end (the event driver, release build, load average 12-15 on 8 "
                 "cores): 300 queued rows, each the gzip of 63 MiB of zeros, ahead of a bundle: the "
                 "bundle and a burst of 200 uploaded at that start at 0.11-0.14 s of processor time "
                 "(57.8 s before); 1,000,000 raw events that cannot be read: the burst uploaded once "
                 "at 1.1-1.7 s of processor time, where a start without them takes 0.03 s and SQLite "
                 "alone deletes them in 0.7-1.0 s (2.41 s before, with 99,800 console lines). "
                 "Measured end to end (the event driver, release build, a burst of 200 events stored "
                 "and uploaded once, load average 15 on 8 cores): a start over 20 queued rows of 60 "
                 "MiB that inflate to no bundle peaks at 80 MiB (1,285 MB before), over a queued "
                 "text of 60 MiB beginning with a zero byte at 21 MiB, over 3 x 40 snapshot rows of "
                 "7.9 MiB at 70 MiB and at 36 MiB the start after, over 1,000,000 pending snapshots "
                 "at 22 MiB; over 10,000,000 raw events (0.8 GB) its events are stored 5.7 s after "
                 "the start (4 s of it the drop, once) at 25 MiB, and the starts after it cost what "
                 "any does. Measured end to end (the event driver, release build, load average 4-8 "
                 "on 8 cores), each start exit 0 with a burst of 200 uploaded once: 300 queued rows "
                 "of 63 MiB of `0a 00` (64,246 bytes each) ahead of a bundle, the bundle and the "
                 "burst uploaded at that start at 0.10 s of processor time and 24 MiB, the rows gone "
                 "at that start (34.6 s before, exit 1); 300 rows of 65 MiB of zeros (66,279 bytes "
                 "each), 0.11 s (40.3 s before); 1,000,000 rows of 22 bytes that are no bundle, 2.8 "
                 "s and 21 MiB, every row dropped at that start and said in 100 lines (13.1 s "
                 "before, a line per row); every store at its bound with those 600 rows ahead of the "
                 "8 rows of 60 MiB, 3.0 s and 157 MiB (77.5 s before). Alone (`bench/storage` "
                 "`queue_walk_bench`, release build, load average 5): the upload read goes through "
                 "300 rows of either kind to the bundle behind them in 81-88 ms, most of it SQLite "
                 "freeing each row's pages, and through 1,000,000 rows of 22 bytes in 2.3 s.",
                 "", "`queue_walk_bench`", "bench/storage/QueueWalkBench.cpp"),
        // - Measured on an idle 8-core development machine...
        measured("Measured on an idle 8-core development machine (`bench/`, release build): | road | "
                 "figure | |---|---| | `cancelDown` of a coprime pair near 5·10^11 | 40 ns | | add / "
                 "subtract / multiply / divide of large fractions, with LaTeX | 7.6 / 7.7 / 2.5 / "
                 "4.2 µs | | one whole calculation (log / exp form, default exercise) | 35 / 40 µs | "
                 "| worst input of 12 characters a field (a search of 4,000 exercises, and known "
                 "candidates) | 0.6 ms | | async hop onto a serial queue | 0.4 µs | | monitor line "
                 "below the logging level | 3 ns | | validating and cleaning a 10-parameter event | "
                 "2.6 µs | | encoding / decoding a 500-event batch | 540 / 140 MB/s | | reading a "
                 "queued 100-event bundle back for upload (events kept encoded) | 7 µs | | storing a "
                 "raw event, one transaction each, 100,000 stored (below / at the limit) | 33,000 / "
                 "18,000 a second | | reading a 1,000-event bundle run (as events / as the compact "
                 "rows bundling takes) | 2.7 / 0.8 ms | | events from the public call to a committed "
                 "row, real threads, 1 / 10 parameters (medians of 12 rounds alternated with the "
                 "build before this work, 53,000 / 32,500 there; load average 2-2.5) | 209,000 / "
                 "93,000 a second | | CPU time of the whole process (all threads) per event in that "
                 "road's timed loop, 1 / 10 parameters (same rounds) | 5.9 / 12.5 µs | | peak "
                 "resident memory of a burst of 100,000 ten-parameter events logged at once (median "
                 "of 8 runs alternated with the build before, 51.4 MiB there; load average 21) | "
                 "22.4 MiB | | bytes a stored 10-parameter event takes in the database file (its row "
                 "and index entries) | 275 | | events through bundling (each bundle encoded and "
                 "gzipped into the queue), the queue read and the batch encoding; beside it zlib's "
                 "default level alone on the same batch bytes (medians of 15 alternated rounds, load "
                 "average 4-13) | 166,000 a second; 0.29× zlib's rate | | the same, with the network "
                 "component's gzip of the batch body (same rounds) | 131,000 a second | | bundling "
                 "with 20 audiences of 5 filters each (same rounds; 65,000 before this build) | "
                 "81,000 a second | | bytes on the wire per typical 10-parameter event "
                 "(gzip-compressed batch) | 12.4 | | sharing the demonstration's solution, tap to "
                 "saved PNG of 1170×14340 pixels (load average 1-3) | 1.07 s | | a snapshot with its "
                 "picture / a bare Chromium screenshot of the same page (load average 1-3) | 0.57 / "
                 "0.61 s | | the event-editing interpreter beside Lua 5.4: a recursive fib(27) / "
                 "building and summing a 100,000-element array, every method charged to the budget "
                 "and the memory ceiling kept (medians of 4 rounds alternated with the build before, "
                 "59 / 14.8 ms there; load average 1-2; Lua 10.6 / 4.0 ms) | 58 / 15 ms |",
                 "", "`bench/`", "bench"),
        measured("The engine's roads share the machine's disk and cores, and the figures marked with "
                 "a load were measured on a shared 8-core machine under that load average "
                 "(`uptime`), alternated with the build before them in one run: the burst's peak "
                 "went from 51.4 MiB to 22.4 MiB (8 runs each), the bundling road stayed within its "
                 "noise (180,000 before, 166,000 after, 15 rounds each) while bundling with 20 "
                 "audiences went from 65,000 to 81,000 events a second. The pictures were measured "
                 "as medians of 12 rounds (`web_page_bench --alternate=OLD`): under a load average "
                 "of 1 to 3 the share went from 3.28 s to 1.07 s and a snapshot with its picture "
                 "from 0.63 s to 0.57 s; under 8 to 13, from 3.90 s to 1.58 s and from 1.21 s to "
                 "0.89 s. The figures of an idle machine were not measured again.",
                 "", "web_page_bench", "bench/web/PageBench.cpp"),
        // - The event road's benchmark compares two builds...
        measured("The event road's benchmark compares two builds itself, in rounds of each build's "
                 "own process, one after the other: `build/release/bench/core/event_road_bench "
                 "--compare=<older build>/build/release/bench/core/event_road_bench --rounds=15` "
                 "prints each road's median, range and quartiles for both builds, their ratio, the "
                 "CPU per event and the load average. Against the build before the event metadata "
                 "was kept in memory and events were handed on still packed (load average 2 to 2.5, "
                 "12 rounds each), the road went from 53,000 to 209,000 events a second with one "
                 "parameter (3.9×) and from 32,500 to 93,000 with ten (2.9×); the whole process, "
                 "start included, spent 10.4 µs of CPU per event instead of 29.5.",
                 "", "event_road_bench", "bench/core/EventRoadBench.cpp"),

        // What Calvaro does not do:
        // - A preferences file far past its bounds...
        bound("among the first 4,194,304 entries", "4,194,304",
              foundation::kPropertyListSalvageReach * 4 * CalcManager::historyBound.values),
        bound("the first 256 MiB after the part", "256 MiB",
              foundation::kPropertyListSalvageReach * 4 * CalcManager::historyBound.bytes),
        // - Campaign links become campaign events (a link...
        inSource("15 kills aimed at each of its writes", "15", "tests/e2e/RunningLinkAndEndProcessTest.cpp",
                 "constexpr int kRunningLinkLeastRounds = 15;"),
        other("a stored link time that is NaN, an infinity, before 1970 or past 2^53 ms",
              "1970 or past 2^53 ms", "the clock's epoch and the double's whole numbers"),
        inSource("dropped at the next look with code 23275", "23275", "analytics/core/MSRDeepLinks.cpp",
                 "logWith(3, 23275,"),
    };
}

}  // namespace readme_rows
