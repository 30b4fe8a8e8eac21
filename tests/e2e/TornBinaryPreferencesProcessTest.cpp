// A binary preferences file torn inside its history: its offset table and
// trailer (both at its end) are gone. Every start keeps the collection
// switched off and the consent, and every exercise that lies whole before
// the tear.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/UserValues.h"

namespace {

using foundation::Value;

// The settled keys, the collection switched off and the consent platform's
// values, then `exercises` exercises laid as a writer lays them (the list
// before its records), the file cut inside the formula of `tornInside`.
std::string tornBinary(size_t exercises, size_t tornInside) {
    const Value whole = foundation::parsePropertyList(switchedOffXml(exercises)).value_or(Value());
    UserFirstBinary binary;
    std::vector<std::pair<uint64_t, uint64_t>> root;
    for (const auto& [key, value] : *whole.dictionary())
        if (key != "Calculations") root.emplace_back(binary.text(key), binary.value(value));
    const uint64_t name = binary.text("Calculations"), slot = binary.add("");
    std::vector<uint64_t> records;
    for (const Value& record : *whole["Calculations"].list()) records.push_back(binary.value(record));
    root.emplace_back(name, binary.list(slot, records));
    const std::string file = binary.file(root);
    return file.substr(0, file.find("f_{" + std::to_string(tornInside) + "}") + 2);
}

class TornBinaryPreferencesProcessTest : public UserValuesProcessTest {
  protected:
    TornBinaryPreferencesProcessTest() : UserValuesProcessTest("torn-binary-preferences") {}
};

TEST_F(TornBinaryPreferencesProcessTest, TheSwitchTheConsentAndEveryWholeExerciseStay) {
    plant(preferences(), tornBinary(40, 30));
    for (int start = 1; start <= 3; ++start) {
        SCOPED_TRACE("start " + std::to_string(start));
        std::vector<size_t> whole(30);
        for (size_t i = 0; i < whole.size(); ++i) whole[i] = i;
        const std::string said = startSwitchedOff(whole);
        EXPECT_EQ(live()["isDsgvoAccepted"].boolValue(), true) << said;
    }
}

}  // namespace
