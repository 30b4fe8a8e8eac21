// A start reads the stored configuration with its lists kept encoded and
// builds an element only where it uses it: the programs after the first are
// carried, never loaded, so a configuration holding every entity its bound
// allows in those programs (0.6 MB) costs a start little more than its
// bytes. Decoded whole, the same start builds every entity as a message
// (about 33 MiB more, measured).

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/messages/MSRPBWireCount.h"
#include "platform/dispatch/Clock.h"
#include "tests/e2e/DriverHarness.h"
#include "tests/e2e/HostileRoad.h"
#include "tests/e2e/MeasurementDatabase.h"
#include "tools/assembler/ProgramAssembler.h"

namespace stored_configuration_peak {


// What the row lets the stored configuration cost a start beyond a usual
// start: its bytes many times over, and half of what its entities cost built.
constexpr int64_t kStoredPeakAllowance = int64_t{16} << 20;

// The configuration of the driver's application at the entities' bound: the
// first program small, nine more holding what is left of the bound.
std::vector<uint8_t> configurationAtTheEntitiesBound() {
    MSRPBMeasurementConfig config = tools::MeasurementCollector::makeConfig(
        kDriverApp, 3, {{"measurement.upload.initial_upload_delay_time", "1000"}});
    std::vector<MSRPBProgram> programs{hostile_road::programOfLiterals(1)};
    auto entitiesOf = [](const std::vector<MSRPBProgram>& programs) {
        MSRPBMeasurementConfig counted;
        MSRPBSetMessageArray(counted, MSRConfigSlot::kPrograms, programs);
        return MSRPBTallyEncodedNestedMessages(*counted.protoBuffer(), MSRPBMeasurementConfig::type(),
                                               {MSRConfigSlot::kPrograms}, MSRPBMessageID::RuntimeEntity)
            ->total;
    };
    const size_t first = entitiesOf(programs);
    const size_t perProgram = (MSRPBWireMost::kProgramEntities - first) / 9;
    const size_t eachBase = entitiesOf({hostile_road::programOfLiterals(1)}) - 1;
    for (int i = 0; i < 9; ++i) programs.push_back(hostile_road::programOfLiterals(perProgram - eachBase));
    MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::move(programs));
    return *config.protoBuffer();
}

// Stores `bytes` as the configuration of the database under `home`, fetched
// just now, as a fetch of it would have left it.
bool storeConfiguration(const std::filesystem::path& home, const std::vector<uint8_t>& bytes) {
    sqlite3* handle = nullptr;
    if (sqlite3_open(measurementDatabase(home).c_str(), &handle) != SQLITE_OK) return false;
    sqlite3_stmt* statement = nullptr;
    bool stored = sqlite3_prepare_v2(handle,
                                     "UPDATE app_metadata SET remote_config_data = ?, remote_config_timestamp = ?",
                                     -1, &statement, nullptr) == SQLITE_OK;
    if (stored) {
        sqlite3_bind_blob64(statement, 1, bytes.data(), bytes.size(), SQLITE_STATIC);
        sqlite3_bind_double(statement, 2, dispatch::Clock::now());
        stored = sqlite3_step(statement) == SQLITE_DONE && sqlite3_changes(handle) == 1;
    }
    sqlite3_finalize(statement);
    sqlite3_close(handle);
    return stored;
}

class StoredConfigurationPeakTest : public hostile_road::HostileRoadTest {
  protected:
    StoredConfigurationPeakTest() : HostileRoadTest("storedconfigpeak") {}
};

TEST_F(StoredConfigurationPeakTest, AStartOverAConfigurationAtTheEntitiesBoundStaysNearAUsualStart) {
    const std::vector<uint8_t> configuration = configurationAtTheEntitiesBound();
    ASSERT_FALSE(MSRPBWireRefusalOf(configuration, MSRPBMessageID::MeasurementConfig));
    const int64_t usual = startAndEnd();
    ASSERT_TRUE(storeConfiguration(root.path(), configuration));
    measurement.clear();
    const int64_t started = startAndEnd();
    {
        // Read and taken at the start: not dropped, no refusal.
        const std::string console = tools::consoleTail(root.path(), 4000);
        for (const char* dropped : {"I-MSR029031", "I-MSR029028", "I-MSR029016"})
            EXPECT_EQ(console.find(dropped), std::string::npos) << dropped << tail();
    }
    std::printf("a start over a stored configuration of %zu bytes peaked at %lld MiB (a usual start %lld MiB)\n",
                configuration.size(), static_cast<long long>(started >> 20), static_cast<long long>(usual >> 20));
    EXPECT_GT(started, 0);
    EXPECT_LT(started - usual, kStoredPeakAllowance * (kUnderAddressSanitizer ? 2 : 1))
        << (started >> 20) << " MiB against " << (usual >> 20) << " MiB";
}

}  // namespace stored_configuration_peak
