// The fetch validators name the stored configuration: the server answers 304
// to them. Dropping the configuration forgets them first, and on disk at
// once rather than with the dictionary's delayed write, so that no kill
// after the drop began leaves them beside a configuration that is gone;
// when the row cannot be changed they are gone all the same (the next
// fetch asks for the whole configuration, which costs only bytes).

#include "tests/storage/StorageTestSupport.h"
#include "tests/storage/StoredValidators.h"

namespace {

constexpr const char* kValidatorsSuite = "test.validators";

}  // namespace

class ConfigValidatorsDropTest : public StorageTest {};

TEST_F(ConfigValidatorsDropTest, TheValidatorsGoFirstAndAreOffTheDiskAtOnce) {
    const struct {
        const char* name;
        bool rowGone;  // the row cannot be updated
    } rows[] = {
        {"the configuration's row is updated", false},
        {"the configuration's row cannot be updated", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        StoredValidators stored;
        ASSERT_NO_FATAL_FAILURE(storeConfigurationWithValidators(kValidatorsSuite, executor_, stored));
        auto& [config, database] = stored;
        ASSERT_TRUE(database->hasRemoteConfigValidators());
        if (row.rowGone) shell(database->databasePath(), "DELETE FROM app_metadata");

        EXPECT_EQ(dropOnTheWorker(*database, executor_), !row.rowGone);
        EXPECT_FALSE(database->hasRemoteConfigValidators());
        // What a kill now would leave: the file as another start reads it,
        // no virtual time gone by.
        auto afterAKill = MSRPersistedConfig::initWithSuiteName(kValidatorsSuite);
        EXPECT_EQ(afterAKill->configServerETag(), std::nullopt);
        EXPECT_EQ(afterAKill->configServerLastModifiedString(), std::nullopt);
        if (!row.rowGone) {
            // The fetch is due at once: no fetch time is left.
            EXPECT_EQ(database->queryMeasurementConfigData(nullptr), std::nullopt);
            EXPECT_EQ(database->lastRemoteConfigUpdateTimestamp(nullptr), std::nullopt);
        }
        database.reset();
        afterAKill.reset();
        config.reset();
        executor_.runUntilIdle();
        std::filesystem::remove_all(MSRSDKDirectoryPath());
    }
}
