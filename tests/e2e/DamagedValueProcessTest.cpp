// A preferences file as Calvaro writes it (the collection switched off, the
// consent, the tour and rating marks, the consent platform's values and 200
// exercises) with one value damaged, nested past the readers' bound or past
// its key's bound: one start of `calvaro` solving an exercise keeps
// everything else, the switch staying off from the start.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/PropertyList.h"
#include "tests/e2e/UserValues.h"

namespace {

using foundation::Value;

std::string damagedValueFormula(size_t i) {
    return "f_{" + std::to_string(i) + "} = 1 \\cdot \\log_{2}(x)";
}

// The file as Calvaro's writer writes it, built once for the binary.
const std::string& damagedValueFile() {
    static const std::string file = [] {
        Value::List history;
        for (size_t i = 0; i < 200; ++i)
            history.push_back(Value(Value::Dictionary{
                {"inputParameters", Value(Value::Dictionary{{"aTextField", Value("2")}, {"bTextField", Value("1")}})},
                {"latexString", Value(damagedValueFormula(i))},
                {"setupParameter",
                 Value(Value::Dictionary{{"appKey", Value("CLV")}, {"inputCalculationSelection", Value(0)}})},
                {"solutionSteps", Value(Value::List{})}}));
        const Value root(Value::Dictionary{{"isDsgvoAccepted", Value(true)},
                                           {"isOnboardingFinished", Value(true)},
                                           {"isRatingAlreadyDone", Value(true)},
                                           {"/zevure/measurement/measurement_enabled_state", Value(2)},
                                           {"IABTCF_gdprApplies", Value(1)},
                                           {"IABTCF_PurposeConsents", Value("1111")},
                                           {"Calculations", Value(history)}});
        return foundation::propertyListXml(root).value_or("");
    }();
    return file;
}

// Where exercise `i`'s formula begins in the file.
size_t damagedValueFormulaAt(const std::string& file, size_t i) {
    return file.find("<string>" + damagedValueFormula(i) + "</string>");
}

// The file with `entry` (a key and its value, each a line of its own)
// first in the root dictionary.
std::string damagedValueForeignFirst(const std::string& value) {
    std::string file = damagedValueFile();
    file.insert(file.find("<dict>\n") + 7, "\t<key>!foreign</key>\n\t" + value + "\n");
    return file;
}

std::string damagedValueNested(size_t levels) {
    std::string xml;
    xml.reserve(levels * 15);
    for (size_t i = 0; i < levels; ++i) xml += "<array>";
    for (size_t i = 0; i < levels; ++i) xml += "</array>";
    return xml;
}

std::vector<size_t> damagedValueAllBut(std::optional<size_t> lost) {
    std::vector<size_t> kept;
    for (size_t i = 0; i < 200; ++i)
        if (i != lost) kept.push_back(i);
    return kept;
}

class DamagedValueProcessTest : public UserValuesProcessTest {
  protected:
    DamagedValueProcessTest() : UserValuesProcessTest("damaged-value") {}
};

}  // namespace

TEST_F(DamagedValueProcessTest, ADamagedOrTooDeepValueCostsItselfAlone) {
    ASSERT_FALSE(damagedValueFile().empty());
    const struct {
        const char* name;
        std::function<std::string()> file;
        std::vector<size_t> kept;
    } rows[] = {
        {"a bit flipped in the newest exercise's formula (\\cdot to <cdot)",
         [] {
             std::string file = damagedValueFile();
             const size_t at = file.find("\\cdot", damagedValueFormulaAt(file, 0));
             file[at] = '<';
             return file;
         },
         damagedValueAllBut(0)},
        {"a foreign key sorting first holding 513 nested lists",
         [] { return damagedValueForeignFirst(damagedValueNested(513)); }, damagedValueAllBut(std::nullopt)},
        {"a foreign key sorting first holding a bare '<'",
         [] { return damagedValueForeignFirst("<string>a < b</string>"); }, damagedValueAllBut(std::nullopt)},
        {"an exercise whose steps nest 100,000 deep",
         [] {
             std::string file = damagedValueFile();
             const size_t at = file.find("<array/>", damagedValueFormulaAt(file, 100));
             file.replace(at, 8, damagedValueNested(100'000));
             return file;
         },
         damagedValueAllBut(std::nullopt)},
        {"an exercise of 16 MB",
         [] {
             std::string file = damagedValueFile();
             file.insert(damagedValueFormulaAt(file, 100) + 8 + damagedValueFormula(100).size(),
                         std::string(16'000'000, 'y'));
             return file;
         },
         damagedValueAllBut(100)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(root.path() / "Library");
        plant(preferences(), row.file());
        const std::string said = startSwitchedOff({});
        const Value now = live();
        for (const char* mark : {"isDsgvoAccepted", "isOnboardingFinished", "isRatingAlreadyDone"})
            EXPECT_EQ(now[mark].boolValue(), true) << mark << "\n" << said;
        EXPECT_EQ(now["IABTCF_gdprApplies"].integerValue(), 1) << said;
        const std::vector<std::string> formulas = this->formulas();
        const std::set<std::string> held(formulas.begin(), formulas.end());
        size_t missing = 0;
        for (size_t i : row.kept) missing += held.count(damagedValueFormula(i)) == 0;
        EXPECT_EQ(missing, 0u) << "of " << row.kept.size() << " exercises\n" << said;
    }
}
