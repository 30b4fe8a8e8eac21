#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/engine/KalInputManager.h"
#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/KalStringOutput.h"

namespace {

const bool kEnglishTitles = [] { return setenv("CALVARO_LANGUAGE", "en", 1) == 0; }();
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

struct GrammarCase {
    std::string text;
    double z;
    double n;
    std::vector<std::string> zConstants;
    std::vector<std::string> nConstants;
    std::string variable;
};

std::vector<std::string> keys(const NaturalConstants& constants) {
    std::vector<std::string> result;
    for (const auto& constant : constants) result.push_back(constant.key());
    return result;
}

TEST(InputGrammar, ReadsNumbersFractionsConstantsAndVariables) {
    const GrammarCase cases[] = {
        {"2", 2, 1, {}, {}, ""}, {"-7", -7, 1, {}, {}, ""},
        {"2.5", 2.5, 1, {}, {}, ""},  // a plain decimal stays as it is
        {"(-3)", -3, 1, {}, {}, ""},
        {"2/4", 1, 2, {}, {}, ""},        // cancelled
        {"2.5/3", 5, 6, {}, {}, ""},      // expanded to 25/30, then cancelled
        {"3/-4", -3, 4, {}, {}, ""},      // sign moved to the numerator
        {"1.2345678/2", 6172839, 10000000, {}, {}, ""},  // every typed digit kept
        {"0.1/3", 1, 30, {}, {}, ""}, {kPi, 1, 1, {kPi}, {}, ""}, {"2" + kPi, 2, 1, {kPi}, {}, ""},
        {"-e", -1, 1, {"e"}, {}, ""}, {kPi + "/2", 1, 2, {kPi}, {}, ""}, {"3/e", 3, 1, {}, {"e"}, ""},
        {"2" + kPi + "/" + kPi, 2, 1, {}, {}, ""},  // the constant cancels
        {"x", 1, 1, {}, {}, "x"}, {"-3y", -3, 1, {}, {}, "y"}, {"+4", 4, 1, {}, {}, ""}, {"1E3", 1000, 1, {}, {}, ""},
    };
    ASSERT_TRUE(kEnglishTitles);
    for (const auto& c : cases) {
        InputRun run({c.text});
        ASSERT_TRUE(run.result.allInputs) << c.text << ": " << run.result.errorKey.value_or("");
        const Digit& digit = *run.result.allInputs->front();
        EXPECT_EQ(digit.z(), c.z) << c.text;
        EXPECT_EQ(digit.n(), c.n) << c.text;
        EXPECT_EQ(keys(digit.zConstants()), c.zConstants) << c.text;
        EXPECT_EQ(keys(digit.nConstants()), c.nConstants) << c.text;
        EXPECT_EQ(digit.zVariable(), c.variable) << c.text;
        EXPECT_EQ(digit.powerOfZVariable(), c.variable.empty() ? 0.0 : 1.0) << c.text;
    }
}

struct ErrorCase {
    std::vector<std::string> texts;
    std::string errorKey;
    std::string faultyField;
};

TEST(InputGrammar, ReportsTheFirstErrorWithItsField) {
    const ErrorCase cases[] = {
        {{"3/"}, "fractionIncomplete", "field0"}, {{"/4"}, "fractionIncomplete", "field0"},
        {{"/"}, "fractionIncomplete", "field0"}, {{"1/2/3"}, "inputParameterError", "field0"},
        {{"5/0"}, "inputZeroInDenominator", "field0"}, {{"5/0" + kPi}, "inputZeroInDenominator", "field0"},
        {{kPi + "2"}, "naturalConstantInWrongPositionOfSubstring", "field0"},
        {{kPi + "e"}, "toManyNaturalConstantsInSubstring", "field0"},
        {{"ee"}, "toManyNaturalConstantsInSubstring", "field0"},
        {{"1e5"}, "naturalConstantInWrongPositionOfSubstring", "field0"},  // e is always the constant
        {{"x2"}, "naturalConstantInWrongPositionOfSubstring", "field0"},
        {{"2x" + kPi}, "naturalConstantInWrongPositionOfSubstring", "field0"},
        {{"xy"}, "toManyVariablesInSubstring", "field0"}, {{" 2"}, "inputParameterError", "field0"},
        {{"2 "}, "inputParameterError", "field0"}, {{"2,5"}, "inputParameterError", "field0"},
        {{"-"}, "inputParameterError", "field0"}, {{"."}, "inputParameterError", "field0"},
        {{"inf"}, "inputParameterError", "field0"}, {{"nan"}, "inputParameterError", "field0"},
        {{"0X10"}, "inputParameterError", "field0"},
        {{"1E999"}, "inputParameterError", "field0"},  // overflows to infinity
        {{"3/(-)"}, "inputParameterError", "field0"},
        // Parsing stops at the first field that fails.
        {{"1", "a", "3/"}, "inputParameterError", "field1"}, {{"1", "3/", "a"}, "fractionIncomplete", "field1"},
        // The scan for several "/" runs over all fields before any is parsed.
        {{"a", "2", "1/2/3"}, "inputParameterError", "field2"}, {{"3/", "1/2/3"}, "inputParameterError", "field1"},
        // Within a fraction the numerator is read before the denominator.
        {{kPi + "2/xy"}, "naturalConstantInWrongPositionOfSubstring", "field0"},
        {{"2/xy"}, "toManyVariablesInSubstring", "field0"},
    };
    for (const auto& c : cases) {
        InputRun run(c.texts);
        EXPECT_FALSE(run.result.allInputs) << c.texts.back();
        EXPECT_EQ(run.result.errorKey.value_or("none"), c.errorKey) << c.texts.back();
        ASSERT_TRUE(run.result.faultyFieldIds) << c.texts.back();
        EXPECT_EQ(*run.result.faultyFieldIds, std::vector<std::string>{c.faultyField}) << c.texts.back();
        EXPECT_FALSE(run.result.solutionSteps);
        EXPECT_TRUE(run.output.solutionSteps().empty()) << "no input step on an error: " << c.texts.back();
    }
}

TEST(InputAmount, CountsFilledFieldsBeforeParsing) {
    KalStringOutput output;
    KalMathOperation operation(output);
    KalInputManager manager(output, &operation);
    const std::vector<std::string> ids = {"a", "b", "c"};

    // Too few filled fields wins over a parse error; bracket-only fields are empty.
    auto result = manager.processInputs({"x y", "", "()"}, {}, ids, {""}, true, false, false, FormatMode::formula,
                                        "", "", 2, false, {});
    EXPECT_EQ(result.errorKey, "notEnoughInputValues");
    EXPECT_EQ(result.faultyFieldIds, (std::vector<std::string>{"b", "c"}));

    // The walk stops as soon as enough fields are filled.
    result = manager.processInputs({"1", "", "2"}, {}, ids, {""}, true, false, false, FormatMode::formula, "", "",
                                   1, false, {});
    EXPECT_TRUE(result.allInputs);

    // Required identifiers name exactly the fields that must be filled.
    result = manager.processInputs({"1", "", "(())"}, {}, ids, {""}, true, false, false, FormatMode::formula, "", "",
                                   0, false, {"a", "c"});
    EXPECT_EQ(result.faultyFieldIds, (std::vector<std::string>{"c"}));

    // allRequired needs every field; no fields at all never suffice.
    result = manager.processInputs({"1", "2", ""}, {}, ids, {""}, true, false, false, FormatMode::formula, "", "", 0,
                                   true, {});
    EXPECT_EQ(result.faultyFieldIds, (std::vector<std::string>{"c"}));
    result = manager.processInputs({}, {}, {}, {""}, true, false, false, FormatMode::formula, "", "", 0, false, {});
    EXPECT_EQ(result.errorKey, "notEnoughInputValues");
}

TEST(InputAmount, ReportsTagsWhenFieldsAreKnownByTags) {
    KalStringOutput output;
    KalMathOperation operation(output);
    KalInputManager manager(output, &operation);
    auto result = manager.processInputs({"1", "5/0"}, {11, 12}, {}, {""}, true, false, false, FormatMode::formula, "",
                                        "", 2, false, {});
    EXPECT_EQ(result.errorKey, "inputZeroInDenominator");
    EXPECT_EQ(result.faultyFieldIds, (std::vector<std::string>{"12"}));
    EXPECT_EQ(result.faultyTags, (std::vector<int64_t>{12}));
    result = manager.processInputs({"", "1"}, {11, 12}, {}, {""}, true, false, false, FormatMode::formula, "", "", 2,
                                   false, {});
    EXPECT_EQ(result.faultyTags, (std::vector<int64_t>{11}));
}

struct StepCase {
    std::vector<std::string> texts;
    std::vector<std::pair<std::string, std::string>> steps;
};

TEST(InputSteps, WritesInputExpansionCancellingAndModifiedInput) {
    const StepCase cases[] = {
        {{"2.5", ""}, {{"Your Input", "2.5;  ? "}}}, {{"2/4", "1"},
         {{"Your Input", "\\frac{2}{4}; 1"},
          {"Cancel", "\\frac{2}{4}= \\frac{2 : 2}{4 : 2} =  \\frac{1}{2}"}, {"Modified Input", "\\frac{1}{2}; 1"}}},
        {{"2.5/3", "6/8"},
         {{"Your Input", "\\frac{2.5}{3}; \\frac{6}{8}"},
          {"Expand", "\\frac{2.5}{3} = \\frac{2.5 \\cdot 10}{3 \\cdot 10} = \\frac{25}{30}"},
          {"Cancel", "\\frac{25}{30}= \\frac{25 : 5}{30 : 5} =  \\frac{5}{6}"},
          {"", "\\frac{6}{8}= \\frac{6 : 2}{8 : 2} =  \\frac{3}{4}"},
          {"Modified Input", "\\frac{5}{6}; \\frac{3}{4}"}}},
        // The decimals of the user's number are kept exactly, not rounded to six digits.
        {{"1.2345678/3", "1"},
         {{"Your Input", "\\frac{1.2345678}{3}; 1"},
          {"Expand",
           "\\frac{1.2345678}{3} = \\frac{1.2345678 \\cdot 10000000}{3 \\cdot 10000000} = \\frac{12345678}{30000000}"},
          {"Cancel", "\\frac{12345678}{30000000}= \\frac{12345678 : 6}{30000000 : 6} =  \\frac{2057613}{5000000}"},
          {"Modified Input", "\\frac{2057613}{5000000}; 1"}}},
        {{"3/-4", "1"}, {{"Your Input", "\\frac{3}{-4}; 1"}, {"Modified Input", "-\\frac{3}{4}; 1"}}},
    };
    for (const auto& c : cases) {
        InputRun run(c.texts, {}, "%0; %1");
        ASSERT_TRUE(run.result.allInputs) << c.texts.front();
        EXPECT_EQ(run.steps(), c.steps) << c.texts.front();
        EXPECT_EQ(run.result.isAnyNumberChanged, c.steps.size() > 1) << c.texts.front();
        EXPECT_EQ(run.result.solutionSteps->size(), c.steps.size());
    }
}

TEST(InputSteps, FillsPlaceholdersInOrderAndLeavesEarlierStepsAlone) {
    KalStringOutput output;
    output.appendStep("earlier", "kept");
    KalMathOperation operation(output);
    KalInputManager manager(output, &operation);
    const auto result = manager.processInputs({"1", "2", "3"}, {}, {"a", "b", "c"}, {"%2 %0 %1 %0"}, true, false,
                                              false, FormatMode::formula, "", "", 3, false, {});
    ASSERT_TRUE(result.allInputs);
    ASSERT_EQ(output.solutionSteps().size(), 2u);
    EXPECT_EQ(output.solutionSteps()[0].at("latexString"), "kept");
    EXPECT_EQ(output.solutionSteps()[1].at("latexString"), "3 1 2 1");
    EXPECT_EQ(output.solutionStepCounter(), 0) << "input steps carry no number";
}

// A symbol table of two entries, as the formula/unit/symbol model would give.
class TwoSymbols : public KalInputSymbolLookup {
public:
    std::optional<InputSymbol> findSymbol(const std::string& subcategory, const std::string& topic,
                                          const std::string& key) const override {
        if (subcategory != "sub" || topic != "top") return std::nullopt;
        if (key == "s") return InputSymbol{"s", "s_{0}", "m"};
        if (key == "t") return InputSymbol{"t", "t_{1}", "s"};
        return std::nullopt;
    }
};

TEST(InputVariablesMode, RewritesLinesWithSymbolsAndMergesExpansions) {
    KalStringOutput output;
    KalMathOperation operation(output);
    KalInputManager manager(output, &operation, std::make_shared<TwoSymbols>());
    const auto result = manager.processInputs({"2.5/2", "3"}, {}, {"s", "t"}, {"s = %0", "t = %0"}, true, true, false,
                                              FormatMode::variables, "sub", "top", 2, false, {});
    ASSERT_TRUE(result.allInputs);
    EXPECT_EQ(manager.inputFormat(), (std::vector<std::string>{"s_{0} = %0", "t_{1} = %0"}));
    ASSERT_EQ(manager.inputSymbols().size(), 2u);
    const auto& steps = output.solutionSteps();
    ASSERT_EQ(steps.size(), 3u);  // two input lines and the cancelling; no "Modified Input" here
    EXPECT_EQ(steps[0].at("title"), "Your Input");
    EXPECT_EQ(steps[0].at("latexString"),
              "s_{0} = \\frac{2.5}{2} m = \\frac{2.5 \\cdot 10}{2 \\cdot 10} = \\frac{25}{20} m");
    EXPECT_EQ(steps[1].at("latexString"), "t_{1} = 3 s\n");
    EXPECT_EQ(steps[2].at("title"), "Cancel");

    // Without a look-up no symbol is found and the lines stay as they are.
    KalStringOutput plainOutput;
    KalInputManager plain(plainOutput, &operation);
    ASSERT_TRUE(plain.processInputs({"1"}, {}, {"s"}, {"s = %0"}, true, true, false, FormatMode::variables, "sub",
                                    "top", 1, false, {})
                    .allInputs);
    EXPECT_TRUE(plain.inputSymbols().empty());
    EXPECT_EQ(plainOutput.solutionSteps().front().at("latexString"), "s = 1 \n");
}

TEST(InputFractionMode, ReadsEveryInputAsFractionOnceAnyHoldsOne) {
    KalStringOutput output;
    KalMathOperation operation(output);
    KalInputManager manager(output, &operation);
    const auto result = manager.processInputs({"1/2", "0.5", ""}, {}, {"a", "b", "c"}, {"%0 %1 %2"}, true, true,
                                              false, FormatMode::formula, "", "", 2, false, {});
    ASSERT_TRUE(result.allInputs);
    EXPECT_TRUE(operation.withFraction());
    EXPECT_EQ((*result.allInputs)[1]->z(), 1.0);  // 0.5 expanded to 5/10, cancelled to 1/2
    EXPECT_EQ((*result.allInputs)[1]->n(), 2.0);
    EXPECT_FALSE((*result.allInputs)[2]->z());
}

}  // namespace
