#include <gtest/gtest.h>
#include "tests/engine/EnglishTitles.h"

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/engine/KalMathOperation.h"
#include "Calvaro/engine/KalPowerAndLogarithmicFunction.h"
#include "Calvaro/engine/KalStringOutput.h"

namespace {

using Text = std::optional<std::string>;

struct Calculation {
    KalStringOutput output;
    KalMathOperation operation{output};
    CalculatorResult result;

    Calculation(int64_t mode, Text a, Text b, Text c, Text d, Text x, Text z) {
        KalPowerAndLogarithmicFunction calculator(operation, output);
        result = calculator.calculate(a, "aTextField", b, "bTextField", c, "cTextField", d, "dTextField", x,
                                      "xTextField", z, "zTextField", mode);
    }
    // The lines of the numbered step whose title ends in `name` (the n-th such step).
    std::vector<std::string> lines(const std::string& name, int occurrence = 0) const {
        std::vector<std::string> found;
        bool inside = false;
        for (const auto& step : output.solutionSteps()) {
            const auto& title = step.at("title");
            if (!title.empty()) {
                inside = title.size() >= name.size() && title.compare(title.size() - name.size(), name.size(), name) == 0 &&
                         occurrence-- == 0;
            }
            if (inside) found.push_back(step.at("latexString"));
        }
        return found;
    }
};

struct FormulaCase {
    int64_t mode;
    Text a, b, c, d, x, z;
    std::string formula;
};

TEST(Calculator, FillsTheFormulaWithDefaultsAndThePoint) {
    ASSERT_TRUE(kEnglishTitles);
    const FormulaCase cases[] = {
        {0, "3", "-2", "4", "-1", "1/2", "5", "f(x) = 5 \\cdot \\log_{3}(-2 x + 4) + -1\\quad \\quad x=\\frac{1}{2}"},
        // Fields of brackets only are empty fields: defaults, and no point x.
        {0, "()", "(())", "()", ")(", "()", "()", "f(x) = 1 \\cdot \\log_{2}(1 x + 0) + 0"},
        {1, "(3)", "()", "", "", "(-1)", "", "f(x) = 1 \\cdot 3^{(1 x + 0)} + 0\\quad \\quad x=-1"},
        {7, "3", "", "", "", "", "", "3"},  // no template: the empty formula
    };
    for (const auto& c : cases) {
        Calculation run(c.mode, c.a, c.b, c.c, c.d, c.x, c.z);
        ASSERT_FALSE(run.result.errorKey) << c.formula << ": " << *run.result.errorKey;
        EXPECT_EQ(run.result.formulaLatex.value_or("none"), c.mode == 7 ? "" : c.formula);
    }
}

// Dividing by a negative b turns the relation round.
TEST(Calculator, DomainRelationFollowsTheSignOfB) {
    const std::tuple<Text, Text, std::string, std::string> cases[] = {
        {"-2", "4", "x < 2", "D = ]-\\infty, 2["}, {"2", "4", "x > -2", "D = ]-2, \\infty["},
        {"-1", "0", "D = ]-\\infty, 0[", "none"},
    };
    for (const auto& [b, c, relation, domain] : cases) {
        const Calculation run(0, "3", b, c, {}, {}, {});
        EXPECT_EQ(run.lines("Domain of definition").back(), relation);
        const auto second = run.lines("Domain of definition", 1);
        EXPECT_EQ(second.empty() ? "none" : second.back(), domain);
    }
}

// Near 1 a logarithm rests on digits the double does not hold: the typed
// decimal (or the fraction of whole numbers) is what is taken, so the value
// keeps every digit it shows, and shows no more than fifteen, which a double
// holds (true: 4.3429448188e-11, 6931471805.9460267, 10986122887.2304031).
TEST(Calculator, LogarithmNearOneKeepsTheDigitsItShows) {
    const struct {
        int64_t mode;
        Text a, d, x;
        const char* step;
        std::string last;
    } cases[] = {
        {0, "10", {}, "1.0000000001", "Calculate", "f(1.0000000001) =  4.342944819 \\cdot 10^{-11} "},
        {0, "1.0000000001", {}, "2", "Calculate", "f(2) =  6931471805.946027 "},
        {0, "10000000001/10000000000", {}, "2", "Calculate", "f(2) =  6931471805.946027 "},
        {1, "1.0000000001", "-3", {}, "Zero", " x  = 10986122887.230403"},
    };
    for (const auto& c : cases) {
        const Calculation run(c.mode, c.a, {}, {}, c.d, c.x, {});
        const auto lines = run.lines(c.step);
        ASSERT_FALSE(lines.empty()) << c.last;
        EXPECT_EQ(lines.back(), c.last);
    }
}

// Input errors and exercises that are no function with an inverse are
// refused before any step or chart, each with its own key and the field at
// fault marked; the first fault in the order a, b, z wins.
TEST(Calculator, RefusesInputErrorsAndParametersWithoutAnInverse) {
    const struct {
        Text a, b, z;
        const char* key;
        const char* field;
        Text x = "2";
    } cases[] = {
        {"2/0", {}, {}, "inputZeroInDenominator", "aTextField"},
        {{}, {}, {}, "fractionIncomplete", "xTextField", "3/"},
        {"0", {}, {}, "baseNotPositive", "aTextField"},
        {"-2", {}, {}, "baseNotPositive", "aTextField"},
        {"-\xCF\x80/2", {}, {}, "baseNotPositive", "aTextField"},
        {"1", {}, {}, "baseIsOne", "aTextField"},
        {"2.5/2.5", {}, {}, "baseIsOne", "aTextField"},
        {"\xCF\x80/\xCF\x80", {}, {}, "baseIsOne", "aTextField"},
        // Bases that every step would write 1.
        {"1.000000000001", {}, {}, "baseIsOne", "aTextField"},
        {"0.99999999999/1", {}, {}, "baseIsOne", "aTextField"},
        // Typed numbers the double would change.
        {{}, {}, {}, "inputNumberNotHeld", "xTextField", "4503599627370496.5"},
        {{}, "9007199254740993", {}, "inputNumberNotHeld", "bTextField"},
        {{}, "0", {}, "factorOfXIsZero", "bTextField"},
        {{}, "0e/3", {}, "factorOfXIsZero", "bTextField"},
        {{}, {}, "0", "factorIsZero", "zTextField"},
        {{}, {}, "-0/7", "factorIsZero", "zTextField"},
        {"1", "0", "0", "baseIsOne", "aTextField"},
        {{}, "0", "0", "factorOfXIsZero", "bTextField"},
    };
    for (const int64_t mode : {0, 1}) {
        for (const auto& c : cases) {
            const Calculation run(mode, c.a, c.b, {}, {}, c.x, c.z);
            EXPECT_EQ(run.result.errorKey.value_or("none"), c.key) << c.a.value_or("") << c.b.value_or("");
            EXPECT_EQ(run.result.faultyFieldIds, (std::vector<std::string>{c.field}));
            EXPECT_FALSE(run.result.solutionSteps || run.result.formulaLatex);
            EXPECT_TRUE(run.result.chartSteps.empty() && run.output.solutionSteps().empty());
        }
    }
    // Bases in (0, 1) and negative factors are functions with an inverse.
    for (const int64_t mode : {0, 1}) EXPECT_FALSE(Calculation(mode, "1/2", "-3", {}, {}, {}, "-e").result.errorKey);
}

TEST(Calculator, VariableInAFieldStopsTheStepsInsteadOfCrashing) {
    for (const int64_t mode : {0, 1}) {
        for (int field = 0; field < 6; ++field) {
            for (const char* variable : {"x", "-y", "2z", "x/2", "3/y"}) {
                Text texts[6] = {"3", "2", "1", "1", "2", "2"};
                texts[field] = variable;
                const Calculation run(mode, texts[0], texts[1], texts[2], texts[3], texts[4], texts[5]);
                // A variable alone reads as 1, a base that is refused.
                if (field == 0 && run.result.errorKey) continue;
                ASSERT_FALSE(run.result.errorKey) << variable;
                ASSERT_TRUE(run.result.solutionSteps);
                for (const auto& step : *run.result.solutionSteps) {
                    EXPECT_EQ(step.at("latexString").find(" ? "), std::string::npos)
                        << "a line written from a missing value: " << step.at("latexString");
                }
            }
        }
    }
}

}  // namespace
