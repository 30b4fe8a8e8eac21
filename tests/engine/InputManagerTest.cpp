#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/engine/KalInputManager.h"
#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/KalStringOutput.h"
#include "tests/engine/EngineTestSupport.h"

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

TEST(InputGrammar, ReadsNumbersFractionsConstantsAndVariables) {
    const std::pair<std::string, std::string> cases[] = {
        {"2", "2/1"}, {"-7", "-7/1"}, {"2.5", "2.5/1"}, {"(-3)", "-3/1"}, {"+4", "4/1"}, {"1E3", "1000/1"},
        {"2/4", "1/2"},    // cancelled
        {"2.5/3", "5/6"},  // expanded to 25/30, then cancelled
        {"3/-4", "-3/4"},  // sign moved to the numerator
        {"1.2345678/2", "6172839/10000000"},  // every typed digit kept
        {"0.1/3", "1/30"}, {kPi, "1/1 π/"}, {"2" + kPi, "2/1 π/"}, {"-e", "-1/1 e/"}, {kPi + "/2", "1/2 π/"},
        {"3/e", "3/1 /e"}, {"2" + kPi + "/" + kPi, "2/1"}, {"x", "1/1 x^1"}, {"-3y", "-3/1 y^1"},
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
    const ErrorCase cases[] = {
        {{"3/"}, "fractionIncomplete"}, {{"/4"}, "fractionIncomplete"}, {{"/"}, "fractionIncomplete"},
        {{"1/2/3"}, "inputParameterError"}, {{"5/0"}, "inputZeroInDenominator"},
        {{"5/0" + kPi}, "inputZeroInDenominator"}, {{kPi + "2"}, wrongPosition}, {{kPi + "e"}, tooManyConstants},
        {{"ee"}, tooManyConstants}, {{"1e5"}, wrongPosition} /* e is always the constant */, {{"x2"}, wrongPosition},
        {{"2x" + kPi}, wrongPosition}, {{"xy"}, "toManyVariablesInSubstring"}, {{" 2"}, "inputParameterError"},
        {{"2 "}, "inputParameterError"}, {{"2,5"}, "inputParameterError"}, {{"-"}, "inputParameterError"},
        {{"."}, "inputParameterError"}, {{"inf"}, "inputParameterError"}, {{"nan"}, "inputParameterError"},
        {{"0X10"}, "inputParameterError"}, {{"1E999"}, "inputParameterError"} /* overflows */,
        {{"3/(-)"}, "inputParameterError"},
        // Parsing stops at the first field that fails.
        {{"1", "a", "3/"}, "inputParameterError", 1}, {{"1", "3/", "a"}, "fractionIncomplete", 1},
        // The scan for several "/" runs over all fields before any is parsed.
        {{"a", "2", "1/2/3"}, "inputParameterError", 2}, {{"3/", "1/2/3"}, "inputParameterError", 1},
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
    const auto process = [&](const Ids& texts, const std::vector<int64_t>& tags, const Ids& ids, int64_t amount,
                             bool allRequired = false, const Ids& required = {}) {
        return manager.processInputs(texts, tags, ids, {""}, true, false, false, FormatMode::formula, "", "", amount,
                                     allRequired, required);
    };
    const Ids abc = {"a", "b", "c"};
    // Too few filled fields wins over a parse error; bracket-only fields are empty.
    auto result = process({"x y", "", "()"}, {}, abc, 2);
    EXPECT_EQ(result.errorKey, "notEnoughInputValues");
    EXPECT_EQ(result.faultyFieldIds, (Ids{"b", "c"}));
    // The walk stops as soon as enough fields are filled.
    EXPECT_TRUE(process({"1", "", "2"}, {}, abc, 1).allInputs);
    // Required identifiers name exactly the fields that must be filled; allRequired needs every field.
    EXPECT_EQ(process({"1", "", "(())"}, {}, abc, 0, false, {"a", "c"}).faultyFieldIds, Ids{"c"});
    EXPECT_EQ(process({"1", "2", ""}, {}, abc, 0, true).faultyFieldIds, Ids{"c"});
    EXPECT_EQ(process({}, {}, {}, 0).errorKey, "notEnoughInputValues");
    // Fields known by tags are named by their tags.
    result = process({"1", "5/0"}, {11, 12}, {}, 2);
    EXPECT_EQ(result.errorKey, "inputZeroInDenominator");
    EXPECT_EQ(result.faultyFieldIds, Ids{"12"});
    EXPECT_EQ(result.faultyTags, (std::vector<int64_t>{12}));
    EXPECT_EQ(process({"", "1"}, {11, 12}, {}, 2).faultyTags, (std::vector<int64_t>{11}));
}

struct StepCase {
    std::vector<std::string> texts;
    std::vector<std::pair<std::string, std::string>> steps;
    std::string format = "%0; %1";
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
        {{"3/-4", "1"}, {{"Your Input", "\\frac{3}{-4}; 1"}, {"Modified Input", "-\\frac{3}{4}; 1"}}},
        // Placeholders are filled in the order the format names them.
        {{"1", "2", "3"}, {{"Your Input", "3 1 2 1"}}, "%2 %0 %1 %0"},
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
