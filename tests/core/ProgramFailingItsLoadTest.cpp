// A fetched configuration whose program passes every bound on arrival but
// fails its load run: the rest of it applies, the program at work goes on
// editing events, and what is stored carries the programs stored before, so
// the failure is logged once, on arrival, and never again at a start.

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "MeasurementEventsHarness.h"
#include "analytics/core/MSRComponentRegistry.h"
#include "analytics/core/MSRDatabaseRemoteConfig.h"
#include "analytics/core/MSREventEditingRegistration.h"
#include "analytics/messages/MSRPBFieldIndex.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/support/TestPaths.h"
#include "tools/assembler/ProgramAssembler.h"

namespace {

// Edits every event it sees: it sets "edited_by" to `who`.
std::string programFailingItsLoadText(const std::string& who, const std::string& atTheEnd = "") {
    return R"(
(function "rules" (array "r")
  (let "register") (assign "register" (require "internal.registerCallback"))
  (register 0 (lambda "edit" (array "e") (call $e "setParamValue" (array "edited_by" ")" +
           who + R"(")) (return 0)) (object "type" "edit")))
)" + atTheEnd;
}

MSRPBProgram programFailingItsLoad(const std::string& text, const std::string& rule) {
    std::string error;
    std::optional<MSRPBProgram> program = ProgramAssembler::assembleEditingProgram(text, rule, &error);
    EXPECT_TRUE(program) << error;
    return program.value_or(MSRPBProgram());
}

struct ProgramFailingItsLoad {
    const char* name;
    // The program at work before, if any.
    bool working;
    // The arriving program, which fails its load run.
    MSRPBProgram (*failing)();
};

const ProgramFailingItsLoad kProgramsFailingTheirLoad[] = {
    {"an activity that names no function, over a program at work", true,
     [] { return programFailingItsLoad(programFailingItsLoadText("new"), "absent_rules"); }},
    {"a top level that ends on a return, over a program at work", true,
     [] { return programFailingItsLoad(programFailingItsLoadText("new", "(return 1)"), "rules"); }},
    {"an activity that names no function, with none at work", false,
     [] { return programFailingItsLoad(programFailingItsLoadText("new"), "absent_rules"); }},
};

}  // namespace

class ProgramFailingItsLoadTest : public MeasurementEventsHarness {
  protected:
    void SetUp() override {
        MeasurementEventsHarness::SetUp();
        MSRRemoteConfig::setMeasurementURL(std::string("http://127.0.0.1:9"));
    }
    // As a new process on the same data root, with the interpreter.
    void restart() {
        stopEngine();
        MSRRegisterEventEditing();
        startEngine(options_);
        MSRRemoteConfig::setMeasurementURL(std::string("http://127.0.0.1:9"));
    }
    void TearDown() override {
        MSRRemoteConfig::setMeasurementURL(std::nullopt);
        MSRComponentRegistry::registerMaker<MSRPEventEditing>({});
        MeasurementEventsHarness::TearDown();
    }
    // A configuration of this application, of `version`, with `program`
    // and one data control named after the version.
    MSRPBMeasurementConfig configuration(int64_t version, const std::optional<MSRPBProgram>& program) {
        MSRPBMeasurementConfig config;
        MSRPBSetInt64(config, MSRConfigSlot::kVersion, version);
        MSRPBSetString(config, MSRConfigSlot::kAppID, options_.appID);
        if (program)
            MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>{*program});
        MSRPBDataControl control;
        MSRPBSetString(control, MSRDataControlSlot::kName, "control_" + std::to_string(version));
        MSRPBSetMessageArray(config, MSRConfigSlot::kDataControls, std::vector<MSRPBDataControl>{control});
        return config;
    }
    // Served as a fresh answer of the server.
    void fetch(const MSRPBMeasurementConfig& config) {
        net::FakeNetwork::Reply reply;
        reply.statusCode = 200;
        reply.headers["ETag"] = "etag-" + std::to_string(MSRPBGetInt64(config, MSRConfigSlot::kVersion));
        reply.body = config.protoBuffer().value_or(std::vector<uint8_t>{});
        network().enqueueReply(std::move(reply));
        engine().fetchRemoteConfig();
        runUntilIdle();
    }
    // Who edited an event logged now ("" for no one).
    std::string editedBy() {
        log("edited_or_not");
        const std::vector<StoredEvent> events = stored("edited_or_not");
        execute("DELETE FROM raw_events");
        if (events.size() != 1) return "(" + std::to_string(events.size()) + " events)";
        auto found = events[0].parameters.find("edited_by");
        const std::string* text = found == events[0].parameters.end() ? nullptr : found->second.stringValue();
        return text ? *text : "";
    }
    // The first program of the stored configuration, encoded.
    std::vector<uint8_t> storedProgram() {
        std::optional<MSRPBMeasurementConfig> stored = database().queryMeasurementConfig(nullptr);
        if (!stored) return {};
        std::vector<MSRPBProgram> programs =
            MSRPBGetMessageArray<MSRPBProgram>(*stored, MSRConfigSlot::kPrograms);
        return programs.empty() ? std::vector<uint8_t>{}
                                : programs[0].protoBuffer().value_or(std::vector<uint8_t>{});
    }
    // The stored configuration as protoc reads it, which the older builds'
    // reading of it follows.
    std::string storedAsProtocReadsIt() {
        const std::vector<std::string> rows = sql("SELECT remote_config_data FROM stored_config");
        if (rows.size() != 1) return "";
        const TemporaryDataRoot scratch("protoc");
        const auto in = scratch.path() / "config.bin";
        const auto out = scratch.path() / "config.txt";
        std::ofstream(in, std::ios::binary)
            .write(rows[0].data(), static_cast<std::streamsize>(rows[0].size()));
        const std::string command = "protoc --decode=msr.MeasurementConfig --proto_path='" +
                                    CALVARO_PROTO_DIR + "' config.proto < '" + in.string() + "' > '" +
                                    out.string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        std::stringstream text;
        text << std::ifstream(out).rdbuf();
        return text.str();
    }
    int64_t logged(int64_t code) {
        const std::vector<int64_t> all = codes();
        return std::count(all.begin(), all.end(), code);
    }
};

TEST_F(ProgramFailingItsLoadTest, TheProgramAtWorkGoesOnAndTheFailureIsLoggedOnce) {
    const MSRPBProgram atWork = programFailingItsLoad(programFailingItsLoadText("working"), "rules");
    for (const ProgramFailingItsLoad& row : kProgramsFailingTheirLoad) {
        SCOPED_TRACE(row.name);
        execute("DELETE FROM stored_config");
        restart();
        fetch(configuration(1, row.working ? std::optional<MSRPBProgram>(atWork) : std::nullopt));
        ASSERT_EQ(editedBy(), row.working ? "working" : "");
        const std::shared_ptr<MSRPEventEditing> working = remoteConfig().eventEditing();
        codes();

        fetch(configuration(2, row.failing()));
        EXPECT_EQ(logged(29026), 1);
        // The rest of the configuration applies, and is stored.
        EXPECT_EQ(remoteConfig().version(), 2);
        EXPECT_EQ(remoteConfig().dataControls(), std::vector<std::string>{"control_2"});
        EXPECT_EQ(MSRPBGetInt64(database().queryMeasurementConfig(nullptr).value(), MSRConfigSlot::kVersion),
                  2);
        EXPECT_EQ(persistedConfig().configServerETag(), "etag-2");
        // The program at work goes on, and stays stored in the failing one's place.
        EXPECT_EQ(remoteConfig().eventEditing(), working);
        EXPECT_EQ(editedBy(), row.working ? "working" : "");
        EXPECT_EQ(storedProgram(), row.working ? *atWork.protoBuffer() : std::vector<uint8_t>{});
        const std::string text = storedAsProtocReadsIt();
        EXPECT_NE(text.find("version: 2"), std::string::npos) << text;
        EXPECT_NE(text.find("control_2"), std::string::npos) << text;
        EXPECT_EQ(text.find("dynamic_event_editing") != std::string::npos, row.working) << text;
        EXPECT_EQ(text.find("\"new\""), std::string::npos) << text;

        // A later start loads what is stored, and logs no failure.
        restart();
        EXPECT_EQ(logged(29026), 0);
        EXPECT_EQ(remoteConfig().version(), 2);
        EXPECT_EQ(editedBy(), row.working ? "working" : "");
    }
}

// A configuration taken back (its transaction rolled back) leaves the stored
// one in force: the program at work goes on without a new load when it is
// the stored one, and the stored one is loaded again when the one at work
// came with what was taken back.
TEST_F(ProgramFailingItsLoadTest, ATakenBackConfigurationLeavesTheStoredProgramAtWork) {
    const MSRPBProgram atWork = programFailingItsLoad(programFailingItsLoadText("working"), "rules");
    const struct {
        const char* name;
        MSRPBProgram takenBack;
        int64_t loadsAgain;
    } rows[] = {
        {"the same program", atWork, 0},
        {"another program", programFailingItsLoad(programFailingItsLoadText("taken_back"), "rules"), 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        execute("DELETE FROM stored_config");
        restart();
        fetch(configuration(1, atWork));
        auto& stored = dynamic_cast<MSRDatabaseRemoteConfig&>(remoteConfig());
        runOnWorkerQueue([&] {
            EXPECT_FALSE(database().performTransaction([&] {
                EXPECT_TRUE(stored.updateMeasurementConfig(configuration(2, row.takenBack)));
                return false;
            }));
        });
        const std::shared_ptr<MSRPEventEditing> beforeTheReload = remoteConfig().eventEditing();
        codes();
        runOnWorkerQueue([&] { stored.reloadFromDatabase(); });
        EXPECT_EQ(logged(29027), row.loadsAgain);
        EXPECT_EQ(remoteConfig().eventEditing() == beforeTheReload, row.loadsAgain == 0);
        EXPECT_EQ(remoteConfig().version(), 1);
        EXPECT_EQ(editedBy(), "working");
    }
}
