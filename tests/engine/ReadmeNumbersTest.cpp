#include <gtest/gtest.h>
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/EnglishTitles.h"
#include "tests/support/TestPaths.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Calvaro/engine/DecimalText.h"

namespace {

// Whether a line of the solution ends, after its last " = ", in `number`.
bool endsInNumber(const CalculatorRun& run, const std::string& number) {
    for (const auto& step : run.output.solutionSteps()) {
        std::string line = step.at("latexString");
        line.erase(line.find_last_not_of(' ') + 1);
        const size_t equals = line.rfind(" = ");
        if (equals == std::string::npos) continue;
        const size_t from = line.find_first_not_of(' ', equals + 3);
        if (from != std::string::npos && line.substr(from) == number) return true;
    }
    return false;
}

// What the solution's lines end in after their last " = ", for a failure's
// message.
std::string lineEnds(const CalculatorRun& run) {
    std::string ends;
    for (const auto& step : run.output.solutionSteps()) {
        const std::string line = step.at("latexString");
        const size_t equals = line.rfind(" = ");
        if (equals != std::string::npos) ends += "\n  " + line.substr(equals + 3);
    }
    return ends;
}

}  // namespace

// Every number example the README gives, as it gives it, against what the
// program writes: an exercise's line, or the text of an exact number.
TEST(ReadmeNumbers, EveryExampleIsWhatTheProgramWrites) {
    ASSERT_TRUE(kEnglishTitles);
    const std::string readme = calvaro::test::flatSourceText("README.md");
    const struct {
        const char* example;  // as the README states it
        int64_t mode;
        std::vector<std::string> abcdxz;
        const char* number;  // the number a line ends in
    } exercises[] = {
        {"3^36 + 1 is 150094635296999122", 1, {"3", "", "36", "1", "", ""}, "150094635296999122"},
        {"(1/3)^-15 is 14348907", 1, {"1/3", "", "", "", "-15", ""}, "14348907"},
        {"8^(35/3) is 34359738368", 0, {"8", "", "88.42", "-5", "", "3/7"}, "34359738368"},
        {"20 - 2·0.25^26 is (20 - 4.440892099·10^{-16})", 1, {"0.25", "", "26", "20", "", "-2"},
         "(20 - 4.440892099 \\cdot 10^{-16})"},
        {"-7·0.75^-119.4 is -5791395056057738", 1, {"0.75", "31.1", "5", "", "-4", "-7"}, "-5791395056057738"},
        {"2^80 + 1 is 1.20892582·10^{24}", 1, {"2", "", "80", "1", "", ""}, "1.20892582 \\cdot 10^{24}"},
        {"10^(x + 400) at 0 is \\infty", 1, {"10", "", "400", "", "", ""}, "\\infty"},
        {"log_10(9999999999999000) - 16 is -4.342944819·10^{-14}", 0, {"10", "", "", "-16", "9999999999999000", ""},
         "(-4.342944819 \\cdot 10^{-14})"},
        {"log_10(9999999999999000) - 16 is -4.342944819·10^{-14}", 1, {"10", "", "16", "-9999999999999000", "", ""},
         "(-4.342944819 \\cdot 10^{-14})"},
        {"log_2(9007199254740991) is (53 - 1.601713252·10^{-16})", 1, {"", "", "53", "-9007199254740991", "", ""},
         "(53 - 1.601713252 \\cdot 10^{-16})"},
        {"log_2(1000) + 1234567890.12345 is 1234567900.0892343", 0, {"", "", "", "1234567890.12345", "1000", ""},
         "1234567900.0892343"},
        {"-log_(1/2)(6.9x - 7) - 22 has x = 607871.1594202899", 0, {"1/2", "6.9", "-7", "-22", "", "-1"},
         "607871.1594202899"},
        {"3^34 is 16677181699666569", 1, {"3", "", "34", "", "", ""}, "16677181699666569"},
        {"2^53 + 1 is 9007199254740993", 1, {"2", "", "53", "1", "", ""}, "9007199254740993"},
        {"10^17 + 1 is 100000000000000001", 1, {"10", "", "17", "1", "", ""}, "100000000000000001"},
        {"10^22 + 1 is 10000000000000000000001", 1, {"10", "", "22", "1", "", ""}, "10000000000000000000001"},
        {"3·7^20 + 0.5 is 239376798892836003.5", 1, {"7", "", "20", "0.5", "", "3"}, "239376798892836003.5"},
        {"2^-24 is 5.9604644775390625·10^{-8}", 1, {"2", "", "-24", "", "", ""},
         "5.9604644775390625 \\cdot 10^{-8}"},
        {"0.5·4^-8 + 3 is 3.0000076294", 1, {"4", "", "-8", "3", "", "0.5"}, "3.0000076294"},
        {"250000·1.035^25 is 590811.2460667612", 1, {"1.035", "", "25", "", "", "250000"}, "590811.2460667612"},
        {"1.000001^0.000001 - 1 is 9.999995·10^{-13}", 1, {"1.000001", "", "0.000001", "-1", "", ""},
         "9.999995 \\cdot 10^{-13}"},
        {"log_10(0.001) is -3", 0, {"10", "", "", "", "0.001", ""}, "(-3)"},
        {"1234567890·log_10(0.001) + 0.1234567891 is -3703703669.8765432109", 0,
         {"10", "", "", "0.1234567891", "0.001", "1234567890"}, "(-3703703669.8765432109)"},
        {"log_2(3) + 1234567890123456 is 1234567890123457.6", 0, {"", "", "", "1234567890123456", "3", ""},
         "1234567890123457.6"},
        {"its zero is x = -4.4998941736, as for log_0.75", 0, {"3/4", "4", "18", "-27", "", ""}, "(-4.4998941736)"},
        {"its zero is x = -4.4998941736, as for log_0.75", 0, {"0.75", "4", "18", "-27", "", ""}, "(-4.4998941736)"},
        {"log_(1/2)(x - 1) + 3 = 0 ends in x = 9", 0, {"1/2", "", "-1", "3", "", ""}, "9"},
    };
    for (const auto& row : exercises) {
        EXPECT_NE(readme.find(row.example), std::string::npos) << "the README no longer says: " << row.example;
        const CalculatorRun run(row.mode, row.abcdxz);
        EXPECT_FALSE(run.result.errorKey) << row.example;
        EXPECT_TRUE(endsInNumber(run, row.number)) << row.example << "; its lines end in:" << lineEnds(run);
    }
    const struct {
        const char* example;
        std::optional<std::string> text;
        const char* written;
    } texts[] = {
        {"10^-11 is 1·10^{-11}", DecimalText::exactText({1, -11}), "1 \\cdot 10^{-11}"},
        {"10^25 + 1 is 1·10^{25}", DecimalText::exactText({DecimalText::tenToThe(25) + 1, 0}), "1 \\cdot 10^{25}"},
        {"31534.098 : 2.3 is 13710.4773913043", DecimalText::quotientText({31534098, -3}, {23, -1}),
         "13710.4773913043"},
        {"100000000.1 : 7 is 14285714.3", DecimalText::quotientText({1000000001, -1}, {7, 0}), "14285714.3"},
        {"100000000.1 : 1.1 is 90909091", DecimalText::quotientText({1000000001, -1}, {11, -1}), "90909091"},
        {"1 : 1.5·10^-12 is 666666666666.66667", DecimalText::quotientText({1, 0}, {15, -13}),
         "666666666666.66667"},
    };
    for (const auto& row : texts) {
        EXPECT_NE(readme.find(row.example), std::string::npos) << "the README no longer says: " << row.example;
        EXPECT_EQ(row.text.value_or("none"), row.written) << row.example;
    }
}
