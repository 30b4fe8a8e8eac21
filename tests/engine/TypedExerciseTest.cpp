#include <gtest/gtest.h>
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/EnglishTitles.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/engine/KalInputManager.h"
#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/KalPowerAndLogarithmicFunction.h"
#include "Calvaro/engine/KalStringOutput.h"

namespace {

struct TypedLineCase {
    int64_t mode;
    std::vector<std::string> abcdxz;
    std::vector<std::string> lines;
};

TEST(TypedExercise, EveryLineWhereTypedNumbersMeetIsTrue) {
    ASSERT_TRUE(kEnglishTitles);
    const std::string tenTo20 = "100000000000000000000";
    const TypedLineCase cases[] = {
        // f is 0 at the zero the steps name.
        {1,
         {"0.5", "-3", "1000000000.001", "4", "333333333.667", "-2"},
         {"f(333333333.667) = -2\\cdot 0.5^{(-1000000001.001 + 1000000000.001)} + 4",
          "f(333333333.667) = -2\\cdot 0.5^{-1} + 4", "f(333333333.667) = 0"}},
        // 2^{53} - 9007199254740991 is 1, within D the logarithm's argument too.
        {1, {"", "", "53", "-9007199254740991", "", ""}, {"f(0) =  9007199254740992 + -9007199254740991", "f(0) = 1"}},
        {0,
         {"", "", "-9007199254740991", "", "9007199254740992", ""},
         {"f(9007199254740992) = \\log_{2}(1) ", "f(9007199254740992) =  0 "}},
        // x reads apart from c.
        {0,
         {"", "", "-" + tenTo20, "", "100000000000000100000", ""},
         {"f(1.000000000000001 \\cdot 10^{20}) =  \\log_{2}( 1.000000000000001 \\cdot 10^{20} + -1 \\cdot 10^{20}) ",
          "f(1.000000000000001 \\cdot 10^{20}) = \\log_{2}(100000) "}},
        // A typed number keeps its digits where it meets a computed exact
        // value: 1 + 9999999999999999000000000 at sixteen digits, c ÷ 1 at all.
        {0,
         {"", "", "-9999999999999999000000000", "", "", ""},
         {" x = 9.999999999999999 \\cdot 10^{24}", "x =  2^{(y )} - -9.999999999999999 \\cdot 10^{24}"}},
        // Quotients of exact numbers rounded once: the zero at which f is 0.
        {0,
         {"", "1.1", "-99999999.1", "", "90909091", ""},
         {"f(90909091) = \\log_{2}(1) ", "1.1\\cdot x = 100000000.1", "x = 90909091"}},
        {0, {"", "7", "-99999999.1", "", "", ""}, {"x = 14285714.3"}},
        {0, {"", "2.3", "-31533.098", "", "", ""}, {"x = 13710.4773913043"}},
        // ... after an exact logarithm: log_{2}(1) is 0.
        {1, {"", "1.1", "-99999999.1", "-2", "", ""}, {"1.1\\cdot x + -99999999.1 = 1", "x = 90909091"}},
        // No line writes fewer digits than the next uses.
        {0,
         {"", "", "0.000000000012345678901234", "", "1", ""},
         {"f(1) = \\log_{2}(1.0000000000123457) ", "f(1) =  1.781104973 \\cdot 10^{-11} "}},
        {0,
         {"", "0.00001", "0.00000000001234", "", "0.00001", ""},
         {"f(0.00001) = \\log_{2}(0.00000000011234) ", "f(0.00001) =  (-33.0514092408) "}},
        {1, {"10", "", "-11", "1", "", ""}, {"f(0) =  1 \\cdot 10^{-11} + 1", "f(0) = 1.00000000001"}},
        // Whole powers exact beyond 2^{53}.
        {1, {"3", "", "34", "", "", ""}, {"f(0) =  16677181699666569 "}},
        {1, {"3", "", "34", "2", "", "-1/2"}, {"f(0) = -\\frac{16677181699666569}{2} + 2", "f(0) = -\\frac{16677181699666565}{2}"}},
        {1, {"7", "", "19", "", "", ""}, {"f(0) =  11398895185373143 "}},
        // No more digits than the extended precision holds.
        {0, {"", "", "", "1234567890.12345", "1000", ""}, {"f(1000) = 1234567900.0892343"}},
        {0,
         {"", "", "", "1", "", "0.0000000000015"},
         {"\\log_{2}( x ) = -666666666666.66667 \\quad |2^{\\wedge}",
          "\\log_{2}( x ) = 666666666666.66667y - 666666666666.66667 \\quad |2^{\\wedge}"}},
    };
    for (const auto& c : cases) {
        const CalculatorRun run(c.mode, c.abcdxz);
        ASSERT_FALSE(run.result.errorKey) << *run.result.errorKey;
        for (const auto& line : c.lines) EXPECT_TRUE(run.writes(line)) << line;
    }
}

struct TypedRefusalCase {
    int64_t mode;
    std::vector<std::string> abcdxz;
    std::string errorKey;
    std::vector<std::string> fields;
};

TEST(TypedExercise, AResultNoLineCouldWriteRefusesTheExerciseWithItsCause) {
    ASSERT_TRUE(kEnglishTitles);
    const TypedRefusalCase cases[] = {
        {0, {"", "1E200", "", "", "1E200", ""}, "resultTooLarge", {"bTextField", "xTextField"}},
        {1, {"", "-1E-200", "", "", "1E-200", ""}, "resultTooSmall", {"bTextField", "xTextField"}},
        // 9 + 9 · 10^{300} reads 9 · 10^{300} at ten significant digits: no refusal.
        {1, {"", "1E-300", "9E300", "", "9E300", ""}, "none", {}},
        // Met by 1 or 0 the power stays as it is.
        {1, {"3", "", "34", "0", "", "1"}, "none", {}},
    };
    for (const auto& c : cases) {
        const CalculatorRun run(c.mode, c.abcdxz);
        EXPECT_EQ(run.result.errorKey.value_or("none"), c.errorKey) << c.abcdxz[1];
        EXPECT_EQ(run.result.faultyFieldIds.value_or(std::vector<std::string>{}), c.fields) << c.abcdxz[1];
        // Nothing of the refused solution stays behind.
        EXPECT_EQ(run.output.solutionSteps().empty(), c.errorKey != "none") << c.abcdxz[1];
        EXPECT_EQ(run.result.solutionSteps.has_value(), c.errorKey == "none") << c.abcdxz[1];
    }
}

TEST(TypedExercise, ARefusedTypedNumberNamesItsRealCause) {
    const std::string zeros399(399, '0');
    const struct {
        std::string text, errorKey;
    } cases[] = {
        // One significant digit each, far below the normal doubles.
        {"0." + zeros399 + "1", "inputNumberTooSmall"},
        {"0." + std::string(323, '0') + "3", "inputNumberTooSmall"},
        {"-3E-324", "inputNumberTooSmall"},
        {"1" + std::string(400, '0'), "inputNumberTooLarge"},
        {"-1.8E308", "inputNumberTooLarge"},
        {"12345678901234567", "inputNumberNotHeld"},
        // Held as typed, however small or large: no refusal.
        {"1E-310", "none"},
        {"1.7976931348623157E308", "none"},
    };
    for (const auto& c : cases) {
        KalStringOutput output;
        KalMathOperation operation(output);
        KalInputManager manager(output, &operation);
        const auto result = manager.processInputs({c.text}, {}, {"field"}, {"%0"}, true, false, false,
                                                  FormatMode::formula, "", "", 1, false, {});
        EXPECT_EQ(result.errorKey.value_or("none"), c.errorKey) << c.text.substr(0, 40);
    }
}

}  // namespace
