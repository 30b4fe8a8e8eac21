// Every date the readers build, the writer writes back as it was read: a
// date outside the writer's range froze the file that held it (every change
// refused, for good).

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <limits>
#include <string>

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/foundation/TempFolder.h"
#include "tests/support/BinaryPropertyListBytes.h"

namespace fs = std::filesystem;
using foundation::Value;

namespace {

// The writer's range, as seconds since 1970: 1932-12-13T20:45:53Z and
// 2069-01-19T03:14:07Z.
constexpr double kDatesEarliest = -1169176447.0;
constexpr double kDatesLatest = 3125790847.0;

std::string datesXml(const std::string& text) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n\t<key>when</key>\n\t<date>" +
           text + "</date>\n\t<key>consent</key>\n\t<true/>\n</dict>\n</plist>\n";
}

// {when: a binary date of `since2001` seconds, consent: true}.
std::string datesBinary(double since2001) {
    uint64_t bits;
    std::memcpy(&bits, &since2001, sizeof bits);
    std::string date = "\x33";
    for (int b = 7; b >= 0; --b) date += static_cast<char>((bits >> (8 * b)) & 0xFF);
    return binaryPropertyListFile({binaryPropertyListMarker(0xD, 2) + binaryPropertyListRefs({1, 2, 3, 4}, 1),
                                   "\x54when", "\x57" "consent", date, "\x09"},
                                  1);
}

struct DatesRow {
    const char* name;
    std::string file;
    double read;  // seconds since 1970
};

class PropertyListDatesTest : public TempFolderTest {};

TEST_F(PropertyListDatesTest, EveryDateReadIsWrittenBackAndAFileHoldingOneTakesChanges) {
    const DatesRow rows[] = {
        {"xml 1900", datesXml("1900-01-01T00:00:00Z"), kDatesEarliest},
        {"xml 2100", datesXml("2100-01-01T00:00:00Z"), kDatesLatest},
        {"xml first second", datesXml("1932-12-13T20:45:53Z"), kDatesEarliest},
        {"xml one before", datesXml("1932-12-13T20:45:52Z"), kDatesEarliest},
        {"xml last second", datesXml("2069-01-19T03:14:07Z"), kDatesLatest},
        {"xml one after", datesXml("2069-01-19T03:14:08Z"), kDatesLatest},
        {"xml ordinary", datesXml("2024-05-01T12:30:00Z"), 1714566600.0},
        {"binary not a number", datesBinary(std::numeric_limits<double>::quiet_NaN()), kDatesEarliest},
        {"binary 1e12", datesBinary(1e12), kDatesLatest},
        {"binary -1e12", datesBinary(-1e12), kDatesEarliest},
        {"binary infinity", datesBinary(std::numeric_limits<double>::infinity()), kDatesLatest},
        {"binary least 32-bit", datesBinary(-2147483648.0), kDatesEarliest},
        {"binary fraction", datesBinary(100.75), 978307300.0},
        {"binary negative fraction", datesBinary(-0.5), 978307199.0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto read = foundation::parsePropertyList(row.file);
        ASSERT_TRUE(read && read->dictionary());
        ASSERT_TRUE((*read)["when"].date());
        EXPECT_EQ((*read)["when"].date()->secondsSince1970, row.read);
        auto xml = foundation::propertyListXml(*read);
        ASSERT_TRUE(xml);
        EXPECT_EQ(foundation::parsePropertyList(*xml), read);

        // The file as a start meets it: later changes are stored.
        const fs::path dir = root_ / "Library" / "Preferences";
        fs::create_directories(dir);
        std::ofstream(dir / "dates.plist", std::ios::binary | std::ios::trunc) << row.file;
        {
            foundation::UserDefaults defaults(std::make_shared<foundation::PreferencesStore>(dir), "dates");
            EXPECT_TRUE(defaults.set("history", Value::List{1, 2, 3}));
        }
        foundation::UserDefaults again(std::make_shared<foundation::PreferencesStore>(dir), "dates");
        EXPECT_EQ(again.object("history"), (Value::List{1, 2, 3}));
        EXPECT_EQ(again.boolValue("consent"), true);
        EXPECT_EQ(again.date("when")->secondsSince1970, row.read);
    }
}

}  // namespace
