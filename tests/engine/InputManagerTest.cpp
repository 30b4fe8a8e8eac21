#include <gtest/gtest.h>
#include "tests/engine/EnglishTitles.h"

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/engine/KalInputManager.h"
#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/KalStringOutput.h"
#include "tests/engine/EngineTestSupport.h"

namespace {

const std::string kPi = "\xCF\x80";

// The input manager as the calculator drives it, on its own output.
struct InputRun {
    KalStringOutput output;
    KalMathOperation operation{output};
    InputProcessingResult result;

    explicit InputRun(const std::vector<std::string>& texts, std::vector<std::string> ids = {},
                 const std::string& format = "%0") {
        if (ids.empty()) {
            for (size_t i = 0; i < texts.size(); ++i) ids.push_back("field" + std::to_string(i));
        }
        KalInputManager manager(output, &operation);
        result = manager.processInputs(texts, {}, ids, {format}, true, false, false, FormatMode::formula, "", "",
                                       1, false, {});
    }
    std::vector<std::pair<std::string, std::string>> steps() const {
        std::vector<std::pair<std::string, std::string>> lines;
        for (const auto& step : output.solutionSteps()) lines.emplace_back(step.at("title"), step.at("latexString"));
        return lines;
    }
};

TEST(InputGrammar, ReadsNumbersFractionsConstantsAndVariables) {
    const std::pair<std::string, std::string> cases[] = {
        {"-7", "-7/1"}, {"2.5", "2.5/1"}, {"(-3)", "-3/1"}, {"+4", "4/1"}, {"1E3", "1000/1"},
        {"2/4", "1/2"},    // cancelled
        {"2.5/3", "5/6"},  // expanded to 25/30, then cancelled
        {"3/-4", "-3/4"},  // sign moved to the numerator
        {"1.2345678/2", "6172839/10000000"},  // every typed digit kept
        // Past the tenth decimal a number is taken as the steps write it:
        // at ten decimals, below 1e-10 at the ten digits of m·10^{k}.
        {"1.000000000001", "1/1"}, {"-0.00000000015", "-2e-10/1"}, {"0.000000000012345678901", "1.23456789e-11/1"},
        {"1.00000000001/3", "1/3"}, {"2.71828182846e", "2.7182818285/1 e/"}, {"0.000000000001", "1e-12/1"},
        // Halves go away from zero, on the digits typed; the decimals are
        // counted once an exponent is applied.
        {"1.00000000005", "1.0000000001/1"}, {"0.12345678905", "0.1234567891/1"}, {"2.00000000025", "2.0000000003/1"},
        {"-2.00000000025", "-2.0000000003/1"}, {"9.99999999995", "10/1"}, {"25E-11", "3e-10/1"},
        {"1.000000001E-2", "0.01/1"}, {"1.000000001E+2", "100.0000001/1"}, {"123456789E-19", "1.23456789e-11/1"},
        // Numbers the double gives back as typed, at its edges.
        {"4503599627370495.5", "4.50359962737e+15/1"}, {"9007199254740992", "9.00719925474e+15/1"},
        {"1E300", "1e+300/1"}, {"-0.000", "-0/1"}, {"1000000000.001", "1000000000/1"},
        {"2" + kPi, "2/1 π/"}, {"-e", "-1/1 e/"}, {"3/e", "3/1 /e"}, {"2" + kPi + "/" + kPi, "2/1"}, {"-3y", "-3/1 y^1"},
    };
    ASSERT_TRUE(kEnglishTitles);
    for (const auto& [text, expected] : cases) {
        InputRun run({text});
        ASSERT_TRUE(run.result.allInputs) << text << ": " << run.result.errorKey.value_or("");
        EXPECT_EQ(fields(run.result.allInputs->front()), expected) << text;
    }
}

struct ErrorCase {
    std::vector<std::string> texts;
    std::string errorKey;
    int faultyField = 0;
};

TEST(InputGrammar, ReportsTheFirstErrorWithItsField) {
    const std::string wrongPosition = "naturalConstantInWrongPositionOfSubstring";
    const std::string tooManyConstants = "toManyNaturalConstantsInSubstring";
    const std::string notHeld = "inputNumberNotHeld";
    const ErrorCase cases[] = {
        {{"3/"}, "fractionIncomplete"}, {{"/"}, "fractionIncomplete"}, {{"1/2/3"}, "inputParameterError"},
        {{"5/0" + kPi}, "inputZeroInDenominator"}, {{kPi + "2"}, wrongPosition}, {{kPi + "e"}, tooManyConstants},
        {{"1e5"}, wrongPosition} /* e is always the constant */, {{"2x" + kPi}, wrongPosition},
        {{"xy"}, "toManyVariablesInSubstring"}, {{"2 "}, "inputParameterError"}, {{"2,5"}, "inputParameterError"},
        {{"-"}, "inputParameterError"}, {{"nan"}, "inputParameterError"}, {{"0X10"}, "inputParameterError"},
        {{"1E999"}, "inputNumberTooLarge"} /* overflows */, {{"3/(-)"}, "inputParameterError"},
        // Parsing stops at the first field that fails.
        {{"1", "a", "3/"}, "inputParameterError", 1}, {{"1", "3/", "a"}, "fractionIncomplete", 1},
        // The scan for several "/" runs over all fields before any is parsed.
        {{"a", "2", "1/2/3"}, "inputParameterError", 2}, {{"3/", "1/2/3"}, "inputParameterError", 1},
        // Numbers whose double gives back other digits: 2^{52} + 0.5 reads
        // back as 2^{52}, 2^{53} + 1 as 2^{53}; wherever they stand. 1E-400
        // reads as 0: too small, though it has one digit.
        {{"4503599627370496.5"}, notHeld}, {{"9007199254740993"}, notHeld}, {{"-12345678901234567890"}, notHeld},
        {{"1234567890123456.7"}, notHeld}, {{"1E-400"}, "inputNumberTooSmall"}, {{"1", "9007199254740993/2"}, notHeld, 1},
        {{"2/9007199254740993" + kPi}, notHeld}, {{"9007199254740993x"}, notHeld},
        // Within a fraction the numerator is read before the denominator.
        {{kPi + "2/xy"}, wrongPosition}, {{"2/xy"}, "toManyVariablesInSubstring"},
    };
    for (const auto& c : cases) {
        InputRun run(c.texts);
        EXPECT_FALSE(run.result.allInputs || run.result.solutionSteps) << c.texts.back();
        EXPECT_EQ(run.result.errorKey.value_or("none"), c.errorKey) << c.texts.back();
        EXPECT_EQ(run.result.faultyFieldIds.value_or(std::vector<std::string>{}),
                  std::vector<std::string>{"field" + std::to_string(c.faultyField)})
            << c.texts.back();
        EXPECT_TRUE(run.output.solutionSteps().empty()) << "no input step on an error: " << c.texts.back();
    }
}

TEST(InputAmount, CountsFilledFieldsBeforeParsingAndNamesTheMissingOnes) {
    KalStringOutput output;
    KalMathOperation operation(output);
    KalInputManager manager(output, &operation);
    using Ids = std::vector<std::string>;
    const auto process = [&](const Ids& texts, const std::vector<int64_t>& tags, const Ids& ids, int64_t amount) {
        return manager.processInputs(texts, tags, ids, {""}, true, false, false, FormatMode::formula, "", "", amount,
                                     false, {});
    };
    const Ids abc = {"a", "b", "c"};
    // Too few filled fields wins over a parse error; bracket-only fields are empty.
    auto result = process({"x y", "", "()"}, {}, abc, 2);
    EXPECT_EQ(result.errorKey, "notEnoughInputValues");
    EXPECT_EQ(result.faultyFieldIds, (Ids{"b", "c"}));
    // The walk stops as soon as enough fields are filled.
    EXPECT_TRUE(process({"1", "", "2"}, {}, abc, 1).allInputs);
    EXPECT_EQ(process({}, {}, {}, 0).errorKey, "notEnoughInputValues");
}

struct StepCase {
    std::vector<std::string> texts;
    std::vector<std::pair<std::string, std::string>> steps;
    std::string format = "%0; %1";
};

TEST(InputSteps, WritesInputAndModifiedInput) {
    const StepCase cases[] = {
        {{"2.5", ""}, {{"Your Input", "2.5;  ? "}}},
        {{"3/-4", "1"}, {{"Your Input", "\\frac{3}{-4}; 1"}, {"Modified Input", "-\\frac{3}{4}; 1"}}},
        // Placeholders are filled in the order the format names them.
        {{"1", "2", "3"}, {{"Your Input", "3 1 2 1"}}, "%2 %0 %1 %0"},
        // Expanding 23 decimals: the factor and the tiny part as m \cdot 10^{k},
        // not 0.00000000000000000000007 and 100000000000000008388608.
        {{"1.5/0.00000000000000000000007", "2"},
         {{"Your Input", "2.142857143 \\cdot 10^{22}; 2"},
          {"Expand", "2.142857143 \\cdot 10^{22} = \\frac{1.5 \\cdot 1 \\cdot 10^{23}}{7 \\cdot 10^{-23} \\cdot 1 \\cdot "
                     "10^{23}} = \\frac{1.5 \\cdot 10^{23}}{7}"},
          {"Modified Input", "\\frac{1.5 \\cdot 10^{23}}{7}; 2"}}},
    };
    for (const auto& c : cases) {
        InputRun run(c.texts, {}, c.format);
        ASSERT_TRUE(run.result.allInputs) << c.texts.front();
        EXPECT_EQ(run.steps(), c.steps) << c.texts.front();
        EXPECT_EQ(run.result.isAnyNumberChanged, c.steps.size() > 1) << c.texts.front();
        EXPECT_EQ(run.result.solutionSteps->size(), c.steps.size());
        EXPECT_EQ(run.output.solutionStepCounter(), 0) << "input steps carry no number";
    }
}

}  // namespace
