// A wipe while a salvage waits: 20,000 events stored, the database damaged,
// and a start with too little room to copy them, so that a set-aside copy
// and the salvage's mark wait for a start with room. Then the engine is told
// to wipe its data at start-up: a reset left to retry, a new app ID, or a
// reset met by a start without room. None of the wiped events may arrive,
// at that start or any later one: the wipe takes the mark and the copy with
// the database, whichever branch of it runs.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "platform/foundation/PropertyList.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/FileSizeLimit.h"
#include "tests/e2e/MeasurementDatabase.h"

namespace {

namespace fs = std::filesystem;
using foundation::Value;
using tools::DriverProcess;

constexpr int64_t kWipedStored = 20000;
constexpr const char* kOtherApp = "1:1000000000:ios:0e2f";

class WipeWithSalvageProcessTest : public DriverTest {
  protected:
    WipeWithSalvageProcessTest() : DriverTest("wipe-salvage") {}
    void SetUp() override {
        DriverTest::SetUp();
        serveLargeDailyShares();
        measurement.setConfig(kOtherApp, tools::MeasurementCollector::makeConfig(
                                             kOtherApp, 1, {{"measurement.upload.initial_upload_delay_time", "1000"}}));
    }
    static void TearDownTestSuite() { seed().reset(); }

    fs::path databaseFile() const { return measurementDatabase(root.path()); }
    fs::path mark() const { return databaseFile().string() + ".salvage"; }
    fs::path copy() const { return databaseFile().string() + ".damaged-1"; }

    // The data root with the salvage waiting, made once for the binary and
    // put in place of this test's.
    void useWaitingSalvage() {
        if (!seed()) {
            ASSERT_NO_FATAL_FAILURE(makeWaitingSalvage());
            seed() = std::make_unique<TemporaryDataRoot>("wipe-salvage-seed");
            fs::copy(root.path(), seed()->path() / "root", fs::copy_options::recursive);
            if (fs::exists(keychainFolder()))
                fs::copy(keychainFolder(), seed()->path() / "keychain", fs::copy_options::recursive);
        }
        for (const fs::path& in : {root.path(), keychainFolder()}) {
            if (!fs::exists(in)) continue;
            for (const auto& entry : fs::directory_iterator(in)) fs::remove_all(entry.path());
        }
        fs::copy(seed()->path() / "root", root.path(), fs::copy_options::recursive);
        if (fs::exists(seed()->path() / "keychain"))
            fs::copy(seed()->path() / "keychain", keychainFolder(),
                     fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        // What the starts before said stays with the seed.
        fs::remove(root.path() / "console.log");
        measurement.clear();
        ASSERT_TRUE(fs::exists(mark()));
        ASSERT_TRUE(fs::exists(copy()));
    }

    // Stored, damaged, and met by a start with room for a fresh file and
    // its own events, not for a copy of the kept one to read.
    void makeWaitingSalvage() {
        // Outside debug mode no upload begins before the kill, however late
        // a crowded core lets it come: every event is kept as it was
        // logged, none gathered (and compressed) into a bundle.
        ASSERT_NO_FATAL_FAILURE(storeAndKill(1, kWipedStored, false));
        {
            // Without free pages: the kept file is then as large as the
            // rows it holds, whatever the kill left, and a fresh file with
            // every one of them copied is larger (see the second test).
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(databaseFile().c_str(), &db), SQLITE_OK);
            EXPECT_EQ(sqlite3_exec(db, "VACUUM", nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
        }
        ASSERT_NO_FATAL_FAILURE(damageTheLogOfReceipts(databaseFile()));
        const uintmax_t keptBytes = fs::file_size(databaseFile());
        // A page short of it is room for a fresh file and the start's own
        // events, not for a copy of it to read.
        ASSERT_GT(keptBytes, uintmax_t{256} << 10);
        auto own = numberedDriverEvents(100000, 20);
        std::optional<FileSizeLimitScope> limit(std::in_place, keptBytes - 4096);
        DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--first", "100000", "--count", "20"}));
        limit.reset();
        ASSERT_TRUE(measurement.waitUntil(
            [&](const std::vector<tools::CollectedUpload>& uploads) { return acceptedCount(uploads, own) >= 20; }, 300))
            << consoleTail();
        ASSERT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
    }

    // A reset asked for and not yet done, as the engine's preferences keep it.
    void askForAReset() {
        const fs::path suite = root.path() / "Library/Preferences/MSRAnalyticsSuiteName.plist";
        std::optional<Value> read;
        if (std::ifstream in(suite, std::ios::binary); in)
            read = foundation::parsePropertyList(std::string(std::istreambuf_iterator<char>(in), {}));
        Value::Dictionary values = read && read->dictionary() ? *read->dictionary() : Value::Dictionary{};
        values["reset_retry_count"] = Value(int64_t{1});
        const std::optional<std::string> xml = foundation::propertyListXml(Value(values));
        ASSERT_TRUE(xml);
        fs::create_directories(suite.parent_path());
        std::ofstream(suite, std::ios::binary | std::ios::trunc) << *xml;
    }

    // A start with room that logs 20 events from `first`, ended once they
    // have arrived: whatever a salvage brought back was sent before them.
    void startWithRoom(int64_t first, const char* appID) {
        auto own = numberedDriverEvents(first, 20);
        DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--app-id", appID, "--first", std::to_string(first),
                                                                   "--count", "20"}));
        EXPECT_TRUE(measurement.waitUntil(
            [&](const std::vector<tools::CollectedUpload>& uploads) { return acceptedCount(uploads, own) >= 20; }, 300))
            << consoleTail();
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
        expectEachAcceptedOnce(own, 20);
    }

    static std::unique_ptr<TemporaryDataRoot>& seed() {
        static std::unique_ptr<TemporaryDataRoot> folder;
        return folder;
    }
};

TEST_F(WipeWithSalvageProcessTest, NoWipedEventArrivesThenOrAtAnyLaterStart) {
    struct Case {
        const char* name;
        bool reset;                       // else a new app ID
        std::optional<rlim_t> noRoom;     // a first start with this little room
    } cases[] = {
        {"a reset left to retry", true, std::nullopt},
        {"a new app ID", false, std::nullopt},
        {"a reset met by a start without room", true, rlim_t{0}},
        {"a reset met by a start with 64 KiB", true, rlim_t{64} << 10},
    };
    auto wiped = numberedDriverEvents(1, kWipedStored);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(useWaitingSalvage());
        if (c.reset) {
            ASSERT_NO_FATAL_FAILURE(askForAReset());
        }
        const char* appID = c.reset ? kDriverApp : kOtherApp;
        if (c.noRoom) {
            const LimitedRun run = runWithFileLimit(
                CALVARO_EVENT_DRIVER, driverArguments({"--debug", "--count", "0"}), *c.noRoom, 300);
            // It could store nothing, and says so.
            EXPECT_NE(run.status, 0) << run.output;
            EXPECT_EQ(run.output.find("(the run did not end in time)"), std::string::npos) << run.output;
        }
        startWithRoom(300000, appID);
        EXPECT_FALSE(fs::exists(mark())) << consoleTail();
        EXPECT_FALSE(fs::exists(copy())) << consoleTail();
        startWithRoom(400000, appID);
        EXPECT_EQ(acceptedCount(measurement.uploads(), wiped), 0u) << consoleTail();
    }
}

}  // namespace

namespace {

std::string wipeSalvageBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A salvage commits a part of the kept events, and the mark that should
// follow it cannot be written (a folder with a file in it stands where each
// new mark is made); a later part finds no room, and the salvage waits. The
// start sends what the part brought; the next start, with room, goes on
// past that part: every kept event arrives once.
TEST_F(WipeWithSalvageProcessTest, APartWhoseMarkCouldNotFollowIsSentOnce) {
    ASSERT_NO_FATAL_FAILURE(useWaitingSalvage());
    const fs::path blocked = mark().string() + ".writing";
    ASSERT_TRUE(fs::create_directory(blocked));
    std::ofstream(blocked / "taken") << "x";
    const std::string markBefore = wipeSalvageBytes(mark());
    // Room for a copy of the kept file to read, not for every row of it in
    // the log of the fresh one (each page there takes a header too, and a
    // part rewrites the pages the part before ended on).
    const uintmax_t keptBytes = fs::file_size(copy());
    auto stored = numberedDriverEvents(1, kWipedStored);
    {
        std::optional<FileSizeLimitScope> limit(std::in_place, keptBytes);
        DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--count", "0", "--end-on-signal"}));
        limit.reset();
        EXPECT_TRUE(measurement.waitUntil(
            [&](const std::vector<tools::CollectedUpload>& uploads) { return acceptedCount(uploads, stored) > 0; },
            300))
            << consoleTail();
        endBySignal(driver);
    }
    const size_t sentWithoutRoom = acceptedCount(measurement.uploads(), stored);
    std::printf("  sent while the salvage waited: %zu of %lld\n", sentWithoutRoom, static_cast<long long>(kWipedStored));
    EXPECT_LT(sentWithoutRoom, static_cast<size_t>(kWipedStored));
    {
        std::ifstream in(root.path() / "console.log");
        const std::string said(std::istreambuf_iterator<char>(in), {});
        EXPECT_NE(said.find("waits for room to write: "), std::string::npos) << consoleTail();
    }
    EXPECT_EQ(wipeSalvageBytes(mark()), markBefore) << "no write of the mark went through";
    fs::remove_all(blocked);
    {
        // Its one event of its own has the rows uploaded at once.
        DriverProcess driver(CALVARO_EVENT_DRIVER, debugArguments({"--count", "0", "--marker", "1"}));
        EXPECT_TRUE(measurement.waitUntil(
            [&](const std::vector<tools::CollectedUpload>& uploads) {
                return acceptedCount(uploads, stored) >= static_cast<size_t>(kWipedStored);
            },
            300))
            << "arrived: " << acceptedCount(measurement.uploads(), stored) << consoleTail();
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
    }
    expectEachAcceptedOnce(stored, kWipedStored);
    EXPECT_FALSE(fs::exists(mark()));
}

}  // namespace
