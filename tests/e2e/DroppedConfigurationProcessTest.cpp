// The event driver on a data root whose stored configuration was thrown
// away between two runs: found unreadable, past a bound of the wire table,
// or lost with a database begun afresh. The server still serves the same
// configuration and answers 304 to its validators, so a start that kept
// them would run on the defaults until the server's configuration changed.
// The start after the loss asks for the whole configuration and stores it;
// one console line says that the defaults apply meanwhile, once.

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/FirstStartProcess.h"
#include "tests/e2e/MeasurementDatabase.h"

namespace dropped_configuration {

namespace fs = std::filesystem;
using tools::DriverProcess;

// The console line of a stored configuration that cannot be used.
constexpr const char* kDefaultsApplyLine = "MSR029040";
// The version of the configuration the collector serves (DriverTest's).
constexpr int64_t kServedVersion = 1;

// What a configuration request asked and was answered.
struct ConfigFetch {
    bool namedValidators = false;  // If-None-Match or If-Modified-Since
    int status = 0;
};

size_t occurrences(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

// Runs `sql` on the analytics database under `home`, binding `blob` to its
// one parameter when given; false when it did not run to its end.
bool changeDatabase(const fs::path& home, const std::string& sql,
                    const std::optional<std::vector<uint8_t>>& blob = std::nullopt) {
    sqlite3* db = nullptr;
    bool done = false;
    if (sqlite3_open(measurementDatabase(home).c_str(), &db) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
            if (blob) sqlite3_bind_blob(statement, 1, blob->data(), static_cast<int>(blob->size()), SQLITE_TRANSIENT);
            done = sqlite3_step(statement) != SQLITE_ERROR;
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return done;
}

// The version of the configuration stored under `home`: nullopt when none
// is stored or it does not decode, -1 for one without a version.
std::optional<int64_t> storedVersion(const fs::path& home) {
    sqlite3* db = nullptr;
    std::optional<int64_t> version;
    if (sqlite3_open_v2(measurementDatabase(home).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT remote_config_data FROM stored_config", -1, &statement, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_type(statement, 0) == SQLITE_BLOB) {
            const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement, 0));
            const std::vector<uint8_t> stored(bytes, bytes + sqlite3_column_bytes(statement, 0));
            if (auto config = MSRPBMeasurementConfig::initWithBuffer(stored)) {
                version = MSRPBHasField(*config, MSRConfigSlot::kVersion)
                              ? MSRPBGetInt64(*config, MSRConfigSlot::kVersion)
                              : -1;
            }
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return version;
}

// The database under `home` with its log folded into the file, as a clean
// end leaves it, and the first page of the table `table` overwritten with
// random bytes, as a disk fault leaves it.
bool damageTablePage(const fs::path& home, const std::string& table) {
    sqlite3* db = nullptr;
    int64_t pageSize = 0, rootPage = 0;
    if (sqlite3_open(measurementDatabase(home).c_str(), &db) == SQLITE_OK) {
        sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA page_size", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            pageSize = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        statement = nullptr;
        const std::string sql = "SELECT rootpage FROM sqlite_master WHERE name = '" + table + "'";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            rootPage = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    if (pageSize <= 0 || rootPage <= 1) return false;
    std::mt19937 random(std::random_device{}());
    std::string page(static_cast<size_t>(pageSize), '\0');
    for (char& byte : page) byte = static_cast<char>(random());
    std::fstream file(measurementDatabase(home), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp((rootPage - 1) * pageSize);
    file.write(page.data(), static_cast<std::streamsize>(page.size()));
    return static_cast<bool>(file);
}

// A configuration of the driver's application that an older build stored
// past the wire table's bound of 100 data controls.
std::vector<uint8_t> configurationPastABound() {
    MSRPBMeasurementConfig config = tools::MeasurementCollector::makeConfig(kDriverApp, 99, {});
    std::vector<MSRPBDataControl> controls(101);
    for (size_t i = 0; i < controls.size(); ++i)
        MSRPBSetString(controls[i], MSRDataControlSlot::kName, "control_" + std::to_string(i));
    MSRPBSetMessageArray(config, MSRConfigSlot::kDataControls, std::move(controls));
    return config.protoBuffer().value_or(std::vector<uint8_t>{});
}

class DroppedConfigurationProcessTest : public DriverTest {
  protected:
    DroppedConfigurationProcessTest() : DriverTest("droppedconfig") {}

    void SetUp() override {
        DriverTest::SetUp();
        collector.addObserver([this](const tools::RecordedRequest& request, const tools::ScriptedReply& reply) {
            if (request.path.rfind(tools::MeasurementCollector::kConfigPathPrefix, 0) != 0) return;
            std::lock_guard lock(fetchesMutex_);
            fetches_.push_back(
                {request.headers.count("if-none-match") + request.headers.count("if-modified-since") > 0,
                 reply.status});
            fetchArrived_.notify_all();
        });
    }

    std::vector<std::string> argumentsOn(const TemporaryDataRoot& home, int64_t number) const {
        return debugArguments({"--first", std::to_string(number), "--count", "1", "--home", home.path().string(),
                               "--log", (home.path() / "console.log").string()});
    }

    // A start logging one event, which is uploaded a second later in debug
    // mode, the configuration fetched after it. Answers that fetch, once
    // what it brought is stored; nullopt when none came.
    std::optional<ConfigFetch> startUntilFetched(const TemporaryDataRoot& home, int64_t number) {
        size_t before;
        {
            std::lock_guard lock(fetchesMutex_);
            before = fetches_.size();
        }
        DriverProcess driver(CALVARO_EVENT_DRIVER, argumentsOn(home, number));
        std::optional<ConfigFetch> fetch;
        {
            std::unique_lock lock(fetchesMutex_);
            if (fetchArrived_.wait_for(lock, std::chrono::seconds(120), [&] { return fetches_.size() > before; }))
                fetch = fetches_[before];
        }
        EXPECT_TRUE(fetch) << tools::consoleTail(home.path());
        if (fetch && fetch->status == 200) {
            // Stored in the transaction that follows the answer.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (storedVersion(home.path()) != kServedVersion && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << tools::consoleTail(home.path());
        return fetch;
    }

    // A start that logs one event and ends once it is uploaded.
    void startAndUpload(const TemporaryDataRoot& home, int64_t number) {
        DriverProcess driver(CALVARO_EVENT_DRIVER, argumentsOn(home, number));
        auto arrived = [number](const std::vector<tools::CollectedUpload>& uploads) {
            return acceptedCount(uploads, [number](const auto& event) { return event.intParam("n") == number; }) >= 1;
        };
        EXPECT_TRUE(measurement.waitUntil(arrived, 120)) << tools::consoleTail(home.path());
        EXPECT_EQ(driver.exitAndWait(kDriverExitHang), 0) << tools::consoleTail(home.path());
    }

    std::mutex fetchesMutex_;
    std::condition_variable fetchArrived_;
    std::vector<ConfigFetch> fetches_;
};

TEST_F(DroppedConfigurationProcessTest, AThrownAwayConfigurationIsFetchedWholeAgainWithOneLine) {
    const struct {
        const char* name;
        // What the start after the loss says of it on the console.
        const char* tellingCode;
        std::function<bool(const fs::path&)> loseIt;
    } rows[] = {
        {"an unreadable stored configuration, an hour old", nullptr,
         [](const fs::path& home) {
             return changeDatabase(home,
                                   "UPDATE app_metadata SET remote_config_data = x'0a64', remote_config_timestamp "
                                   "= CAST(strftime('%s', 'now') AS REAL) - 7200");
         }},
        {"a database begun afresh", "MSR034023",
         [](const fs::path& home) { return damageTablePage(home, "stored_config"); }},
        {"a stored configuration past a bound", "MSR029028",
         [](const fs::path& home) {
             return changeDatabase(home, "UPDATE app_metadata SET remote_config_data = ?", configurationPastABound());
         }},
    };
    int64_t number = 1;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const TemporaryDataRoot home("droppedconfig");
        const fs::path dictionary = measurementFolder(home.path()) / "app.calvaro.analytics.measurement.plist";

        // Stored, with the server's validators beside it.
        const std::optional<ConfigFetch> first = startUntilFetched(home, number++);
        ASSERT_TRUE(first && first->status == 200 && !first->namedValidators);
        ASSERT_EQ(storedVersion(home.path()), kServedVersion) << tools::consoleTail(home.path());
        ASSERT_NE(firstStartFileText(dictionary).find("config_etag"), std::string::npos);

        ASSERT_TRUE(row.loseIt(home.path()));
        const std::optional<ConfigFetch> after = startUntilFetched(home, number++);
        const std::string console = firstStartFileText(home.path() / "console.log");
        ASSERT_TRUE(after);
        EXPECT_FALSE(after->namedValidators);
        EXPECT_EQ(after->status, 200);
        EXPECT_EQ(storedVersion(home.path()), kServedVersion) << tools::consoleTail(home.path());
        if (row.tellingCode) {
            EXPECT_NE(console.find(row.tellingCode), std::string::npos) << tools::consoleTail(home.path());
        }
        EXPECT_EQ(occurrences(console, kDefaultsApplyLine), 1u) << tools::consoleTail(home.path());

        // Once: the configuration stored, the next start says nothing of it
        // and keeps it with its validators.
        startAndUpload(home, number++);
        EXPECT_EQ(occurrences(firstStartFileText(home.path() / "console.log"), kDefaultsApplyLine), 1u)
            << tools::consoleTail(home.path());
        EXPECT_EQ(storedVersion(home.path()), kServedVersion);
        EXPECT_NE(firstStartFileText(dictionary).find("config_etag"), std::string::npos);
        if (HasFatalFailure()) return;
    }
}

}  // namespace dropped_configuration
