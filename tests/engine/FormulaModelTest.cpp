#include <filesystem>
#include <fstream>

#include "Calvaro/engine/KalFormula.h"
#include "Calvaro/engine/KalFormulaSymbol.h"
#include "Calvaro/engine/KalFormulaUnit.h"
#include "platform/foundation/Bundle.h"
#include "tests/foundation/TempFolder.h"

namespace fs = std::filesystem;

namespace {

const Unit kCentimetre{"cm", "cm", "Centimetre", 0.01};

}  // namespace

class FormulaModelTest : public TempFolderTest {
protected:
    void writeUnits(const std::string& json) { std::ofstream(root_ / "unitsOfLength.json") << json; }
};

TEST_F(FormulaModelTest, ReplaceDefaultUnitMatchesWholeWordsAndInsertsLiterally) {
    foundation::Bundle bundle(root_, "en");
    KalFormulaUnit units(bundle);
    struct Case {
        std::optional<Unit> target;
        std::string text;
        bool useKey;
        std::string expected;
    };
    const Unit micro{"um", "\\mu m", "Micrometre", 1e-6};
    const Unit dollar{"d", "$0\\1 $", "odd", 1};
    const Case cases[] = {
        {std::nullopt, "5 m", false, "5 m"}, {Unit{"m", "\\mathrm{m}", "Metre", 1}, "5 m", false, "5 m"},
        {kCentimetre, "mm", false, "mm"}, {kCentimetre, "5 m2", false, "5 m2"},
        {kCentimetre, "m/s, m^2 and m", true, "cm/s, cm^2 and cm"},
        {kCentimetre, "5 \xC2\xB5m", false, "5 \xC2\xB5m"},  // µ is a letter: no word boundary before m
        {micro, "5 m", true, "5 um"}, {micro, "5 m", false, "5 \\mu m"}, {dollar, "m = m", false, "$0\\1 $ = $0\\1 $"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text + (c.target ? " -> " + c.target->key : ""));
        units.setTargetUnit(c.target);
        EXPECT_EQ(units.replaceDefaultUnit(c.text, c.useKey), c.expected);
    }
}

TEST_F(FormulaModelTest, BadUnitFilesLeaveTheTableEmptyNeverPartial) {
    struct Case {
        const char* name;
        std::optional<std::string> json;  // none: no file at all
        bool configurationFailed;
    };
    const Case cases[] = {
        {"missing file", std::nullopt, true},
        {"second lacks factor", R"([{"key":"m","latex":"m","name":"Metre","factor":1},
                                    {"key":"cm","latex":"cm","name":"Centimetre"}])",
         false},
        {"factor as text", R"([{"key":"m","latex":"m","name":"Metre","factor":"1"}])", false},
        {"cut off", R"([{"key":"m","lat)", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(root_ / "unitsOfLength.json");
        if (c.json) writeUnits(*c.json);
        foundation::Bundle bundle(root_, "en");
        KalFormulaUnit units(bundle);
        EXPECT_TRUE(units.units().empty());
        LoadUnitsError error;
        EXPECT_FALSE(units.loadUnits("unitsOfLength", &error));
        EXPECT_EQ(error.formulaError == FormulaError::configurationFailed, c.configurationFailed);
        EXPECT_FALSE(error.description.empty());
    }
}

TEST_F(FormulaModelTest, FailedReloadKeepsThePreviousTable) {
    writeUnits(
        R"([{"key":"m","latex":"m","name":"Metre","factor":1},{"key":"cm","latex":"cm","name":"Centimetre","factor":0.01}])");
    foundation::Bundle bundle(root_, "en");
    KalFormulaUnit units(bundle);
    ASSERT_EQ(units.units().size(), 2u);
    writeUnits("[1]");
    EXPECT_FALSE(units.loadUnits("unitsOfLength") || units.loadUnits("otherUnits"));
    EXPECT_EQ(units.units().size(), 2u);
}

TEST(FormulaRecords, DecodeOptionalMembersAndRefuseMissingOrMistypedOnes) {
    const std::string formula = R"({"category":"c","subcategory":"s","topic":"t","type":"y","imageName":"i",
        "searched":"A","given":["r"],"latex":"A = \\pi r^2","identifier":"id","description":"d")";
    const std::string symbol =
        R"({"category":"c","subcategory":"s","topic":"t","key":"r","latex":"r","name":"radius","unit":"m")";
    for (const std::string& json : {formula + "}", formula + R"(,"conditions":["r > 0"]})"}) {
        const auto decoded = Formula::decode(json);
        ASSERT_TRUE(decoded) << json;
        EXPECT_EQ(decoded->conditions.has_value(), json.find("conditions") != std::string::npos);
        EXPECT_EQ(Formula::decode(decoded->encode()), decoded);
    }
    for (const std::string& json : {symbol + "}", symbol + R"(,"rules":{"min":0}})"}) {
        const auto decoded = Symbol::decode(json);
        ASSERT_TRUE(decoded) << json;
        EXPECT_EQ(Symbol::decode(decoded->encode()), decoded);
    }
    std::string error;
    std::string withoutGiven = formula + "}";
    withoutGiven.replace(withoutGiven.find(R"("given":["r"],)"), 14, "");
    EXPECT_FALSE(Formula::decode(withoutGiven, &error));
    EXPECT_NE(error.find("given"), std::string::npos);
    EXPECT_FALSE(Formula::decode(formula + R"(,"conditions":[1]})"));
    EXPECT_FALSE(Symbol::decode(symbol + R"(,"rules":{"min":"0"}})") || Symbol::decode(R"({"category":"c"})"));
}
