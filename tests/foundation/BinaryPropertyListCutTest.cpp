// A binary property list cut short at any byte, or whose offset table or
// trailer is damaged, keeps every entry whose key and value lie whole
// before the damage: its objects are found by a walk from the header.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/PropertyList.h"
#include "tests/foundation/TempFolder.h"
#include "tests/support/BinaryPropertyListBytes.h"

using foundation::Value;

namespace {

// A file put together object by object, each with the value it reads as
// and the objects it refers to; the root dictionary is object 0, first.
class CutFile {
public:
    explicit CutFile(int refSize) : refSize_(refSize) {}

    uint64_t add(std::string bytes, Value value, std::vector<uint64_t> refers = {}) {
        objects_.push_back(std::move(bytes));
        values_.push_back(std::move(value));
        refers_.push_back(std::move(refers));
        return objects_.size() - 1;
    }
    uint64_t text(const std::string& text) { return add(binaryPropertyListMarker(0x5, text.size()) + text, Value(text)); }
    uint64_t list(const std::vector<uint64_t>& items) { return list(add("", Value()), items); }
    // The list in the place `slot` kept for it before its items, as a
    // writer that puts each object before those it refers to lays it.
    uint64_t list(uint64_t slot, const std::vector<uint64_t>& items) {
        Value::List list;
        for (uint64_t item : items) list.push_back(values_[item]);
        objects_[slot] = binaryPropertyListMarker(0xA, items.size()) + binaryPropertyListRefs(items, refSize_);
        values_[slot] = Value(std::move(list));
        refers_[slot] = items;
        return slot;
    }
    uint64_t dictionary(const std::vector<std::pair<uint64_t, uint64_t>>& entries) {
        std::vector<uint64_t> refs;
        for (const auto& entry : entries) refs.push_back(entry.first);
        for (const auto& entry : entries) refs.push_back(entry.second);
        Value::Dictionary dictionary;
        for (const auto& [key, value] : entries) dictionary.emplace(*values_[key].string(), values_[value]);
        return add(binaryPropertyListMarker(0xD, entries.size()) + binaryPropertyListRefs(refs, refSize_),
                   Value(std::move(dictionary)), refs);
    }

    // The file whose root holds `entries`.
    std::string file(const std::vector<std::pair<uint64_t, uint64_t>>& entries) {
        entries_ = entries;
        std::vector<uint64_t> refs;
        for (const auto& entry : entries) refs.push_back(entry.first);
        for (const auto& entry : entries) refs.push_back(entry.second);
        objects_[0] = binaryPropertyListMarker(0xD, entries.size()) + binaryPropertyListRefs(refs, refSize_);
        refers_[0] = refs;
        ends_.clear();
        uint64_t at = 8;
        for (const auto& object : objects_) ends_.push_back(at += object.size());
        return binaryPropertyListFile(objects_, refSize_);
    }

    // What a salvage of the first `cut` bytes keeps: each entry whose key
    // and value (with all it refers to) end by the cut, and of a list
    // whose own object does, the items that do.
    Value::Dictionary keptBefore(uint64_t cut) const {
        Value::Dictionary kept;
        if (ends_[0] > cut) return kept;
        for (const auto& [key, value] : entries_) {
            if (!wholeBefore(key, cut)) continue;
            if (wholeBefore(value, cut)) {
                kept.emplace(*values_[key].string(), values_[value]);
            } else if (values_[value].list() && ends_[value] <= cut) {
                Value::List items;
                for (uint64_t item : refers_[value])
                    if (wholeBefore(item, cut)) items.push_back(values_[item]);
                kept.emplace(*values_[key].string(), Value(std::move(items)));
            }
        }
        return kept;
    }

private:
    bool wholeBefore(uint64_t object, uint64_t cut) const {
        if (ends_[object] > cut) return false;
        for (uint64_t inner : refers_[object])
            if (!wholeBefore(inner, cut)) return false;
        return true;
    }

    int refSize_;
    std::vector<std::string> objects_{""};
    std::vector<Value> values_{Value()};
    std::vector<std::vector<uint64_t>> refers_{{}};
    std::vector<uint64_t> ends_;
    std::vector<std::pair<uint64_t, uint64_t>> entries_;
};

// Preferences as Calvaro keeps them: flags, a number, texts (one UTF-16),
// data, a real, the collection switch, and a history of records sharing
// their key, one of them holding a nested list; `records` of them. The
// history's list stands before its records.
std::string preferencesFile(CutFile& file, size_t records, bool keysFirst = true) {
    std::vector<std::pair<uint64_t, uint64_t>> root;
    // Each key before its value, or after it.
    const auto put = [&](const char* key, const auto& value) {
        const uint64_t first = keysFirst ? file.text(key) : value();
        const uint64_t then = keysFirst ? value() : file.text(key);
        root.emplace_back(keysFirst ? first : then, keysFirst ? then : first);
    };
    const auto flag = [&](const char* key, bool on) { put(key, [&] { return file.add(on ? "\x09" : "\x08", Value(on)); }); };
    flag("isDsgvoAccepted", true);
    put("/zevure/measurement/measurement_enabled_state", [&] { return file.add("\x10\x02", Value(int64_t{2})); });
    put("counterForRating", [&] {
        return file.add(std::string("\x13\x00\x00\x00\x00\x00\x01\x00\x01", 9), Value(int64_t{65537}));
    });
    put("IABTCF_PurposeConsents", [&] { return file.text("1111"); });
    put("title", [&] { return file.add(std::string("\x62\x00\x65\x22\x1a", 5), Value(std::string("e\xe2\x88\x9a"))); });
    put("blob", [&] { return file.add(std::string("\x43\x01\x02\x03", 4), Value(Value::Bytes{1, 2, 3})); });
    put("ratio", [&] { return file.add(std::string("\x23\x3f\xf8\x00\x00\x00\x00\x00\x00", 9), Value(1.5)); });
    const uint64_t calculations = file.text("Calculations"), historySlot = file.add("", Value());
    const uint64_t formula = file.text("latexString");
    std::vector<uint64_t> history;
    for (size_t i = 0; i < records; ++i) {
        std::vector<std::pair<uint64_t, uint64_t>> record{{formula, file.text("f_{" + std::to_string(i) + "}")}};
        if (i == 1) {
            const uint64_t steps = file.text("solutionSteps"), first = file.text("x=1");
            record.emplace_back(steps, file.list({first, file.text("y=2")}));
        }
        history.push_back(file.dictionary(record));
    }
    root.emplace_back(calculations, file.list(historySlot, history));
    flag("isOnboardingFinished", true);
    return file.file(root);
}

}  // namespace

class BinaryPropertyListCut : public TempFolderTest {};

// Cut at every byte, with references of one byte or of two (the walk finds
// which), each key before its value or after it: exactly the entries wholly before the cut stay, and a cut history
// keeps its records that are whole. A file read a block at a time, as one
// too large to hold is, keeps the same (every fifth cut).
TEST_F(BinaryPropertyListCut, ACutAtAnyByteKeepsWhatLiesWholeBeforeIt) {
    const std::filesystem::path torn = root_ / "torn.plist";
    for (const auto& [refSize, keysFirst] : {std::pair{1, true}, {1, false}, {2, true}, {2, false}}) {
        SCOPED_TRACE("references of " + std::to_string(refSize) + " bytes, keys " + (keysFirst ? "first" : "last"));
        CutFile file(refSize);
        const std::string bytes = preferencesFile(file, 6, keysFirst);
        size_t wholeEntries = 0;
        for (uint64_t cut = 8; cut <= bytes.size(); ++cut) {
            SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(bytes.size()));
            const Value::Dictionary kept = foundation::salvagePropertyListDictionary(bytes.substr(0, cut));
            const Value::Dictionary expected = file.keptBefore(cut);
            ASSERT_EQ(Value(kept), Value(expected)) << foundation::propertyListXml(Value(kept)).value_or("")
                                                    << "\n" << foundation::propertyListXml(Value(expected)).value_or("");
            if (cut % 5 == 0) {
                std::ofstream(torn, std::ios::binary | std::ios::trunc) << bytes.substr(0, cut);
                ASSERT_EQ(Value(foundation::salvagePropertyListFile(torn)), Value(expected));
            }
            wholeEntries = std::max(wholeEntries, kept.size());
        }
        EXPECT_EQ(wholeEntries, 9u);
    }
}

// Whole files whose offset table or trailer is damaged: every entry stays.
TEST_F(BinaryPropertyListCut, ADamagedOffsetTableOrTrailerKeepsEveryEntry) {
    CutFile file(1);
    const std::string whole = preferencesFile(file, 3);
    const Value::Dictionary all = file.keptBefore(whole.size());
    std::string offsetPastTheFile = whole, trailerZeroed = whole, tableOffsetLost = whole;
    // The count of objects from the trailer: its table begins 4 bytes each before it.
    const uint64_t count = static_cast<uint8_t>(whole[whole.size() - 32 + 15]);
    const uint64_t tableAt = whole.size() - 32 - 4 * count;
    offsetPastTheFile.replace(tableAt + 4 * (count / 2), 4, "\xff\xff\xff\xff");
    trailerZeroed.replace(whole.size() - 32, 32, std::string(32, '\0'));
    tableOffsetLost.replace(whole.size() - 8, 8, std::string(8, '\x7f'));
    const struct {
        const char* name;
        const std::string& bytes;
        bool read;  // the file reads whole: its table is checked and set right
    } rows[] = {
        {"an offset past the file", offsetPastTheFile, true},
        {"a trailer of zeros", trailerZeroed, false},
        {"the table's place past the file", tableOffsetLost, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(foundation::parsePropertyList(row.bytes),
                  row.read ? std::optional(Value(all)) : std::nullopt);
        EXPECT_EQ(Value(foundation::salvagePropertyListDictionary(row.bytes)), Value(all));
    }
}

// The trailer's reference size changed: no entry of the root reads, and
// the file is refused whole (its reader then sets it aside), not read as
// an empty dictionary that a write would put in its place.
TEST_F(BinaryPropertyListCut, ARootOfWhichNoEntryReadsIsRefused) {
    CutFile file(1);
    const std::string whole = preferencesFile(file, 3);
    for (const char size : {'\x02', '\x04', '\x08'}) {
        std::string bytes = whole;
        bytes[whole.size() - 32 + 7] = size;
        EXPECT_EQ(foundation::parsePropertyList(bytes), std::nullopt) << int(size);
    }
}

// Every offset of the table moved by one byte either way, or by a whole
// object's length: the walk from the header decides, and the file reads
// whole, read at once, salvaged, and salvaged a block at a time. A length
// damaged inside an object sends the walk astray, not the table: every
// entry but the one holding that object stays.
TEST_F(BinaryPropertyListCut, AnOffsetMovedInsideTheFileIsSetRightByTheWalk) {
    const std::filesystem::path moved = root_ / "moved.plist";
    for (int refSize : {1, 2}) {
        CutFile file(refSize);
        const std::string whole = preferencesFile(file, 4);
        const Value all(file.keptBefore(whole.size()));
        const uint64_t count = static_cast<uint8_t>(whole[whole.size() - 32 + 15]);
        const uint64_t tableAt = whole.size() - 32 - 4 * count;
        const auto offset = [&](uint64_t i) {
            uint64_t at = 0;
            for (int b = 0; b < 4; ++b) at = (at << 8) | static_cast<uint8_t>(whole[tableAt + 4 * i + b]);
            return at;
        };
        for (uint64_t i = 0; i < count; ++i) {
            const uint64_t length = (i + 1 < count ? offset(i + 1) : tableAt) - offset(i);
            for (int64_t by : {int64_t{-1}, int64_t{1}, static_cast<int64_t>(length)}) {
                SCOPED_TRACE("references of " + std::to_string(refSize) + " bytes, object " +
                             std::to_string(i) + " of " + std::to_string(count) + " moved by " +
                             std::to_string(by));
                std::string bytes = whole;
                const uint64_t at = offset(i) + by;
                for (int b = 0; b < 4; ++b)
                    bytes[tableAt + 4 * i + b] = static_cast<char>((at >> (8 * (3 - b))) & 0xFF);
                EXPECT_EQ(foundation::parsePropertyList(bytes), std::optional(all));
                EXPECT_EQ(Value(foundation::salvagePropertyListDictionary(bytes)), all);
                std::ofstream(moved, std::ios::binary | std::ios::trunc) << bytes;
                EXPECT_EQ(Value(foundation::salvagePropertyListFile(moved)), all);
            }
        }
        // The consent platform's text "1111" read two bytes longer: its entry
        // reads as another text or not at all, and no other entry changes.
        std::string longer = whole;
        const size_t text = longer.find(
            "\x54"
            "1111");
        ASSERT_NE(text, std::string::npos);
        longer[text] = '\x56';
        const std::optional<Value> read = foundation::parsePropertyList(longer);
        ASSERT_TRUE(read && read->dictionary());
        Value::Dictionary others = *read->dictionary(), expected = *all.dictionary();
        others.erase("IABTCF_PurposeConsents");
        expected.erase("IABTCF_PurposeConsents");
        EXPECT_EQ(Value(others), Value(expected));
    }
}

// A text that is not UTF-8 costs the entries holding it, never the records
// or the history around them: a key every record shares, one record's
// field, one item of a list inside a record.
TEST_F(BinaryPropertyListCut, ADamagedTextCostsTheEntriesHoldingIt) {
    CutFile file(2);
    const std::string whole = preferencesFile(file, 4);
    const Value all(file.keptBefore(whole.size()));
    // The history with `edit` made to each record.
    const auto history = [&](const std::function<void(size_t, Value::Dictionary&)>& edit) {
        Value::Dictionary root = *all.dictionary();
        Value::List records;
        for (size_t i = 0; i < root["Calculations"].list()->size(); ++i) {
            Value::Dictionary record = *(*root["Calculations"].list())[i].dictionary();
            edit(i, record);
            records.push_back(Value(std::move(record)));
        }
        root["Calculations"] = Value(std::move(records));
        return Value(std::move(root));
    };
    const struct {
        const char* name;
        std::string text;  // the text damaged: its last byte made 0xFF
        Value expected;
    } rows[] = {
        {"the key every record shares", "latexString",
         history([](size_t, Value::Dictionary& record) { record.erase("latexString"); })},
        {"one record's formula", "f_{2}", history([](size_t i, Value::Dictionary& record) {
             if (i == 2) record.erase("latexString");
         })},
        {"an item of a record's steps", "x=1", history([](size_t i, Value::Dictionary& record) {
             if (i == 1) record["solutionSteps"] = Value(Value::List{Value("y=2")});
         })},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string bytes = whole;
        const size_t at = bytes.find(row.text);
        ASSERT_NE(at, std::string::npos);
        ASSERT_EQ(bytes.find(row.text, at + 1), std::string::npos);
        bytes[at + row.text.size() - 1] = '\xff';
        EXPECT_EQ(foundation::parsePropertyList(bytes), std::optional(row.expected));
        EXPECT_EQ(Value(foundation::salvagePropertyListDictionary(bytes)), row.expected);
    }
}
