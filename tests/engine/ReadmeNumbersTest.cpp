#include <gtest/gtest.h>
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/EnglishTitles.h"
#include "tests/support/TestPaths.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
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

struct ExerciseExample {
    const char* example;  // as the README states it
    int64_t mode;
    std::vector<std::string> abcdxz;
    const char* number;  // the number a line ends in
};
const ExerciseExample kExerciseExamples[] = {
    {"3^36 + 1 is 150094635296999122", 1, {"3", "", "36", "1", "", ""}, "150094635296999122"},
    {"(1/3)^-15 is 14348907", 1, {"1/3", "", "", "", "-15", ""}, "14348907"},
    {"8^(35/3) is 34359738368", 0, {"8", "", "88.42", "-5", "", "3/7"}, "34359738368"},
    {"20 - 2·0.25^26 is (20 - 4.440892099·10^{-16})",
     1,
     {"0.25", "", "26", "20", "", "-2"},
     "(20 - 4.440892099 \\cdot 10^{-16})"},
    {"-7·0.75^-119.4 is -5791395056057738", 1, {"0.75", "31.1", "5", "", "-4", "-7"}, "-5791395056057738"},
    {"2^80 + 1 is 1.20892582·10^{24}", 1, {"2", "", "80", "1", "", ""}, "1.20892582 \\cdot 10^{24}"},
    {"10^(x + 400) at 0 is \\infty", 1, {"10", "", "400", "", "", ""}, "\\infty"},
    {"log_10(9999999999999000) - 16 is -4.342944819·10^{-14}",
     0,
     {"10", "", "", "-16", "9999999999999000", ""},
     "(-4.342944819 \\cdot 10^{-14})"},
    {"log_10(9999999999999000) - 16 is -4.342944819·10^{-14}",
     1,
     {"10", "", "16", "-9999999999999000", "", ""},
     "(-4.342944819 \\cdot 10^{-14})"},
    {"log_2(9007199254740991) is (53 - 1.601713252·10^{-16})",
     1,
     {"", "", "53", "-9007199254740991", "", ""},
     "(53 - 1.601713252 \\cdot 10^{-16})"},
    {"log_2(1000) + 1234567890.12345 is 1234567900.0892343",
     0,
     {"", "", "", "1234567890.12345", "1000", ""},
     "1234567900.0892343"},
    {"-log_(1/2)(6.9x - 7) - 22 has x = 607871.1594202899",
     0,
     {"1/2", "6.9", "-7", "-22", "", "-1"},
     "607871.1594202899"},
    {"3^34 is 16677181699666569", 1, {"3", "", "34", "", "", ""}, "16677181699666569"},
    {"2^53 + 1 is 9007199254740993", 1, {"2", "", "53", "1", "", ""}, "9007199254740993"},
    {"10^17 + 1 is 100000000000000001", 1, {"10", "", "17", "1", "", ""}, "100000000000000001"},
    {"10^22 + 1 is 10000000000000000000001", 1, {"10", "", "22", "1", "", ""}, "10000000000000000000001"},
    {"3·7^20 + 0.5 is 239376798892836003.5", 1, {"7", "", "20", "0.5", "", "3"}, "239376798892836003.5"},
    {"2^-24 is 5.9604644775390625·10^{-8}",
     1,
     {"2", "", "-24", "", "", ""},
     "5.9604644775390625 \\cdot 10^{-8}"},
    {"0.5·4^-8 + 3 is 3.0000076294", 1, {"4", "", "-8", "3", "", "0.5"}, "3.0000076294"},
    {"250000·1.035^25 is 590811.2460667612", 1, {"1.035", "", "25", "", "", "250000"}, "590811.2460667612"},
    {"1.000001^0.000001 - 1 is 9.999995·10^{-13}",
     1,
     {"1.000001", "", "0.000001", "-1", "", ""},
     "9.999995 \\cdot 10^{-13}"},
    {"log_10(0.001) is -3", 0, {"10", "", "", "", "0.001", ""}, "(-3)"},
    {"log_2(1) is 0", 0, {"", "", "", "", "1", ""}, "0"},
    {"1234567890·log_10(0.001) + 0.1234567891 is -3703703669.8765432109",
     0,
     {"10", "", "", "0.1234567891", "0.001", "1234567890"},
     "(-3703703669.8765432109)"},
    {"log_2(3) + 1234567890123456 is 1234567890123457.6",
     0,
     {"", "", "", "1234567890123456", "3", ""},
     "1234567890123457.6"},
    {"its zero is x = -4.4998941736, as for log_0.75",
     0,
     {"3/4", "4", "18", "-27", "", ""},
     "(-4.4998941736)"},
    {"its zero is x = -4.4998941736, as for log_0.75",
     0,
     {"0.75", "4", "18", "-27", "", ""},
     "(-4.4998941736)"},
    {"log_(1/2)(x - 1) + 3 = 0 ends in x = 9", 0, {"1/2", "", "-1", "3", "", ""}, "9"},
    {"2·(100/3)^8 + 2 is 20000000000013122/6561",
     1,
     {"100/3", "", "8", "2", "", "2"},
     "\\frac{20000000000013122}{6561}"},
    {"9007199254740992 - 9007199254740991 is 1", 1, {"", "", "53", "-9007199254740991", "", ""}, "1"},
    {"z = 1000000/3, a = 100, b = -1/2, c = 1, d = 1/1000000 has the zero x = 2.763102112·10^{-11}",
     0,
     {"100", "-1/2", "1", "1/1000000", "", "1000000/3"},
     "2.763102112 \\cdot 10^{-11}"},
    {"100^(-3·10^-12) is 0.99999999998618449",
     0,
     {"100", "-1/2", "1", "1/1000000", "", "1000000/3"},
     "0.99999999998618449"},
};

// An exact number's text, as DecimalText writes it.
struct TextExample {
    const char* example;
    std::optional<std::string> (*text)();
    const char* written;
};
const TextExample kTextExamples[] = {
    {"10^-11 is 1·10^{-11}",
     [] {
         return DecimalText::exactText({1, -11});
     },
     "1 \\cdot 10^{-11}"},
    {"10^25 + 1 is 1·10^{25}",
     [] {
         return DecimalText::exactText({DecimalText::tenToThe(25) + 1, 0});
     },
     "1 \\cdot 10^{25}"},
    {"31534.098 : 2.3 is 13710.4773913043",
     [] {
         return DecimalText::quotientText({31534098, -3}, {23, -1});
     },
     "13710.4773913043"},
    {"100000000.1 : 7 is 14285714.3",
     [] {
         return DecimalText::quotientText({1000000001, -1}, {7, 0});
     },
     "14285714.3"},
    {"100000000.1 : 1.1 is 90909091",
     [] {
         return DecimalText::quotientText({1000000001, -1}, {11, -1});
     },
     "90909091"},
    {"1 : 1.5·10^-12 is 666666666666.66667",
     [] {
         return DecimalText::quotientText({1, 0}, {15, -13});
     },
     "666666666666.66667"},
};

}  // namespace

// Every number example the README gives, as it gives it, against what the
// program writes: an exercise's line, or the text of an exact number.
TEST(ReadmeNumbers, EveryExampleIsWhatTheProgramWrites) {
    ASSERT_TRUE(kEnglishTitles);
    const std::string readme = calvaro::test::flatSourceText("README.md");
    for (const auto& row : kExerciseExamples) {
        EXPECT_NE(readme.find(row.example), std::string::npos)
            << "the README no longer says: " << row.example;
        const CalculatorRun run(row.mode, row.abcdxz);
        EXPECT_FALSE(run.result.errorKey) << row.example;
        EXPECT_TRUE(endsInNumber(run, row.number)) << row.example << "; its lines end in:" << lineEnds(run);
    }
    for (const auto& row : kTextExamples) {
        EXPECT_NE(readme.find(row.example), std::string::npos)
            << "the README no longer says: " << row.example;
        EXPECT_EQ(row.text().value_or("none"), row.written) << row.example;
    }
}

namespace {

// A number as the README writes it: digits with thousands separators, a
// decimal part and an exponent (16,384, 0.25, 2.2e-308). Digits right after
// a letter or an underscore belong to a name (int64, MD5, log_2), not a
// number.
struct ReadmeNumber {
    size_t at;
    std::string text;
};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::vector<ReadmeNumber> numbersIn(const std::string& text) {
    std::vector<ReadmeNumber> numbers;
    for (size_t i = 0; i < text.size();) {
        const char before = i > 0 ? text[i - 1] : ' ';
        if (!isDigit(text[i])) {
            ++i;
            continue;
        }
        if (std::isalpha(static_cast<unsigned char>(before)) || before == '_') {
            while (i < text.size() && isDigit(text[i])) ++i;
            continue;
        }
        size_t end = i;
        for (;;) {
            const auto digitAt = [&](size_t k) { return k < text.size() && isDigit(text[k]); };
            if (digitAt(end)) {
                ++end;
            } else if (text[end] == ',' && digitAt(end + 1) && digitAt(end + 2) && digitAt(end + 3) &&
                       !digitAt(end + 4)) {
                end += 4;
            } else if (text[end] == '.' && digitAt(end + 1)) {
                ++end;
            } else if ((text[end] == 'e' || text[end] == 'E') &&
                       (digitAt(end + 1) ||
                        ((text[end + 1] == '-' || text[end + 1] == '+') && digitAt(end + 2)))) {
                end += digitAt(end + 1) ? 1 : 2;
            } else {
                break;
            }
        }
        numbers.push_back({i, text.substr(i, end - i)});
        i = end;
    }
    return numbers;
}

// The value a row states, in bytes, seconds or a count: "2 MiB", "1,048,576",
// "0.25 s", "2^27", "2^63 - 1".
long double statedValue(const std::string& value) {
    std::string plain;
    for (const char c : value)
        if (c != ',') plain += c;
    std::istringstream in(plain);
    long double number = 0;
    in >> number;
    std::string rest;
    std::getline(in, rest);
    rest.erase(0, rest.find_first_not_of(' '));
    if (rest.rfind('^', 0) == 0) {
        std::istringstream power(rest.substr(1));
        long double exponent = 0;
        power >> exponent;
        number = std::pow(number, exponent);
        std::string sign;
        long double term = 0;
        if (power >> sign >> term) number += sign == "-" ? -term : term;
        return number;
    }
    const struct {
        const char* unit;
        long double factor;
    } units[] = {{"KiB", 1024.0L}, {"MiB", 1024.0L * 1024}, {"GiB", 1024.0L * 1024 * 1024},
                 {"ms", 1e-3L},    {"µs", 1e-6L},           {"s", 1},
                 {"minutes", 60},  {"hours", 3600},         {"h", 3600},
                 {"bytes", 1},     {"levels", 1},           {"values", 1}};
    for (const auto& unit : units)
        if (rest.rfind(unit.unit, 0) == 0) return number * unit.factor;
    return number;
}

std::string sourceFile(const std::string& relative) {
    std::ifstream file(calvaro::test::sourcePath(relative));
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The README's paragraphs, list items and tables (a table with the paragraph
// that introduces it), each flattened as the README's text is: where a
// measured figure must name the program that measured it.
std::vector<std::string> readmeBlocks() {
    std::istringstream in(sourceFile("README.md"));
    std::vector<std::string> blocks(1);
    bool inTable = false;
    for (std::string line; std::getline(in, line);) {
        const bool blank = line.find_first_not_of(' ') == std::string::npos;
        const bool item = line.rfind("- ", 0) == 0 || line.rfind("#", 0) == 0;
        const bool tableLine =
            line.find_first_not_of(' ') != std::string::npos && line[line.find_first_not_of(' ')] == '|';
        if ((blank && !blocks.back().empty()) || item || (inTable && !tableLine)) blocks.emplace_back();
        inTable = tableLine;
        if (blank) continue;
        for (const char c : line + " ") {
            const bool space = c == ' ';
            if (space && (blocks.back().empty() || blocks.back().back() == ' ')) continue;
            blocks.back().push_back(c);
        }
    }
    // A table belongs to the paragraph above it.
    for (size_t i = blocks.size(); i-- > 1;) {
        if (blocks[i].rfind("|", 0) == 0) {
            blocks[i - 1] += blocks[i];
            blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    return blocks;
}

// Where the README departs from a row's text: the longest start of it the
// README still says, and what follows there.
std::string departure(const std::string& readme, const std::string& context) {
    size_t said = 0;
    for (size_t high = context.size(); said < high;) {
        const size_t middle = (said + high + 1) / 2;
        if (readme.find(context.substr(0, middle)) != std::string::npos) {
            said = middle;
        } else {
            high = middle - 1;
        }
    }
    const size_t at = readme.find(context.substr(0, said));
    const size_t from = said < 30 ? 0 : said - 30;
    return "after \"" + context.substr(from, said - from) + "\" the row has \"" + context.substr(said, 30) +
           "\", the README \"" + readme.substr(at + said, 30) + "\"";
}

}  // namespace

#include "tests/engine/ReadmeNumberRows.h"

// Every number the README states is accounted for by one of the rows: a
// bound is the code's constant, an example is what the program writes (the
// tables above), a measured figure stands where the README names the program
// that measured it, and any other number is listed with the reason it is not
// checked. A number none of them accounts for fails, named with its place.
TEST(ReadmeNumbers, EveryNumberIsAccountedFor) {
    const std::string readme = calvaro::test::flatSourceText("README.md");
    const std::vector<ReadmeNumber> numbers = numbersIn(readme);
    std::vector<bool> covered(numbers.size());
    const auto cover = [&](size_t from, size_t length) {
        for (size_t i = 0; i < numbers.size(); ++i)
            if (numbers[i].at >= from && numbers[i].at < from + length) covered[i] = true;
    };
    for (const auto& row : kExerciseExamples)
        if (const size_t at = readme.find(row.example); at != std::string::npos)
            cover(at, strlen(row.example));
    for (const auto& row : kTextExamples)
        if (const size_t at = readme.find(row.example); at != std::string::npos)
            cover(at, strlen(row.example));

    const std::vector<std::string> blocks = readmeBlocks();
    for (const ReadmeRow& row : readme_rows::readmeRows()) {
        const std::string context = row.context;
        SCOPED_TRACE("README: \"" + (context.size() > 100 ? context.substr(0, 100) + "..." : context) +
                     "\", " + row.value);
        const size_t at = readme.find(context);
        if (at == std::string::npos) {
            ADD_FAILURE() << "the README no longer says it: " << departure(readme, context);
            continue;
        }
        EXPECT_EQ(readme.find(context, at + 1), std::string::npos) << "the README says it twice";
        const size_t valueAt = context.find(row.value);
        if (valueAt == std::string::npos) {
            ADD_FAILURE() << "the row's value is not in its text";
            continue;
        }
        cover(at + valueAt, *row.value ? strlen(row.value) : strlen(row.context));
        switch (row.kind) {
            case ReadmeRow::kConstant: {
                // "about 48 MiB" holds the constant rounded to the digits shown.
                const std::string value = row.value;
                const bool about = value.rfind("about ", 0) == 0;
                const std::string figure = about ? value.substr(6) : value;
                const long double stated = statedValue(figure);
                long double tolerance = 1e-9L * std::fabs(row.constant);
                if (about) {
                    const std::string number = numbersIn(figure).front().text;
                    const size_t point = number.find('.');
                    const long double digit =
                        std::pow(10.0L, -static_cast<long double>(
                                            point == std::string::npos ? 0 : number.size() - point - 1));
                    tolerance = 0.5L * digit * statedValue("1" + figure.substr(number.size()));
                }
                EXPECT_LE(std::fabs(stated - row.constant), tolerance)
                    << "the code's constant is " << static_cast<double>(row.constant) << ", the README says "
                    << static_cast<double>(stated);
                break;
            }
            case ReadmeRow::kInSource: {
                const std::string file = sourceFile(row.where);
                EXPECT_NE(file.find(row.what), std::string::npos)
                    << row.where << " does not hold: " << row.what;
                // The README's figures are ones the code's text writes (1.5,
                // 10'000), or its figure in its unit is (30 minutes, 1800).
                const auto plain = [](const std::string& text, char separator) {
                    std::string kept;
                    for (const char c : text)
                        if (c != separator) kept += c;
                    return kept;
                };
                std::vector<long double> written;
                for (const auto& number : numbersIn(plain(row.what, '\'')))
                    written.push_back(std::stold(number.text));
                const auto writes = [&](long double figure) {
                    return std::any_of(written.begin(), written.end(), [&](long double number) {
                        return std::fabs(number - figure) <= 1e-12L * std::fabs(figure);
                    });
                };
                const std::vector<ReadmeNumber> stated = numbersIn(plain(row.value, ','));
                bool every = !stated.empty();
                for (const auto& number : stated) every = every && writes(std::stold(number.text));
                EXPECT_TRUE(every || writes(statedValue(row.value)))
                    << row.what << " does not hold the README's figure " << row.value;
                break;
            }
            case ReadmeRow::kMeasured: {
                EXPECT_TRUE(std::filesystem::exists(calvaro::test::sourcePath(row.where)))
                    << "the measuring program " << row.where << " is not there";
                bool named = false;
                for (const auto& block : blocks)
                    if (block.find(row.context) != std::string::npos)
                        named = block.find(row.what) != std::string::npos;
                EXPECT_TRUE(named) << "a measured figure's paragraph names its program: " << row.what;
                break;
            }
            case ReadmeRow::kOther:
                break;
        }
    }
    std::string unaccounted;
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (covered[i]) continue;
        const size_t from = numbers[i].at < 40 ? 0 : numbers[i].at - 40;
        unaccounted += "\n  " + numbers[i].text + " in \"" + readme.substr(from, 80) + "\"";
    }
    EXPECT_TRUE(unaccounted.empty()) << "numbers the README states that no row accounts for:" << unaccounted;
}
