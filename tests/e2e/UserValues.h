#pragma once

// What the rows over a user's preferences file share: the file's parts as
// Calvaro writes them (the settled keys, exercises, the collection switched
// off), a binary file put together object by object, and a fixture that
// plants the file and runs `calvaro` solving one exercise over it.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/PropertyList.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/FirstStartProcess.h"
#include "tests/support/BinaryPropertyListBytes.h"

constexpr const char* kUserFirstSettled =
    "<key>isDsgvoAccepted</key><true/><key>isOnboardingFinished</key><true/><key>isRatingAlreadyDone</key><true/>";

// An exercise as the Calculate screen stores it, told apart by its formula
// "f_{i}" and `padding` more characters of it.
inline std::string userFirstRecord(size_t i, size_t padding) {
    return "<dict><key>inputParameters</key><dict><key>aTextField</key><string>2</string><key>bTextField</key>"
           "<string>1</string><key>cTextField</key><string>0</string><key>dTextField</key><string>0</string>"
           "<key>xTextField</key><string>1</string><key>zTextField</key><string>1</string></dict>"
           "<key>latexString</key><string>f_{" +
           std::to_string(i) + "}" + std::string(padding, 'y') +
           "</string><key>setupParameter</key><dict><key>appKey</key><string>CLV</string>"
           "<key>inputCalculationSelection</key><integer>0</integer></dict><key>solutionSteps</key><array/></dict>";
}

inline std::string userFirstHistory(size_t exercises, size_t padding = 0) {
    std::string xml = "<key>Calculations</key><array>";
    for (size_t i = 0; i < exercises; ++i) xml += userFirstRecord(i, padding);
    return xml + "</array>";
}

inline std::string userFirstXml(const std::string& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + entries + "</dict></plist>";
}

// A binary property list put together object by object: scalars, texts
// (their bytes as given, so one may be damaged), lists and dictionaries of
// objects already added; the root dictionary is object 0.
class UserFirstBinary {
    using Value = foundation::Value;

public:
    // With `shareTexts`, a text met again is the object made for it first,
    // as a writer that shares equal objects lays it.
    explicit UserFirstBinary(bool shareTexts = false) : shareTexts_(shareTexts) {}

    uint64_t add(std::string bytes) {
        objects_.push_back(std::move(bytes));
        return objects_.size() - 1;
    }
    uint64_t text(const std::string& bytes) {
        if (!shareTexts_) return add(binaryPropertyListMarker(0x5, bytes.size()) + bytes);
        const auto [found, made] = texts_.emplace(bytes, objects_.size());
        if (made) add(binaryPropertyListMarker(0x5, bytes.size()) + bytes);
        return found->second;
    }
    uint64_t list(const std::vector<uint64_t>& items) { return list(add(""), items); }
    // The list in the place `slot` kept for it before its items, as a writer
    // that puts each object before those it refers to lays it.
    uint64_t list(uint64_t slot, const std::vector<uint64_t>& items) {
        objects_[slot] = binaryPropertyListMarker(0xA, items.size()) + binaryPropertyListRefs(items, 4);
        return slot;
    }
    uint64_t dictionary(const std::vector<std::pair<uint64_t, uint64_t>>& entries) {
        std::vector<uint64_t> refs;
        for (const auto& entry : entries) refs.push_back(entry.first);
        for (const auto& entry : entries) refs.push_back(entry.second);
        return add(binaryPropertyListMarker(0xD, entries.size()) + binaryPropertyListRefs(refs, 4));
    }
    uint64_t value(const Value& value) {
        if (auto flag = value.boolValue()) return add(*flag ? "\x09" : "\x08");
        if (auto number = value.integerValue()) {
            std::string bytes = "\x13";
            for (int b = 7; b >= 0; --b) bytes += static_cast<char>((static_cast<uint64_t>(*number) >> (8 * b)) & 0xFF);
            return add(bytes);
        }
        if (const std::string* string = value.string()) return text(*string);
        if (const Value::List* items = value.list()) {
            std::vector<uint64_t> refs;
            for (const Value& item : *items) refs.push_back(this->value(item));
            return list(refs);
        }
        std::vector<std::pair<uint64_t, uint64_t>> entries;
        for (const auto& [key, item] : *value.dictionary()) entries.emplace_back(text(key), this->value(item));
        return dictionary(entries);
    }
    // The file whose root holds `entries`.
    std::string file(const std::vector<std::pair<uint64_t, uint64_t>>& entries) {
        std::vector<uint64_t> refs;
        for (const auto& entry : entries) refs.push_back(entry.first);
        for (const auto& entry : entries) refs.push_back(entry.second);
        objects_[0] = binaryPropertyListMarker(0xD, entries.size()) + binaryPropertyListRefs(refs, 4);
        return binaryPropertyListFile(objects_, 4);
    }

private:
    bool shareTexts_;
    std::map<std::string, uint64_t> texts_;
    std::vector<std::string> objects_{""};
};

// The collection switched off, the consent platform's values and the
// settled keys, before `exercises` exercises.
constexpr const char* kSwitchedOff =
    "<key>/zevure/measurement/measurement_enabled_state</key><integer>2</integer>"
    "<key>IABTCF_gdprApplies</key><integer>1</integer><key>IABTCF_PurposeConsents</key><string>1111</string>";

inline std::string switchedOffXml(size_t exercises) {
    return userFirstXml(std::string(kUserFirstSettled) + kSwitchedOff + userFirstHistory(exercises));
}

class UserValuesProcessTest : public DriverTest {
  protected:
    explicit UserValuesProcessTest(const char* label) : DriverTest(label) {}

    std::filesystem::path preferences() const { return root.path() / "Library/Preferences/org.calvaro.Calvaro.plist"; }
    std::filesystem::path engineDictionary() const {
        return measurementFolder(root.path()) / "app.calvaro.analytics.measurement.plist";
    }

    void plant(const std::filesystem::path& file, const std::string& bytes) {
        std::filesystem::create_directories(file.parent_path());
        std::filesystem::permissions(root.path(), std::filesystem::perms::owner_all);
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    }

    static foundation::Value readFile(const std::filesystem::path& file) {
        return foundation::parsePropertyList(firstStartFileText(file)).value_or(foundation::Value());
    }
    foundation::Value live() const { return readFile(preferences()); }

    // The formulas of the history.
    std::vector<std::string> formulas() const {
        std::vector<std::string> out;
        const foundation::Value calculations = live()["Calculations"];
        if (const foundation::Value::List* list = calculations.list())
            for (const foundation::Value& record : *list)
                if (const std::string* formula = record["latexString"].string()) out.push_back(*formula);
        return out;
    }

    // `calvaro` solving one exercise to the end of its script, accepting the
    // consent when the file does not hold it; its exit status, and what it
    // said on its error output.
    std::pair<int, std::string> solve() {
        const std::filesystem::path script = root.path() / "solve.txt";
        std::string steps;
        // A file too damaged or large for the test's own read holds the
        // consent in every row.
        const foundation::Value before = live();
        if (before.dictionary() && before["isDsgvoAccepted"].boolValue() != true) steps += "alert #dsgvoAcceptButton\n";
        std::ofstream(script) << steps + "tap toolbarRemoveButton\ntap aTextField\ntype 3\ntap bTextField\n"
                                         "type 2\ntap calculateButton\nsnapshot shown\n";
        const std::filesystem::path err = root.path() / "err.txt";
        std::filesystem::remove(err);
        const pid_t pid = spawnCalvaroInGroup(root.path(), script);
        EXPECT_GT(pid, 0);
        const int status = pid > 0 ? waitForCalvaro(pid, std::chrono::seconds(kUnderAddressSanitizer ? 400 : 120)) : -1;
        return {status, firstStartFileText(err)};
    }


    // One start over a file with the collection switched off: it ends well,
    // logs the collection disabled at start (never enabled), and keeps the
    // switch, the consent platform's consents and the exercises `kept`.
    // What it said.
    std::string startSwitchedOff(const std::vector<size_t>& kept) {
        const auto [status, said] = solve();
        EXPECT_EQ(status, 0) << said;
        EXPECT_NE(said.find("I-MSR023013"), std::string::npos) << said;
        EXPECT_EQ(said.find("I-MSR023012"), std::string::npos) << said;
        const foundation::Value now = live();
        EXPECT_EQ(now["/zevure/measurement/measurement_enabled_state"].integerValue(), 2) << said;
        EXPECT_EQ(now["IABTCF_PurposeConsents"], foundation::Value("1111")) << said;
        const std::vector<std::string> formulas = this->formulas();
        const std::set<std::string> held(formulas.begin(), formulas.end());
        for (size_t i : kept) EXPECT_EQ(held.count("f_{" + std::to_string(i) + "}"), 1u) << i << "\n" << said;
        return said;
    }
};
