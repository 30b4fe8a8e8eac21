// The event driver over stored state another clock or another program left
// behind: an upload failure stamped a year ahead of the clock (a clock set
// back after it), at 1e308 or not a number, where the back-off once never
// ended and the orderly end hung; a keychain past its bound of items, once
// "damaged" at every start with the previous first-open count lost; and a
// keychain full of valid items of other services, which once refused
// Calvaro's own. The burst of the start is uploaded at that start, the end
// is orderly, and the first-open count survives a reinstall.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "analytics/reporters/MSRStoredFileBounds.h"
#include "analytics/storage/Keychain.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/PropertyListCharge.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/FirstStartProcess.h"

namespace {

namespace fs = std::filesystem;
using foundation::Value;

// Sets the dictionary key `suffix` to `text`, in place or added as the
// element `kind` ("real", "integer").
bool setStoredTimeText(const fs::path& home, const std::string& suffix, const std::string& text,
                       const std::string& kind = "real") {
    if (changeStoredDictionaryValue(home, suffix, [&](const std::string&) { return text; })) return true;
    std::string file = firstStartFileText(storedDictionaryFile(home));
    const size_t close = file.rfind("</dict>");
    if (close == std::string::npos) return false;
    file.insert(close, "\t<key>/zevure/measurement/" + suffix + "</key>\n\t<" + kind + ">" + text + "</" +
                           kind + ">\n");
    std::ofstream(storedDictionaryFile(home), std::ios::binary | std::ios::trunc) << file;
    return true;
}

// A valid generic-password item of another application, or of `service`.
Value storedTimesForeignItem(size_t i, size_t dataBytes, const std::string& service = {}) {
    Value::Dictionary attributes;
    attributes.emplace(Keychain::kClass, Value(Keychain::kClassGenericPassword));
    attributes.emplace(Keychain::kService,
                       Value(service.empty() ? "org.example.other" + std::to_string(i % 7) : service));
    attributes.emplace(Keychain::kAccount, Value("account" + std::to_string(i)));
    attributes.emplace(Keychain::kGeneric, Value("account" + std::to_string(i)));
    attributes.emplace(Keychain::kAccessible, Value(Keychain::kAccessibleAlwaysThisDeviceOnly));
    Value::Dictionary entry;
    entry.emplace("attributes", Value(std::move(attributes)));
    entry.emplace("data", Value(Value::Bytes(dataBytes, static_cast<uint8_t>('a' + i % 26))));
    return Value(std::move(entry));
}

}  // namespace

class StoredTimesAndKeychainProcessTest : public DriverTest {
  protected:
    StoredTimesAndKeychainProcessTest() : DriverTest("stored-times") {}

    fs::path keychainFile() const { return keychainFolder() / "keychain.plist"; }

    // The data root removed, as a reinstall removes it; the keychain stays.
    void reinstall() {
        for (const auto& entry : fs::directory_iterator(root.path()))
            if (entry.path().filename() != "console.log") fs::remove_all(entry.path());
    }

    // A start that logs events n in [first, first + count) and waits until
    // the collector accepted them all, then ends by "exit": its end must be
    // done within a minute, cleanly. False when the burst did not arrive.
    // `more` are further arguments of the driver.
    bool burstUploadedAndEnded(int64_t first, int64_t count, std::vector<std::string> more = {}) {
        auto ours = [first, count](const tools::CollectedEvent& event) {
            const auto n = event.intParam("n");
            return event.name == "e2e_event" && n && *n >= first && *n < first + count;
        };
        more.insert(more.end(), {"--first", std::to_string(first), "--count", std::to_string(count)});
        tools::DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments(std::move(more)));
        // Debug mode uploads a second after the newest event; the wait only
        // catches a back-off that never ends.
        const bool arrived = measurement.waitUntil(
            [&](const std::vector<tools::CollectedUpload>& uploads) {
                return acceptedCount(uploads, ours) >= static_cast<size_t>(count);
            },
            kUnderAddressSanitizer ? 240 : 90);
        EXPECT_TRUE(arrived) << consoleTail();
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
        std::printf("  the end took %.2f s\n",
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count());
        return arrived;
    }

    // The "_pfo" of the first-open events the collector accepted, in order.
    std::vector<int64_t> previousFirstOpenCounts() const {
        std::vector<int64_t> counts;
        for (const auto& event : measurement.acceptedEvents())
            if (event.name == "_f") counts.push_back(event.intParam("_pfo").value_or(-1));
        return counts;
    }

    void writeKeychain(const Value::List& items) {
        fs::create_directories(keychainFolder());
        fs::permissions(keychainFolder(), fs::perms::owner_all, fs::perm_options::replace);
        auto xml = foundation::propertyListXml(Value(items));
        ASSERT_TRUE(xml);
        std::ofstream(keychainFile(), std::ios::binary | std::ios::trunc) << *xml;
    }
    Value::List keychainItems() const {
        auto read = foundation::parsePropertyList(firstStartFileText(keychainFile()));
        return read && read->list() ? *read->list() : Value::List{};
    }
};

// last_failed_upload a year ahead of the clock, at 1e308 and not a number,
// and a back-off a year ahead (once read as one taken at the start, which
// held every upload for 12 h): the start's burst of 200 is uploaded at that
// start (debug mode, a second after it), and "exit" ends the driver within
// its minute.
TEST_F(StoredTimesAndKeychainProcessTest, AFailureStampedAheadOfTheClockHoldsNoUploadBack) {
    const double yearAhead =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() +
        365.0 * 86400;
    const struct {
        const char* name;
        const char* key;
        std::string text;
    } rows[] = {
        {"a year ahead", "last_failed_upload", std::to_string(yearAhead)},
        {"1e308", "last_failed_upload", "1e+308"},
        {"not a number", "last_failed_upload", "nan"},
        {"a back-off a year ahead", "last_backoff", std::to_string(yearAhead)},
    };
    int64_t first = 1000;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        reinstall();
        logAndEnd(first, 3);
        ASSERT_TRUE(setStoredTimeText(root.path(), row.key, row.text));
        ASSERT_TRUE(burstUploadedAndEnded(first + 100, 200));
        expectEachAcceptedOnce(
            [first](const tools::CollectedEvent& event) {
                const auto n = event.intParam("n");
                return event.name == "e2e_event" && n && *n >= first + 100 && *n < first + 300;
            },
            200);
        first += 1000;
    }
}

// Three ways a keychain holds no room for Calvaro's first-open count: 600
// items of other applications added to it (past its bound of 8,192 values),
// one filled to its bound with them before the first start, and 600 items of
// Calvaro's own service added after the count (which once gave way first, as
// the oldest of them). The count the first start stored survives the
// reinstall: the second start's first open says 1 start before it.
TEST_F(StoredTimesAndKeychainProcessTest, TheFirstOpenCountSurvivesAKeychainWithoutRoom) {
    const struct {
        const char* name;
        bool fullBeforeTheFirstStart;
        bool ownService;  // the items added are of the count's own service
    } rows[] = {
        {"600 foreign items added after the first start", false, false},
        {"full of foreign items before it", true, false},
        {"600 items of its own service added after the first start", false, true},
    };
    int64_t first = 1;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        reinstall();
        fs::remove_all(keychainFolder());
        const size_t opensBefore = previousFirstOpenCounts().size();
        if (row.fullBeforeTheFirstStart) {
            Value::List items;
            // Items of growing size up to the bound, each within it.
            for (size_t i = 0;; ++i) {
                items.push_back(storedTimesForeignItem(i, 16 + (i % 50) * 8));
                const auto size = foundation::propertyListSize(Value(items));
                if (size.values > kMSREngineFileBound.values || size.bytes > kMSREngineFileBound.bytes) {
                    items.pop_back();
                    break;
                }
            }
            writeKeychain(items);
            std::printf("  %zu foreign items fill the keychain\n", items.size());
        }
        // Its first open travels with its burst.
        ASSERT_TRUE(burstUploadedAndEnded(first, 5));
        if (!row.fullBeforeTheFirstStart) {
            Value::List items = keychainItems();
            ASSERT_EQ(items.size(), 1u) << firstStartFileText(keychainFile());
            const std::string* own = items[0]["attributes"][Keychain::kService].string();
            ASSERT_TRUE(own);
            for (size_t i = 0; i < 600; ++i)
                items.push_back(storedTimesForeignItem(i, 32, row.ownService ? *own : std::string()));
            writeKeychain(items);
        }
        reinstall();
        ASSERT_TRUE(burstUploadedAndEnded(first + 10, 5));
        // The two first opens of the row: none before, one start before.
        ASSERT_TRUE(measurement.waitUntil(
            [&](const std::vector<tools::CollectedUpload>& uploads) {
                return acceptedCount(uploads, [](const auto& event) { return event.name == "_f"; }) >=
                       opensBefore + 2;
            },
            60))
            << consoleTail();
        const std::vector<int64_t> counts = previousFirstOpenCounts();
        ASSERT_GE(counts.size(), opensBefore + 2);
        EXPECT_EQ(counts[opensBefore], 0);
        EXPECT_EQ(counts[opensBefore + 1], 1) << consoleTail();
        // What is kept stays within the bound and holds other applications'
        // items still.
        const auto kept = foundation::propertyListSize(Value(keychainItems()));
        EXPECT_LE(kept.values, kMSREngineFileBound.values);
        EXPECT_GT(keychainItems().size(), 100u);
        first += 100;
    }
}

// The stored state a session begins from, at its edges: a load time of 0
// (once the session's start, stored at 1970, holding the start's upload) and
// a session number at int64_t's maximum (once a signed overflow: the
// sanitizer tree exited 1, the release tree uploaded "_sno" = -2^63). Each
// with the last session ended, so that the start begins one: its "_s" is
// dated at the start, numbered as no negative count, and the burst is
// uploaded at that start.
TEST_F(StoredTimesAndKeychainProcessTest, ASessionBegunFromStoredStateAtItsEdgesIsDatedNowAndCounted) {
    const struct {
        const char* name;
        const char* key;
        const char* kind;
        const char* text;
        std::optional<int64_t> number;  // the "_sno" of the session begun, where known
    } rows[] = {
        {"a load time of 0", "load_timestamp", "real", "0", std::nullopt},
        {"a load time below 0", "load_timestamp", "real", "-86400", std::nullopt},
        {"the session number at its maximum", "session_number", "integer", "9223372036854775807", INT64_MAX},
    };
    int64_t first = 10000;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        reinstall();
        // The first start's own session is uploaded with its events.
        ASSERT_TRUE(burstUploadedAndEnded(first, 3, {"--sessions"}));
        ASSERT_TRUE(setStoredTimeText(root.path(), row.key, row.text, row.kind));
        ASSERT_TRUE(setStoredTimeText(root.path(), "last_engagement_end", "0"));
        const size_t before = measurement.acceptedEvents().size();
        const int64_t startedMillis = std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count();
        EXPECT_TRUE(burstUploadedAndEnded(first + 100, 20, {"--sessions"}));
        const auto accepted = measurement.acceptedEvents();
        size_t starts = 0;
        for (size_t i = before; i < accepted.size(); ++i) {
            if (accepted[i].name != "_s") continue;
            ++starts;
            // Dated at this start (a second's slack for the clock's reading).
            EXPECT_GE(accepted[i].timestampMillis, startedMillis - 1000);
            const auto number = accepted[i].intParam("_sno");
            ASSERT_TRUE(number);
            EXPECT_GE(*number, 0);
            EXPECT_EQ(*number, row.number.value_or(*number));
        }
        EXPECT_EQ(starts, 1u) << consoleTail();
        first += 1000;
    }
}
