// Data roots whose files pass their bounds with what Calvaro does not write
// sorting first, or whose owner families fill them: the user's values stay
// first. Each row plants one file and runs three starts, each `calvaro`
// solving one exercise to the end of its script, then the engine logging a
// burst: the consent stays, every exercise of the file stays, each start's
// exercise is stored or the start ends with exit 1 and says so, and the
// burst is uploaded at that start.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/PropertyList.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/FirstStartProcess.h"
#include "tests/e2e/UserValues.h"
#include "tests/support/BinaryPropertyListBytes.h"

namespace {

namespace fs = std::filesystem;
using foundation::Value;

// 131,073 foreign keys (262,146 values) sorting before Calvaro's, then 200
// exercises and the consent: past the values bound of 262,144.
std::string foreignKeysFirstXml() {
    std::string xml;
    xml.reserve(131'073 * 26 + 200 * 600);
    char key[32];
    for (int i = 0; i < 131'073; ++i) {
        std::snprintf(key, sizeof key, "A%06d", i);
        xml += std::string("<key>") + key + "</key><true/>";
    }
    return userFirstXml(xml + userFirstHistory(200) + kUserFirstSettled);
}

// The same as a binary file whose foreign keys all refer to one shared true,
// and whose exercises are formulas alone.
std::string foreignKeysFirstBinary() {
    constexpr uint64_t kForeign = 131'073, kExercises = 200;
    std::vector<std::string> keys;
    char key[32];
    for (uint64_t i = 0; i < kForeign; ++i) {
        std::snprintf(key, sizeof key, "A%06llu", static_cast<unsigned long long>(i));
        keys.push_back(key);
    }
    for (const char* own : {"Calculations", "isDsgvoAccepted", "isOnboardingFinished", "isRatingAlreadyDone"})
        keys.push_back(own);
    // 0 the root, then its keys, the shared true, the history, the key of a
    // formula, and each exercise with its formula.
    const uint64_t trueObject = 1 + keys.size(), history = trueObject + 1, formulaKey = history + 1,
                   firstExercise = formulaKey + 1;
    std::vector<uint64_t> refs;
    for (uint64_t i = 0; i < keys.size(); ++i) refs.push_back(1 + i);
    for (uint64_t i = 0; i < kForeign; ++i) refs.push_back(trueObject);
    refs.push_back(history);
    for (int i = 0; i < 3; ++i) refs.push_back(trueObject);
    std::vector<std::string> objects{binaryPropertyListMarker(0xD, keys.size()) + binaryPropertyListRefs(refs, 4)};
    for (const auto& name : keys) objects.push_back(binaryPropertyListMarker(0x5, name.size()) + name);
    objects.push_back("\x09");
    std::vector<uint64_t> exercises;
    for (uint64_t i = 0; i < kExercises; ++i) exercises.push_back(firstExercise + 2 * i);
    objects.push_back(binaryPropertyListMarker(0xA, kExercises) + binaryPropertyListRefs(exercises, 4));
    objects.push_back(binaryPropertyListMarker(0x5, 11) + "latexString");
    for (uint64_t i = 0; i < kExercises; ++i) {
        objects.push_back(binaryPropertyListMarker(0xD, 1) + binaryPropertyListRefs({formulaKey, firstExercise + 2 * i + 1}, 4));
        const std::string formula = "f_{" + std::to_string(i) + "}";
        objects.push_back(binaryPropertyListMarker(0x5, formula.size()) + formula);
    }
    return binaryPropertyListFile(objects, 4);
}

// Five foreign texts of 3 MiB sorting first, then 2,000 exercises of some
// 1.5 KB: 17.9 MiB, past the bytes bound of 16 MiB.
std::string foreignTextsFirstXml() {
    std::string xml;
    for (int i = 0; i < 5; ++i)
        xml += "<key>A" + std::to_string(i) + "</key><string>" + std::string(size_t{3} << 20, 'x') + "</string>";
    return userFirstXml(xml + userFirstHistory(2000, 1000) + kUserFirstSettled);
}

// The consent platform's keys: `count` of them (two values each), with
// `settled` after them.
std::string consentPlatformXml(int count, const std::string& settled) {
    std::string xml;
    char key[32];
    for (int i = 0; i < count; ++i) {
        std::snprintf(key, sizeof key, "IABTCF_%06d", i);
        xml += std::string("<key>") + key + "</key><true/>";
    }
    return userFirstXml(xml + settled);
}

std::string switchedOffCutXml(size_t exercises, size_t cutInside) {
    const std::string whole = switchedOffXml(exercises);
    // Inside the formula of exercise `cutInside`.
    return whole.substr(0, whole.find("f_{" + std::to_string(cutInside) + "}") + 2);
}

// The same as a binary file, the formula of exercise `damaged` holding a
// byte that is not UTF-8.
std::string switchedOffDamagedBinary(size_t exercises, size_t damaged) {
    const Value whole = foundation::parsePropertyList(switchedOffXml(exercises)).value_or(Value());
    UserFirstBinary binary;
    std::vector<std::pair<uint64_t, uint64_t>> root;
    for (const auto& [key, value] : *whole.dictionary()) {
        if (key != "Calculations") {
            root.emplace_back(binary.text(key), binary.value(value));
            continue;
        }
        std::vector<uint64_t> records;
        for (size_t i = 0; i < value.list()->size(); ++i) {
            Value::Dictionary record = *(*value.list())[i].dictionary();
            if (i == damaged) record["latexString"] = Value("f_{" + std::to_string(i) + "}\xff");
            records.push_back(binary.value(Value(record)));
        }
        root.emplace_back(binary.text(key), binary.list(records));
    }
    return binary.file(root);
}

// The settled keys and 200 exercises, with `key` holding 262,145 `true` in
// a list (past the file's values bound on its own), as XML or binary (one
// shared `true`).
std::string oversizedUserValue(const std::string& key, bool binary) {
    constexpr size_t kTrues = 262'145;
    if (!binary) {
        std::string list = "<key>" + key + "</key><array>";
        list.reserve(kTrues * 7 + 64);
        for (size_t i = 0; i < kTrues; ++i) list += "<true/>";
        return userFirstXml(list + "</array>" + userFirstHistory(200) + kUserFirstSettled);
    }
    const Value settled = foundation::parsePropertyList(userFirstXml(userFirstHistory(200) + kUserFirstSettled))
                              .value_or(Value());
    UserFirstBinary file;
    std::vector<std::pair<uint64_t, uint64_t>> root;
    const uint64_t shared = file.add("\x09");
    root.emplace_back(file.text(key), file.list(std::vector<uint64_t>(kTrues, shared)));
    for (const auto& [name, value] : *settled.dictionary()) root.emplace_back(file.text(name), file.value(value));
    return file.file(root);
}

// One key (a list of three `true`) met 262,144 times, then the settled keys
// and 200 exercises, as a binary file whose repeats share their key and value.
std::string repeatedKeyBinary(const std::string& key) {
    const Value settled = foundation::parsePropertyList(userFirstXml(userFirstHistory(200) + kUserFirstSettled))
                              .value_or(Value());
    UserFirstBinary file;
    const uint64_t shared = file.add("\x09");
    const uint64_t name = file.text(key), list = file.list({shared, shared, shared});
    std::vector<std::pair<uint64_t, uint64_t>> root(262'144, {name, list});
    for (const auto& [own, value] : *settled.dictionary()) root.emplace_back(file.text(own), file.value(value));
    return file.file(root);
}

class UserValuesFirstProcessTest : public UserValuesProcessTest {
  protected:
    UserValuesFirstProcessTest() : UserValuesProcessTest("user-values-first") {}

    // The engine on the same root: a burst of 20 events from `first`, each
    // uploaded before its orderly end.
    void burst(int64_t first) {
        tools::DriverProcess driver(CALVARO_EVENT_DRIVER,
                                    debugArguments({"--first", std::to_string(first), "--count", "20"}));
        const auto ours = [first](const tools::CollectedEvent& event) {
            const auto n = event.intParam("n");
            return event.name == "e2e_event" && n && *n >= first && *n < first + 20;
        };
        EXPECT_TRUE(measurement.waitUntil(
            [&](const std::vector<tools::CollectedUpload>& uploads) { return acceptedCount(uploads, ours) >= 20; },
            kUnderAddressSanitizer ? 400 : 120))
            << consoleTail();
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
    }

    // Three starts over `file`: the consent kept, each of the file's
    // `exercises` formulas kept, each start's exercise stored or its loss
    // said with exit 1, each start's burst uploaded. `check` runs after each.
    // With `stored`, each start's exercise must be stored (exit 0).
    void threeStarts(const std::string& file, size_t exercises, const std::function<void()>& check = {},
                     bool stored = false) {
        plant(preferences(), file);
        size_t before = 0;
        for (int start = 1; start <= 3; ++start) {
            SCOPED_TRACE("start " + std::to_string(start));
            const auto [status, said] = solve();
            const std::vector<std::string> now = formulas();
            if (status == 1 && !stored) {
                EXPECT_NE(said.find("not stored"), std::string::npos) << said;
            } else {
                EXPECT_EQ(status, 0) << said;
                EXPECT_GT(now.size(), before) << "the start's exercise is stored\n" << said;
            }
            EXPECT_EQ(live()["isDsgvoAccepted"].boolValue(), true) << said;
            // Each formula of the file up to its number's end (some are padded).
            std::set<std::string> kept;
            for (const auto& formula : now)
                if (formula.rfind("f_{", 0) == 0) kept.insert(formula.substr(0, formula.find('}') + 1));
            size_t missing = 0;
            for (size_t i = 0; i < exercises; ++i) missing += kept.count("f_{" + std::to_string(i) + "}") == 0;
            EXPECT_EQ(missing, 0u) << said;
            before = now.size();
            if (check) check();
            burst(1000 * start);
            std::printf("start %d: exit %d, %zu exercises\n", start, status, now.size());
        }
    }
};

TEST_F(UserValuesFirstProcessTest, ForeignValuesSortingFirstGiveWayToTheUsers) {
    const struct {
        const char* name;
        std::string file;
        size_t exercises;
    } rows[] = {
        {"131,073 foreign keys first, XML", foreignKeysFirstXml(), 200},
        {"131,073 foreign keys first, binary", foreignKeysFirstBinary(), 200},
        {"five foreign texts of 3 MiB first", foreignTextsFirstXml(), 2000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.name) + ", " + std::to_string(row.file.size()) + " bytes");
        fs::remove_all(root.path() / "Library");
        threeStarts(row.file, row.exercises);
    }
}

// The consent platform's keys fill the file within its bound (131,065 keys,
// 262,130 values), or one text of 16,776,000 bytes under them does, or they
// leave no room for the consent itself: they give way past their share.
TEST_F(UserValuesFirstProcessTest, TheConsentPlatformsKeysGiveWayPastTheirShare) {
    std::string bigText = std::string("<key>IABTCF_big</key><string>") + std::string(16'776'000, 'x') + "</string>";
    const struct {
        const char* name;
        std::string file;
    } rows[] = {
        {"131,065 keys", consentPlatformXml(131'065, kUserFirstSettled)},
        {"one text of 16,776,000 bytes", userFirstXml(bigText + kUserFirstSettled)},
        {"no room for the consent",
         consentPlatformXml(131'069, "<key>isOnboardingFinished</key><true/><key>isRatingAlreadyDone</key><true/>")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.name) + ", " + std::to_string(row.file.size()) + " bytes");
        fs::remove_all(root.path() / "Library");
        threeStarts(row.file, 0);
    }
}

// The engine's persistent dictionary past its bound with 5,000 foreign keys
// sorting before the engine's: three starts of the engine, each uploading
// its burst, keep its app instance id. (Calvaro's own starts serve another
// app id, which makes a new instance id by design.)
TEST_F(UserValuesFirstProcessTest, TheEnginesDictionaryPastItsBoundKeepsItsInstanceId) {
    logAndEnd(1, 3);
    const std::string idKey = "/zevure/measurement/app_instance_id";
    const auto instanceId = [&] {
        const Value id = readFile(engineDictionary())[idKey];
        return id.string() ? *id.string() : std::string();
    };
    const std::string instance = instanceId();
    ASSERT_FALSE(instance.empty()) << consoleTail();
    const Value stored = readFile(engineDictionary());
    ASSERT_TRUE(stored.dictionary());
    Value::Dictionary engine = *stored.dictionary();
    for (int i = 0; i < 5000; ++i) engine["!foreign" + std::to_string(10000 + i)] = Value(std::string(8, 'f'));
    const auto xml = foundation::propertyListXml(Value(engine));
    ASSERT_TRUE(xml);
    plant(engineDictionary(), *xml);
    for (int start = 1; start <= 3; ++start) {
        SCOPED_TRACE("start " + std::to_string(start));
        burst(1000 * start);
        EXPECT_EQ(instanceId(), instance) << consoleTail();
    }
}

// The collection switched off in a file cut inside its history (XML) or
// with one exercise damaged (binary): the switch, the consent platform's
// values and every exercise that reads whole stay, and every start keeps
// collection off.
TEST_F(UserValuesFirstProcessTest, ACutOrDamagedFileKeepsTheUsersSwitch) {
    const struct {
        const char* name;
        std::string file;
        std::vector<size_t> kept;  // the exercises that read whole
    } rows[] = {
        {"XML cut inside exercise 30 of 40", switchedOffCutXml(40, 30), [] {
             std::vector<size_t> kept(30);
             for (size_t i = 0; i < kept.size(); ++i) kept[i] = i;
             return kept;
         }()},
        {"binary with exercise 12 of 40 damaged", switchedOffDamagedBinary(40, 12), [] {
             std::vector<size_t> kept;
             for (size_t i = 0; i < 40; ++i)
                 if (i != 12) kept.push_back(i);
             return kept;
         }()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(root.path() / "Library");
        plant(preferences(), row.file);
        for (int start = 1; start <= 3; ++start) {
            SCOPED_TRACE("start " + std::to_string(start));
            const std::string said = startSwitchedOff(row.kept);
            EXPECT_EQ(live()["IABTCF_gdprApplies"].integerValue(), 1) << said;
        }
    }
}

// A value of the user's keys far past what Calvaro writes there: it gives
// way, and the history, the tour and rating marks and each start's exercise
// stay.
TEST_F(UserValuesFirstProcessTest, AnOversizedUsersValueGivesWayFirst) {
    const std::string text = userFirstXml("<key>counterForRating</key><string>" + std::string(16'800'000, 'x') +
                                          "</string>" + userFirstHistory(200) + kUserFirstSettled);
    const struct {
        const char* name;
        std::string file;
    } rows[] = {
        {"isYoutubeDsgvoAccepted, 262,145 true, XML", oversizedUserValue("isYoutubeDsgvoAccepted", false)},
        {"isYoutubeDsgvoAccepted, 262,145 true, binary", oversizedUserValue("isYoutubeDsgvoAccepted", true)},
        {"CurrentCalculation, 262,145 true, XML", oversizedUserValue("CurrentCalculation", false)},
        {"counterForRating, a text of 16.8 MB", text},
        {"counterForRating met 262,144 times, binary", repeatedKeyBinary("counterForRating")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.name) + ", " + std::to_string(row.file.size()) + " bytes");
        fs::remove_all(root.path() / "Library");
        threeStarts(
            row.file, 200,
            [&] {
                const Value now = live();
                EXPECT_EQ(now["isOnboardingFinished"].boolValue(), true);
                EXPECT_EQ(now["isRatingAlreadyDone"].boolValue(), true);
            },
            true);
    }
}

}  // namespace
