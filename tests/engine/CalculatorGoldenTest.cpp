#include <gtest/gtest.h>
#include "tests/engine/EnglishTitles.h"
#include "tests/support/TestPaths.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/engine/dump/CalculatorJson.h"

// Whole solutions against reviewed golden files: the filled formula, every
// step line and the chart description. Run with CALVARO_UPDATE_GOLDEN=1 to
// rewrite the files after a deliberate change, then review the diff.

namespace {


struct GoldenCase {
    const char* name;
    CalculatorCase exercise;
};

const GoldenCase kCases[] = {
    {"log_default", {0, {}}}, {"log_default_with_x", {0, {{}, {}, {}, {}, "4", {}}}}, {"exp_default", {1, {}}},
    {"exp_default_with_x", {1, {{}, {}, {}, {}, "3", {}}}},
    {"log_fractions", {0, {"3/4", "2/4", "2.5/3", "1", "5", "2"}}},
    {"log_negative_b", {0, {"3", "-2", "4", "-1", "", "1"}}}, {"log_pi", {0, {"π", "2", "π", "0", "π", "-1"}}},
    {"log_e", {0, {"e", "-e", "3", "2e", "", "1/2"}}}, {"log_b_zero", {0, {"2", "0", "8", "1", "", "3"}}},
    {"log_decimals", {0, {"2.5", "1.5/2", "-0.5", "1.2345678/2", "-1", "-3"}}},
    // b·x = 10^-12 at x: the value line keeps it, not a logarithm of 0.
    {"log_tiny_product", {0, {"1/2", "1/1000000", "", "100.01", "0.000001", "3/4"}}},
    {"exp_fractions", {1, {"1/2", "3/4", "-1/3", "2", "2", "3/2"}}},
    {"exp_negative_b", {1, {"3", "-1", "2", "-4", "-1", "2"}}}, {"exp_pi", {1, {"π", "2", "0", "1", "", "-1"}}},
    {"exp_e", {1, {"e", "1/2", "e", "-3", "2", "4"}}}, {"exp_b_zero", {1, {"5", "0", "2", "1", "", "2"}}},
    {"exp_brackets_and_signs", {1, {"(2)", "3/-4", "()", "(-2)", "1", "-1/2"}}},
    {"log_variable_in_field", {0, {"2", "x", "1", "", "", ""}}},
    // Powers whose parts leave the double range, parts too small for ten
    // decimals, a base with a constant, constants before a letter.
    {"exp_power_beyond_range", {1, {"2/3", "", "-2000", "5", "2000", ""}}},
    {"log_power_below_range", {0, {"1/2", "", "-1", "-2000", "", ""}}},
    {"exp_small_parts", {1, {"3/4", "1.5e/2", "2/3", "1", "-8", ""}}},
    {"exp_base_with_constant", {1, {"2π", "", "", "", "2", ""}}},
    {"log_constants_everywhere", {0, {"7/3", "2/3", "-7/8", "65536", "", "1.5π/2"}}},
    {"exp_reciprocal_pi", {1, {"", "", "", "", "", "1/π"}}},
    // Typed numbers of 13 and 20 digits and of a 1 at the twelfth decimal:
    // each written as typed, never as infinity or 0, nor divided by them (the
    // long ones end in zeros: with other digits there the double could not
    // give them back, and they are refused).
    {"log_thirteen_digit_b", {0, {"2", "9999999999999", "", "", "", ""}}},
    {"exp_twenty_digit_base", {1, {"12345678901234567000", "", "", "", "", ""}}},
    {"log_tiny_b", {0, {"2", "0.000000000001", "", "", "", ""}}},
    {"exp_tiny_b", {1, {"3", "0.000000000001", "", "", "", ""}}},
    {"log_large_z_tiny_x", {0, {"3", "2", "", "", "0.000000000001", "9999999999999"}}},
    // A zero whose floating-point logarithm leaves residue (3 - 3 reads
    // 4.4e-16): ten fraction digits make it 0. A finite power far beyond
    // seventeen digits, and one far below 1e-10, are m·10^{k}.
    {"exp_power_of_ten_zero", {1, {"10", "", "3", "-1000", "", ""}}},
    {"exp_power_of_three_zero", {1, {"3", "", "5", "-243", "", ""}}},
    {"exp_huge_value", {1, {"2", "", "", "7", "1000", "3"}}},
    {"exp_tiny_value", {1, {"0.5", "", "", "2", "1000", "-3"}}},
    {"log_huge_b", {0, {"2", "123456789012345690000000", "-5", "", "", ""}}},
    // Zeros and values below 1e-10 that are no residue: 10^{-11}, 2^{-40}
    // and 10^{-12}·log_{10}(10) keep their own writing, never 0.
    {"log_zero_ten_to_minus_eleven", {0, {"10", "", "", "11", "", ""}}},
    {"log_zero_two_to_minus_forty", {0, {"2", "", "", "40", "", ""}}},
    {"log_tiny_value_at_x", {0, {"10", "", "", "", "10", "1/1000000000000"}}},
    // Typed digits past the tenth decimal: the number is taken as written,
    // so log_{10}(1) is 0, a base written 1 is refused, and the logarithm is
    // that of the 0.0000000002 shown.
    {"log_point_past_ten_decimals", {0, {"10", "", "", "", "1.000000000001", ""}}},
    {"log_base_past_ten_decimals", {0, {"1.000000000001", "", "", "", "2", ""}}},
    {"log_point_rounded_at_ten_decimals", {0, {"10", "", "", "", "0.00000000015", ""}}},
    // Whole numbers beyond 2^53 keep their exact difference.
    {"exp_large_whole_intercept", {1, {"10", "", "16", "-9999999999999000", "", ""}}},
    // Exact sums below 2^53 and of ten decimals: f(0) = 2^{52} - (2^{52} - 1)
    // is 1, and x - 1000 at 1000.0000000001 is 10^{-10}, whose logarithm is -10.
    {"exp_whole_intercept_below_two_to_53", {1, {"2", "", "52", "-4503599627370495", "", ""}}},
    {"log_point_just_past_thousand", {0, {"10", "", "-1000", "", "1000.0000000001", ""}}},
    // ... and at every magnitude: x - 10^{9} at 1000000000.001 is 0.001 (its
    // double is 1000000000.0010000467), x - 500000 at 500000.0000000001 is
    // 10^{-10}, not the rounding residue 0.
    {"log_point_past_a_billion", {0, {"10", "", "-1000000000", "", "1000000000.001", ""}}},
    {"log_point_past_half_a_million", {0, {"10", "", "-500000", "", "500000.0000000001", ""}}},
    // Products too: -3 · 333333333.667 is -1000000001.001, so f is 0 at the
    // zero the steps name; 3 · 1000000000000000.1 is 3000000000000000.3, which
    // no double gives back: refused. Typed wholes from 2^{53} on differ by 1,
    // and a typed 100000000000000100000 reads apart from 10^{20}.
    {"exp_zero_of_a_typed_product", {1, {"0.5", "-3", "1000000000.001", "4", "333333333.667", "-2"}}},
    {"exp_product_past_ten_to_fifteen", {1, {"", "3", "-3000000000000000", "", "1000000000000000.1", ""}}},
    {"exp_intercept_at_two_to_53", {1, {"", "", "53", "-9007199254740991", "", ""}}},
    {"log_point_at_two_to_53", {0, {"", "", "-9007199254740991", "", "9007199254740992", ""}}},
    {"log_point_past_ten_to_twenty", {0, {"", "", "-100000000000000000000", "", "100000000000000100000", ""}}},
    // Past the tenth decimal a half goes away from zero (the base is
    // 1.0000000001, no base of 1), and an exponent counts: 1.000000001E-2 is 0.01.
    {"log_base_half_at_eleventh_decimal", {0, {"1.00000000005", "", "", "", "2", ""}}},
    {"log_point_with_exponent", {0, {"10", "", "", "", "1.000000001E-2", ""}}},
    // Powers of bases near 1: (1 + 10^{-10})^{10^{10}} and (1 - 10^{-10})^{10^{10}}.
    {"exp_base_just_above_one", {1, {"1.0000000001", "", "", "", "10000000000", ""}}},
    {"exp_base_just_below_one", {1, {"0.9999999999", "", "", "", "10000000000", ""}}},
    // Quotients of exact numbers rounded once to the digits shown: the zero
    // 100000000.1 : 1.1 is 90909091, where f is log_{2}(1) = 0; and after the
    // exact logarithm log_{2}(2) = 1 of the exponential form.
    {"log_zero_exact_quotient", {0, {"", "1.1", "-99999999.1", "", "90909091", ""}}},
    {"exp_zero_after_exact_logarithm", {1, {"", "1.1", "-99999999.1", "-2", "", ""}}},
    // Exact results written with every digit the next line uses: 1 + 10^{-11}
    // is no 1 beside W = ]1, \infty[, 1 + 1.23456789·10^{-11} no 1 before its
    // logarithm; whole powers past 2^{53} exact (3^{34}).
    {"exp_intercept_ten_to_minus_eleven", {1, {"10", "", "-11", "1", "", ""}}},
    {"log_value_past_ten_decimals", {0, {"", "", "0.000000000012345678901234", "", "1", ""}}},
    {"exp_power_three_to_34", {1, {"3", "", "34", "", "", ""}}},
    // A sum of a power from 2^{53} on and a typed 1 no double holds: refused.
    {"exp_intercept_past_two_to_53", {1, {"", "", "53", "1", "", ""}}},
    // No more digits than a double holds: log_{2}(1000) + 1234567890.12345,
    // and the coefficients of an inverse with a tiny z.
    {"log_value_of_fifteen_digits", {0, {"", "", "", "1234567890.12345", "1000", ""}}},
    {"log_tiny_z", {0, {"", "", "", "1", "", "0.0000000000015"}}},
    // Results past a double's digits that a line writes truly: ten decimals
    // of an exact sum, exact fractions, a computed value to ten decimals,
    // a sum past 2^{53} with every digit, 2^{-24} within 24 characters, a
    // quotient of decimals as its value, an exact logarithm's sum.
    {"exp_intercept_ten_decimals_of_exact", {1, {"4", "", "-8", "3", "2", "0.5"}}},
    {"exp_intercept_fraction_past_two_to_53", {1, {"100/3", "", "8", "2", "", "2"}}},
    {"exp_intercept_fraction_of_decimals", {1, {"1/1000", "", "5", "0.5", "", "0.125"}}},
    {"exp_compound_interest", {1, {"1.035", "", "25", "", "", "250000"}}},
    {"log_intercept_past_a_quadrillion", {0, {"2", "", "3", "1234567890123456", "", ""}}},
    {"exp_intercept_two_to_53_plus_one", {1, {"", "", "53", "1", "", ""}}},
    {"exp_intercept_ten_to_17_plus_one", {1, {"10", "", "17", "1", "", ""}}},
    {"exp_two_to_minus_24", {1, {"2", "-1", "-10", "", "14", ""}}},
    {"log_zero_of_half_base", {0, {"1/2", "1", "-1", "3", "", "1"}}},
    {"log_exact_logarithm_meets_long_number", {0, {"10", "", "", "0.1234567891", "0.001", "1234567890"}}},
    // Fractional bases typed as fractions whose powers meet a denominator no
    // double holds; a power past 17 digits and the sum it meets; a zero
    // whose power lies near 1.
    {"log_base_three_quarters", {0, {"3/4", "4", "18", "-27", "6", ""}}},
    {"log_base_fraction_of_decimals", {0, {"2.5/3", "-0.333", "0.5", "-5", "", "0.25"}}},
    {"exp_intercept_three_to_36_plus_one", {1, {"3", "", "36", "1", "", ""}}},
    {"log_zero_near_zero", {0, {"100", "-1/2", "1", "1/1000000", "", "1000000/3"}}},
    // Whole values read whole: negative powers of a third, a power with a
    // fractional exponent that is a whole number (8^{35/3} is 2^{35}); a sum
    // a hair below 20 shows its digits; a logarithm a hair below 16 keeps
    // its rest in the logarithmic form as in the exponential one.
    {"exp_negative_powers_of_a_third", {1, {"1/3", "", "-27", "23", "-15", ""}}},
    {"log_base_eight_whole_power", {0, {"8", "", "88.42", "-5", "", "3/7"}}},
    {"exp_sum_just_below_twenty", {1, {"0.25", "", "26", "20", "", "-2"}}},
    {"log_value_just_below_sixteen", {0, {"10", "", "", "-16", "9999999999999000", ""}}},
};

std::string quoted(const nlohmann::json& json, const char* key) {
    return json.contains(key) ? "\"" + json[key].get<std::string>() + "\"" : "-";
}

std::string number(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.10g", value);
    return buffer;
}

constexpr size_t kLongSeries = 1000;
constexpr size_t kSeriesEnds = 50;

// A readable rendering of everything one calculation produced.
std::string render(const nlohmann::json& result) {
    std::ostringstream out;
    out << "exercise: mode " << result["mode"].get<int64_t>();
    for (const char* key : {"a", "b", "c", "d", "x", "z"}) out << ", " << key << " " << quoted(result, key);
    out << "\n";
    if (result.contains("errorKey")) out << "error: " << result["errorKey"].get<std::string>() << "\n";
    if (result.contains("formulaLatex")) out << "formula: " << result["formulaLatex"].get<std::string>() << "\n";
    if (result.contains("solutionSteps")) {
        for (const auto& step : result["solutionSteps"]) {
            const auto title = step["title"].get<std::string>();
            if (!title.empty()) out << "\nstep: " << title << "\n";
            out << "latex: " << step["latexString"].get<std::string>() << "\n";
        }
    }
    int row = 0;
    for (const auto& chart : result["chartSteps"]) {
        ++row;
        int index = 0;
        for (const auto& series : chart) {
            ++index;
            out << "\nchart " << row << " series " << index << ": title \""
                << series["chartTitle"].get<std::string>() << "\", name \"" << series["dataName"].get<std::string>()
                << "\", colour " << series["chartColorHexCode"].get<std::string>() << ", frame ratio "
                << number(series["frameRatio"].get<double>()) << ", length "
                << (series["lengthOfGraph"].is_null() ? "-" : number(series["lengthOfGraph"].get<double>())) << ", "
                << series["dataSet"].size() << " points\n";
            // A long series shows its ends point by point and its middle by
            // count and sums, so that a reviewed file stays readable.
            const auto& points = series["dataSet"];
            const size_t count = points.size();
            const size_t shown = count > kLongSeries ? kSeriesEnds : count;
            for (size_t i = 0; i < count; ++i) {
                const double x = points[i][0].get<double>(), y = points[i][1].get<double>();
                if (i < shown || i >= count - shown) {
                    out << "  " << number(x) << " " << number(y) << "\n";
                    continue;
                }
                double sumX = 0, sumY = 0;
                for (size_t j = i; j < count - shown; ++j) {
                    sumX += points[j][0].get<double>();
                    sumY += points[j][1].get<double>();
                }
                out << "  ... " << count - 2 * shown << " points, sum of x " << number(sumX) << ", sum of y "
                    << number(sumY) << "\n";
                i = count - shown - 1;
            }
        }
    }
    return out.str();
}

class CalculatorGolden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(CalculatorGolden, MatchesReviewedSolution) {
    ASSERT_TRUE(kEnglishTitles);
    const GoldenCase& golden = GetParam();
    const std::string actual = render(runCalculatorCase(golden.exercise));
    const auto path = std::filesystem::path(CALVARO_GOLDEN_DIR) / "engine" / ("calculator_" + std::string(golden.name) + ".txt");
    const char* update = std::getenv("CALVARO_UPDATE_GOLDEN");
    if (update && std::string(update) == "1") {
        std::ofstream(path, std::ios::binary) << actual;
        GTEST_SKIP() << "rewrote " << path;
    }
    std::ifstream file(path, std::ios::binary);
    ASSERT_TRUE(file) << "missing golden file " << path;
    const std::string expected((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(actual, expected) << "differs from " << path;
}

INSTANTIATE_TEST_SUITE_P(Exercises, CalculatorGolden, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<GoldenCase>& info) { return std::string(info.param.name); });

}  // namespace
