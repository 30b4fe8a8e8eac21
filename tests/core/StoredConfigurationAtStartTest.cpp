// The configuration stored in the database is read at every start: it is
// counted on the wire against the bounds of an arriving one before any of
// it is built. One that a build before the bounds stored past one of them is
// dropped with a line of its own, once, and the start stays small with the
// defaults in force and events flowing; one within the bounds applies, at
// the bounds too, and the start holds only what the engine reads of it.

#include <malloc.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string_view>

#include "MeasurementEventsHarness.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/interpreter/MSRPInterpreterEventEditing.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/messages/MSRPBWireBounds.h"
#include "analytics/messages/MSRPBWireCount.h"
#include "tests/support/Sanitizer.h"
#include "tools/assembler/ProgramAssembler.h"

namespace {

// The sanitizers shadow and hold back memory: only a plain build measures it.
constexpr bool kStartResidentMeasured = !kUnderAddressSanitizer;

// The interpreter as the engine makes it, but with a load that no machine
// is too slow for: what is measured is what a load builds.
void registerStoredStartInterpreter() {
    MSRComponentRegistry::registerMaker<MSRPEventEditing>([](const MSRComponentContext&) {
        auto editing = std::make_shared<MSRPInterpreterEventEditing>();
        editing->runtime().setTimeLimit(std::chrono::minutes(10));
        return editing;
    });
}

int64_t storedStartStatusBytes(std::string_view field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::stoll(line.substr(field.size())) << 10;
    return -1;
}

void appendStoredStartVarint(std::vector<uint8_t>& out, uint64_t value) {
    for (; value >= 0x80; value >>= 7) out.push_back(static_cast<uint8_t>(value | 0x80));
    out.push_back(static_cast<uint8_t>(value));
}

// A configuration of `appID` whose repeated field at `path` (field indexes
// from the configuration down) holds `count` empty entries, as a hostile
// server sent them to a build that took them: two bytes each.
std::vector<uint8_t> storedStartEmptyEntries(const std::string& appID, const std::vector<uint32_t>& path,
                                             size_t count) {
    std::vector<uint32_t> tags;
    for (const MSRPBMessageType* type = &MSRPBMeasurementConfig::type(); uint32_t index : path) {
        tags.push_back(type->fields[index].tag);
        type = &MSRPBMessageTypeFor(type->fields[index].element);
    }
    std::vector<uint8_t> entries;
    for (size_t i = 0; i < count; ++i)
        entries.insert(entries.end(), {static_cast<uint8_t>(tags.back() << 3 | 2), 0});
    for (auto tag = tags.rbegin() + 1; tag != tags.rend(); ++tag) {
        std::vector<uint8_t> field;
        appendStoredStartVarint(field, (uint64_t{*tag} << 3) | 2);
        appendStoredStartVarint(field, entries.size());
        field.insert(field.end(), entries.begin(), entries.end());
        entries = std::move(field);
    }
    MSRPBMeasurementConfig config;
    MSRPBSetInt64(config, MSRConfigSlot::kVersion, 1);
    MSRPBSetString(config, MSRConfigSlot::kAppID, appID);
    std::vector<uint8_t> out = *config.protoBuffer();
    out.insert(out.end(), entries.begin(), entries.end());
    return out;
}

const char* kStoredStartProgram = R"(
(function "f" (array) true)
(function "rules" (array "r")
  (let "register") (assign "register" (require "internal.registerCallback"))
  (register 0 (lambda "edit" (array "e") (call $e "setParamValue" (array "edited_by" "stored")) (return 0))
    (object "type" "edit")))
)";

// A configuration at every bound the engine reads much of: the most
// settings and event configurations, data controls and consent defaults,
// and a program of the most entities (its first function grown to fill
// them), which edits every event.
std::vector<uint8_t> storedStartAtTheBounds(const std::string& appID) {
    MSRPBMeasurementConfig config;
    MSRPBSetInt64(config, MSRConfigSlot::kVersion, 2);
    MSRPBSetString(config, MSRConfigSlot::kAppID, appID);
    std::vector<MSRPBSetting> settings(MSRPBWireMost::kSettingsPerConfig);
    std::vector<MSRPBEventConfig> events(MSRPBWireMost::kEventConfigsPerConfig);
    for (size_t i = 0; i < settings.size(); ++i) {
        MSRPBSetString(settings[i], MSRSettingSlot::kName, "measurement.bound_" + std::to_string(i));
        MSRPBSetString(settings[i], MSRSettingSlot::kValue, std::to_string(i));
        MSRPBSetString(events[i], MSREventConfigSlot::kName, "bound_event_" + std::to_string(i));
        MSRPBSetInt32(events[i], MSREventConfigSlot::kSamplingRate, 1);
    }
    MSRPBSetMessageArray(config, MSRConfigSlot::kSettings, std::move(settings));
    MSRPBSetMessageArray(config, MSRConfigSlot::kEventConfigs, std::move(events));
    std::vector<MSRPBDataControl> controls(100);
    for (size_t i = 0; i < controls.size(); ++i)
        MSRPBSetString(controls[i], MSRDataControlSlot::kName, "control_" + std::to_string(i));
    MSRPBSetMessageArray(config, MSRConfigSlot::kDataControls, std::move(controls));
    std::vector<MSRPBConsentDefaultEntry> defaults(16);
    for (size_t i = 0; i < defaults.size(); ++i) {
        MSRPBSetInt32(defaults[i], MSRConsentDefaultSlot::kConsentType, static_cast<int32_t>(1 + i % 4));
        MSRPBSetInt32(defaults[i], MSRConsentDefaultSlot::kStatus, 1);
    }
    MSRPBConsentConfig consent;
    MSRPBSetMessageArray(consent, MSRConsentConfigSlot::kDefaults, std::move(defaults));
    MSRPBSetMessage(config, MSRConfigSlot::kConsentConfig, consent);

    std::string error;
    std::optional<MSRPBProgram> program =
        ProgramAssembler::assembleEditingProgram(kStoredStartProgram, "rules", &error);
    EXPECT_TRUE(program) << error;
    if (!program) return {};
    MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>{*program});
    const auto one =
        MSRPBTallyEncodedNestedMessages(*config.protoBuffer(), MSRPBMeasurementConfig::type(),
                                        {MSRConfigSlot::kPrograms}, MSRPBMessageID::RuntimeEntity);
    ProgramAssembler::repeatLastArgument(*program, 0, MSRPBWireMost::kProgramEntities - (one->total - 1));
    MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>{*program});
    return config.protoBuffer().value_or(std::vector<uint8_t>{});
}

// What a start may hold beyond the process before it, with any stored
// configuration: the bytes as read (at most 4 MiB, twice over while they
// are read and decoded), what the engine keeps of a configuration at the
// bounds (10,000 settings and event configurations, about 1 KiB each) and a
// program of 100,000 entities loaded (a value and its bookkeeping each).
constexpr int64_t kStartHoldsAtMost = int64_t{128} << 20;
// A configuration refused before any of it is built costs its bytes.
constexpr int64_t kRefusedStartHoldsAtMost = int64_t{24} << 20;

}  // namespace

class StoredConfigurationAtStartTest : public MeasurementEventsHarness {
  protected:
    void SetUp() override {
        MeasurementEventsHarness::SetUp();
        registerStoredStartInterpreter();
    }
    void TearDown() override {
        MSRComponentRegistry::registerMaker<MSRPEventEditing>({});
        MeasurementEventsHarness::TearDown();
    }
    // Ends the engine and stores `encoded` as its configuration, fetched
    // just now, as a build before this one did.
    void stopWithStored(const std::vector<uint8_t>& encoded) {
        const std::string path = database().databasePath();
        stopEngine();
        sqlite3* handle = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &handle), SQLITE_OK);
        sqlite3_stmt* statement = nullptr;
        ASSERT_EQ(
            sqlite3_prepare_v2(handle,
                               "UPDATE app_metadata SET remote_config_data = ?, remote_config_timestamp = ? "
                               "WHERE rowid = 1",
                               -1, &statement, nullptr),
            SQLITE_OK);
        sqlite3_bind_blob(statement, 1, encoded.data(), static_cast<int>(encoded.size()), SQLITE_TRANSIENT);
        sqlite3_bind_double(statement, 2, now());
        EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
        sqlite3_finalize(statement);
        sqlite3_close(handle);
        codes();
    }
    // As a new process on the same data root.
    void start() {
        registerStoredStartInterpreter();
        startEngine(options_);
    }
};

TEST_F(StoredConfigurationAtStartTest, OnePastABoundIsDroppedOnceAndEveryStartStaysSmall) {
    const struct {
        const char* name;
        std::vector<uint32_t> emptyEntriesAt;  // none: the configuration at the bounds
        bool refused;
    } rows[] = {
        {"2,000,000 empty consent defaults",
         {MSRConfigSlot::kConsentConfig, MSRConsentConfigSlot::kDefaults},
         true},
        {"2,000,000 empty data controls", {MSRConfigSlot::kDataControls}, true},
        {"2,000,000 empty programs", {MSRConfigSlot::kPrograms}, true},
        {"a configuration at the bounds", {}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<uint8_t> encoded =
            !row.emptyEntriesAt.empty()
                ? storedStartEmptyEntries(options_.appID, row.emptyEntriesAt, 2'000'000)
                : storedStartAtTheBounds(options_.appID);
        ASSERT_FALSE(encoded.empty());
        ASSERT_LE(encoded.size(), size_t{4} << 20);  // what a configuration answer may weigh
        // Within every bound or past one, as the row says.
        ASSERT_EQ(MSRPBWireRefusalOf(encoded, MSRPBMessageID::MeasurementConfig).has_value(), row.refused);

        stopWithStored(encoded);
        malloc_trim(0);
        std::ofstream("/proc/self/clear_refs") << "5";
        const int64_t before = storedStartStatusBytes("VmRSS:");
        // Only where the peak could be set back to what is resident now.
        const bool measured =
            kStartResidentMeasured && before > 0 && storedStartStatusBytes("VmHWM:") - before < (4 << 20);
        start();
        const int64_t growth = storedStartStatusBytes("VmHWM:") - before;
        std::printf("%s: %zu bytes stored, a start holds %.1f MiB more\n", row.name, encoded.size(),
                    static_cast<double>(growth) / (1 << 20));
        const std::vector<int64_t> logged = codes();
        const bool droppedWithItsLine = std::count(logged.begin(), logged.end(), 29028) == 1;
        EXPECT_EQ(droppedWithItsLine, row.refused);
        if (measured) {
            EXPECT_LE(growth, row.refused ? kRefusedStartHoldsAtMost : kStartHoldsAtMost)
                << (growth >> 20) << " MiB";
        }

        // The defaults apply without it; within the bounds it applies whole.
        EXPECT_EQ(remoteConfig().version(), row.refused ? -1 : 2);
        EXPECT_EQ(remoteConfig().dataControls().size(), row.refused ? 0u : 100u);
        EXPECT_EQ(remoteConfig().consentDefaults().size(), row.refused ? 0u : 4u);
        EXPECT_EQ(remoteConfig().eventEditing() != nullptr, !row.refused);
        log("after_start");
        const std::vector<StoredEvent> events = stored("after_start");
        ASSERT_EQ(events.size(), 1u);  // events keep flowing
        EXPECT_EQ(events[0].has("edited_by", MSRValue("stored")), !row.refused);
        execute("DELETE FROM raw_events");

        // Dropped, it is not read (nor logged) again at the next start;
        // within the bounds it stays.
        EXPECT_EQ(sql("SELECT NOT EXISTS (SELECT 1 FROM stored_config)"),
                  std::vector<std::string>{row.refused ? "1" : "0"});
        stopEngine();
        start();
        const std::vector<int64_t> again = codes();
        EXPECT_EQ(std::count(again.begin(), again.end(), 29028), 0);
        EXPECT_EQ(remoteConfig().version(), row.refused ? -1 : 2);
    }
}
