// Where a kill could come in the middle of a drop of the stored
// configuration: at the moment its row changes. A trigger on the row calls
// back into the test from the engine's own statement, so this moment comes
// every run; the validators must be off the disk by then. (A start after
// such a kill finds validators without a configuration and drops them too,
// so the order shows only here, in what the kill leaves on disk.)

#include <sqlite3.h>

#include <fstream>
#include <sstream>

#include "analytics/storage/MSRFilePaths.h"
#include "tests/storage/StorageTestSupport.h"
#include "tests/storage/StoredValidators.h"

namespace {

constexpr const char* kKillOrderSuite = "test.validators.order";

// What the validators' file held each time the row was changed.
std::vector<std::string>& killOrderFileAtRowChanges() {
    static std::vector<std::string> texts;
    return texts;
}

void killOrderProbe(sqlite3_context* context, int, sqlite3_value**) {
    std::ifstream in(MSRSDKPlistPath(kKillOrderSuite), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    killOrderFileAtRowChanges().push_back(text.str());
    sqlite3_result_null(context);
}

// Gives every connection opened while it is registered the probe function.
int killOrderRegisterProbe(sqlite3* handle, const char**, const sqlite3_api_routines*) {
    return sqlite3_create_function_v2(handle, "kill_order_probe", 0, SQLITE_UTF8, nullptr, killOrderProbe, nullptr,
                                      nullptr, nullptr);
}

}  // namespace

class ConfigValidatorsKillOrderTest : public StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        killOrderFileAtRowChanges().clear();
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(killOrderRegisterProbe));
    }
    void TearDown() override {
        sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(killOrderRegisterProbe));
        StorageTest::TearDown();
    }
};

TEST_F(ConfigValidatorsKillOrderTest, AKillAtTheRowsChangeFindsTheValidatorsGone) {
    StoredValidators stored;
    ASSERT_NO_FATAL_FAILURE(storeConfigurationWithValidators(kKillOrderSuite, executor_, stored));
    auto& [config, database] = stored;
    shell(database->databasePath(),
          "CREATE TRIGGER kill_order BEFORE UPDATE OF remote_config_data ON app_metadata "
          "WHEN NEW.remote_config_data IS NULL BEGIN SELECT kill_order_probe(); END;");

    EXPECT_TRUE(dropOnTheWorker(*database, executor_));
    ASSERT_EQ(killOrderFileAtRowChanges().size(), 1u) << "the row's change was not seen";
    const std::string& onDisk = killOrderFileAtRowChanges().front();
    EXPECT_NE(onDisk, "") << "no validators' file";
    EXPECT_EQ(onDisk.find("config_etag"), std::string::npos) << onDisk;
    EXPECT_EQ(onDisk.find("last_modified_since_key"), std::string::npos) << onDisk;

    database.reset();
    config.reset();
    executor_.runUntilIdle();
}
