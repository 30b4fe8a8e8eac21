// The history shares its preferences file with the consent and the rest, and
// a file past its reader's bounds is set aside whole at the next start. So the
// history keeps within its share of the file: the oldest records give way,
// whether many small records, a few with long texts or a few with many steps
// pass it, and whether they were added here or stored by an older build.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Calvaro/engine/CalcManager.h"
#include "platform/foundation/PropertyList.h"
#include "tests/foundation/TempFolder.h"

using foundation::Value;

namespace {

Calculation boundedRecord(const std::string& name, size_t latexBytes, size_t steps) {
    Calculation c;
    c.inputParameters = {{"aTextField", name}, {"xTextField", "1"}};
    c.latexString = "f(x) = " + name + std::string(latexBytes, 'x');
    c.solutionSteps.assign(steps, Value::Dictionary{{"title", ""}, {"latexString", ""}});
    c.setupParameter = {{"inputCalculationSelection", 1}, {"appKey", "CLV"}};
    return c;
}

std::string boundedName(const Calculation& c) {
    return c.inputParameters.at("aTextField");
}

}  // namespace

class HistoryBoundTest : public TempFolderTest {
  protected:
    foundation::UserDefaults defaults() {
        return foundation::UserDefaults(std::make_shared<foundation::PreferencesStore>(root_ / "Preferences"), "app");
    }
};

TEST_F(HistoryBoundTest, TheOldestRecordsGiveWayToTheHistorysShareOfItsFile) {
    const struct {
        const char* name;
        size_t latexBytes, steps;
        size_t added, kept;
    } rows[] = {
        // 4 MiB: three records of 1 MiB each and their fields fit, four do not.
        {"long texts", 1 << 20, 0, 5, 3},
        // 65,536 values: one record of 50,017 values fits, two do not.
        {"many steps", 0, 10'000, 3, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        defaults().removeAll();
        CalcManager history(defaults());
        testing::internal::CaptureStderr();
        for (size_t i = 0; i < row.added; ++i)
            history.addCalculation(boundedRecord(std::to_string(i), row.latexBytes, row.steps));
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("oldest records give way"), std::string::npos) << said;

        ASSERT_EQ(history.calculations().size(), row.kept);
        EXPECT_EQ(boundedName(history.calculations().front()), std::to_string(row.added - 1));
        EXPECT_EQ(boundedName(history.calculations().back()), std::to_string(row.added - row.kept));
        EXPECT_EQ(CalcManager(defaults()).calculations(), history.calculations());
    }
}

// 17 values a record and 2 for the key and the list: 3,854 records within
// 65,536 values. A longer history stored before the bound is cut at the
// start that finds it, newest first.
TEST_F(HistoryBoundTest, AStoredHistoryPastTheBoundIsCutAtTheStart) {
    Value::List stored;
    for (int i = 0; i < 4'000; ++i) stored.emplace_back(boundedRecord(std::to_string(i), 0, 0).dictionary());
    EXPECT_EQ(foundation::propertyListSize(stored.front()).values, 17u);
    ASSERT_TRUE(defaults().set(CalcManager::calculationsKey, stored));

    testing::internal::CaptureStderr();
    CalcManager history(defaults());
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("the 146 oldest records give way"), std::string::npos) << said;
    ASSERT_EQ(history.calculations().size(), 3'854u);
    EXPECT_EQ(boundedName(history.calculations().back()), "3853");
    EXPECT_EQ(defaults().array(CalcManager::calculationsKey)->size(), 3'854u);
}

// A stored record past the history's bound on its own (a text of 5 MiB,
// 70,000 steps) is none the Calculate screen wrote: it is set aside, and the
// records after it stay (before, it and every record after it gave way).
TEST_F(HistoryBoundTest, AStoredRecordPastTheBoundOnItsOwnIsSetAsideAlone) {
    const struct {
        const char* name;
        size_t latexBytes, steps;
    } rows[] = {{"a text of 5 MiB", 5 << 20, 0}, {"70,000 steps", 0, 70'000}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        defaults().removeAll();
        Value::List stored;
        for (int i = 0; i < 5; ++i)
            stored.emplace_back(boundedRecord(std::to_string(i), i == 1 ? row.latexBytes : 0, i == 1 ? row.steps : 0)
                                    .dictionary());
        ASSERT_TRUE(defaults().set(CalcManager::calculationsKey, stored));
        testing::internal::CaptureStderr();
        CalcManager history(defaults());
        const std::string said = testing::internal::GetCapturedStderr();
        std::vector<std::string> names;
        for (const Calculation& c : history.calculations()) names.push_back(boundedName(c));
        EXPECT_EQ(names, (std::vector<std::string>{"0", "2", "3", "4"})) << said;
        EXPECT_NE(said.find("1 unreadable entries kept in"), std::string::npos) << said;
        EXPECT_EQ(defaults().array(CalcManager::calculationsKey)->size(), 4u);
    }
}
