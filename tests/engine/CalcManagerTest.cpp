#include <fstream>
#include <functional>

#include "Calvaro/engine/CalcManager.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "tests/foundation/TempFolder.h"

namespace fs = std::filesystem;
using foundation::PreferencesStore;
using foundation::UserDefaults;
using foundation::Value;

namespace {

Calculation record(const std::string& name) {
    Calculation c;
    c.inputParameters = {{"aTextField", name}, {"xTextField", "1"}};
    c.latexString = "f(x) = " + name;
    c.setupParameter = {{"inputCalculationSelection", 1}, {"appKey", "CLV"}};
    return c;
}

std::vector<std::string> names(const std::vector<Calculation>& history) {
    std::vector<std::string> out;
    for (const auto& c : history)
        out.push_back(c.inputParameters.count("aTextField") ? c.inputParameters.at("aTextField") : "?");
    return out;
}

}  // namespace

class CalcManagerTest : public TempFolderTest {
protected:

    // The preferences as a new process start finds them.
    UserDefaults defaults() { return UserDefaults(std::make_shared<PreferencesStore>(dir_), "app"); }
    CalcManager restart() { return CalcManager(defaults()); }

    // A history of the named records, stored and read back, newest first.
    CalcManager withHistory(std::initializer_list<const char*> newestFirst) {
        {
            CalcManager m = restart();
            for (auto it = std::rbegin(newestFirst); it != std::rend(newestFirst); ++it)
                m.addCalculation(record(*it));
        }
        return restart();
    }

    const fs::path dir_ = root_ / "Preferences";
};

TEST_F(CalcManagerTest, FirstStartSeedsTheExampleOnceAndNeverAgain) {
    {
        CalcManager m = restart();
        EXPECT_TRUE(m.prepareFirstStart());
        EXPECT_EQ(m.calculations(), std::vector<Calculation>{exampleCalculation()});
        EXPECT_EQ(m.calculations()[0].latexString,
                  "f(x) = 1 \\cdot \\log_{2}(1 x + 0) + 0 \\quad \\quad x=1");
    }
    {
        CalcManager m = restart();
        EXPECT_FALSE(m.prepareFirstStart());
        EXPECT_EQ(m.calculations().size(), 1u);
        m.clearHistory();
    }
    CalcManager m = restart();
    EXPECT_FALSE(m.prepareFirstStart());
    EXPECT_TRUE(m.calculations().empty());
    EXPECT_EQ(defaults().array(CalcManager::calculationsKey), Value::List{});  // stored empty, not absent
}

TEST_F(CalcManagerTest, AddedRecordsSurviveARestartNewestFirst) {
    CalcManager m = withHistory({"C", "B", "A"});
    EXPECT_EQ(names(m.calculations()), (std::vector<std::string>{"C", "B", "A"}));
    EXPECT_EQ(m.calculations()[0], record("C"));  // every field, integer setup value included
    m.addCalculation(record("D"));
    EXPECT_EQ(names(restart().calculations()), (std::vector<std::string>{"D", "C", "B", "A"}));
}

TEST_F(CalcManagerTest, MoveAndRemoveIgnorePositionsOutsideTheList) {
    struct Case {
        int64_t from, to;  // to < -1: remove `from`
        bool done;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {0, 2, true, {"B", "C", "A", "D"}},   {3, 0, true, {"D", "A", "B", "C"}},
        {-1, 0, false, {"A", "B", "C", "D"}}, {0, 4, false, {"A", "B", "C", "D"}},
        {0, -2, true, {"B", "C", "D"}},       {4, -2, false, {"A", "B", "C", "D"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to));
        fs::remove_all(dir_);
        CalcManager m = withHistory({"A", "B", "C", "D"});
        EXPECT_EQ(c.to < -1 ? m.removeCalculation(c.from) : m.moveCalculation(c.from, c.to), c.done);
        EXPECT_EQ(names(m.calculations()), c.expected);
        EXPECT_EQ(names(restart().calculations()), c.expected);
    }
    CalcManager empty = restart();
    empty.clearHistory();
    EXPECT_FALSE(empty.removeCalculation(0) || empty.moveCalculation(0, 0));
}

// An entry that is no record is set aside with its bytes; every record around
// it stays. The history once lost everything to one such entry.
TEST_F(CalcManagerTest, UnreadableEntriesAreSetAsideAndReadableRecordsStay) {
    const Value a = record("A").dictionary(), b = record("B").dictionary();
    const struct {
        Value stored;
        std::vector<std::string> kept;
        Value::List asideEntries;  // empty: nothing set aside
    } cases[] = {
        {Value::List{a, 5, b, "stray"}, {"A", "B"}, {5, "stray"}},
        {Value("not a list"), {}, {"not a list"}},
        {Value(Value::Dictionary{{"a", 1}}), {}, {Value::Dictionary{{"a", 1}}}},
        {Value(Value::List{}), {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored.jsonText());
        fs::remove_all(dir_);
        defaults().set(CalcManager::calculationsKey, c.stored);
        EXPECT_EQ(names(restart().calculations()), c.kept);
        Value::List rewritten;
        for (const Value& entry : c.stored.list() ? *c.stored.list() : Value::List{})
            if (entry.dictionary()) rewritten.push_back(entry);
        EXPECT_EQ(defaults().object(CalcManager::calculationsKey), Value(rewritten));
        std::string aside;
        const bool kept = foundation::FileSystem::readFile(dir_ / "app.Calculations.plist.damaged", aside);
        EXPECT_EQ(kept, !c.asideEntries.empty());
        if (kept) {
            EXPECT_EQ(foundation::parsePropertyList(aside), Value(c.asideEntries));
        }
        // Set aside once: the next start finds nothing more to keep.
        restart();
        EXPECT_FALSE(fs::exists(dir_ / "app.Calculations.plist.damaged-1"));
    }
}

TEST_F(CalcManagerTest, DamagedRecordsKeepTheirPlaceWithEmptyFields) {
    Value::Dictionary noLatex = record("A").dictionary();
    noLatex.erase("latexString");
    Value::Dictionary badInputs = record("B").dictionary();
    badInputs["inputParameters"] = Value::Dictionary{{"aTextField", 2}};  // a number, not text
    badInputs["solutionSteps"] = Value::List{Value::Dictionary{{"title", "t"}}, "stray"};
    defaults().set(CalcManager::calculationsKey, Value::List{noLatex, badInputs, Value::Dictionary{}});
    Calculation expectedA = record("A"), expectedB = record("B");
    expectedA.latexString = "";
    expectedB.inputParameters.clear();
    EXPECT_EQ(restart().calculations(), (std::vector<Calculation>{expectedA, expectedB, Calculation()}));
}

TEST_F(CalcManagerTest, SelectedAndCurrentCalculationsAreStoredAndRemoved) {
    defaults().set(CalcManager::currentCalculationKey, record("current").dictionary());
    Calculation withSteps = record("S");
    {
        CalcManager m = restart();
        EXPECT_EQ(m.currentCalculation(), record("current"));
        EXPECT_FALSE(m.currentSelectedCalculation());
        withSteps.solutionSteps = {{{"title", "Step 1"}, {"latexString", "x"}}};
        m.setCurrentSelectedCalculation(withSteps);
        m.saveCurrentSelectedCalculation();
    }
    {
        CalcManager m = restart();
        EXPECT_EQ(m.currentSelectedCalculation(), withSteps);
        m.setCurrentSelectedCalculation(std::nullopt);
        m.saveCurrentSelectedCalculation();
    }
    EXPECT_TRUE(defaults().object(CalcManager::currentSelectedCalculationKey).isAbsent());
    defaults().set(CalcManager::currentSelectedCalculationKey, "not a dictionary");
    EXPECT_FALSE(restart().currentSelectedCalculation());
}

// A preferences file cut short is set aside; the records that can still be
// read start the new history. Damage inside a record costs the field that
// holds it: the record keeps the rest, and the file is read in place.
TEST_F(CalcManagerTest, DamagedPreferenceFileKeepsItsReadableRecordsInAFreshUsableHistory) {
    const struct {
        const char* label;
        std::function<std::string(const std::string&)> damage;
        std::vector<std::string> kept;
        bool setAside = true;
    } cases[] = {
        {"cut in the third record", [](const std::string& xml) { return xml.substr(0, xml.find("f(x) = C")); },
         {"A", "B"}},
        {"cut in the first record", [](const std::string& xml) { return xml.substr(0, xml.find("f(x) = A")); }, {}},
        {"cut before the history", [](const std::string& xml) { return xml.substr(0, xml.find("<array>")); }, {}},
        {"a record's tag broken",
         [](const std::string& xml) {
             std::string damaged = xml;
             const size_t at = damaged.find("<string>f(x) = B");
             return damaged.replace(at, 8, "<strin>");
         },
         {"A", "B", "C"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(dir_);
        withHistory({"A", "B", "C"});
        std::string xml;
        ASSERT_TRUE(foundation::FileSystem::readFile(dir_ / "app.plist", xml));
        std::ofstream(dir_ / "app.plist", std::ios::trunc) << c.damage(xml);

        CalcManager m = restart();
        EXPECT_EQ(names(m.calculations()), c.kept);
        EXPECT_EQ(fs::exists(dir_ / "app.plist.damaged"), c.setAside);
        if (!c.setAside) {
            EXPECT_EQ(m.calculations()[1].latexString, "");
        }
        m.addCalculation(record("D"));
        std::vector<std::string> after{"D"};
        after.insert(after.end(), c.kept.begin(), c.kept.end());
        EXPECT_EQ(names(restart().calculations()), after);
    }
}
