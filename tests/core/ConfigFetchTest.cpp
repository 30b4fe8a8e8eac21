// The configuration fetch in virtual time: what each answer stores, which
// validators travel back, and how failures pace the next requests.

#include "MeasurementFixture.h"

#include "analytics/support/MSRRemoteConfig.h"

#include <cmath>

namespace {

const char* kBase = "http://127.0.0.1:9";

std::vector<uint8_t> configBody(const std::string& appID, int64_t version) {
    MSRPBMeasurementConfig config;
    MSRPBSetInt64(config, 0, version);
    MSRPBSetString(config, 1, appID);
    MSRPBSetMessageArray(config, 3, std::vector<MSRPBSetting>{});
    return config.protoBuffer().value_or(std::vector<uint8_t>{});
}

}  // namespace

class ConfigFetchTest : public MeasurementFixture {
protected:
    void SetUp() override {
        MeasurementFixture::SetUp();
        runUntilIdle();
        MSRRemoteConfig::setMeasurementURL(std::string(kBase));
        network().clearRequests();
    }
    void TearDown() override {
        MSRRemoteConfig::setMeasurementURL(std::nullopt);
        MeasurementFixture::TearDown();
    }

    // Stores version 1 with known validators and earlier failure times.
    void storeBaseline() {
        auto config = MSRPBMeasurementConfig::initWithBuffer(configBody(options_.appID, 1));
        ASSERT_TRUE(config);
        ASSERT_TRUE(remoteConfig().updateMeasurementConfig(*config));
        persistedConfig().setConfigServerETag("etag-1");
        persistedConfig().setConfigServerLastModifiedString("lm-1");
        persistedConfig().setLastFailedUploadTimestamp(5);
        persistedConfig().setLastBackoffTimestamp(5);
    }
    void fetchWithReply(net::FakeNetwork::Reply reply) {
        network().enqueueReply(std::move(reply));
        engine().fetchRemoteConfig();
        runUntilIdle();
    }
};

TEST_F(ConfigFetchTest, EachAnswerStoresOnlyWhatItShould) {
    // A valid message padded with a long unread text field.
    MSRPBMeasurementConfig padded = *MSRPBMeasurementConfig::initWithBuffer(configBody(options_.appID, 2));
    MSRPBSetString(padded, 11, std::string(4 * 1024 * 1024, 'x'));
    struct Case {
        const char* name;
        int status;
        std::vector<uint8_t> body;
        int64_t version;  // stored afterwards, with its validators
        bool succeeded;   // failure times cleared, configuration fresh
        bool backoff;     // back-off time set to now
    };
    const Case cases[] = {
        {"200 new", 200, configBody(options_.appID, 2), 2, true, false},
        {"304 not modified", 304, {}, 1, true, false},
        {"404 not found", 404, {}, 1, true, false},
        {"200 for another application", 200, configBody("1:999:ios:ffff", 2), 1, true, false},
        {"200 undecodable", 200, {0xff, 0xff, 0xff, 0x0f, 0x12}, 1, true, false},
        {"200 oversize", 200, *padded.protoBuffer(), 1, true, false},
        {"500", 500, {}, 1, false, false},
        {"503", 503, {}, 1, false, true},
        {"429", 429, {}, 1, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        storeBaseline();
        advanceBy(4000);  // the stored configuration has expired
        network().clearRequests();
        net::FakeNetwork::Reply reply;
        reply.statusCode = c.status;
        reply.headers["ETag"] = "etag-2";
        reply.headers["Last-Modified"] = "lm-2";
        reply.body = c.body;
        fetchWithReply(reply);
        auto requests = network().requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests[0].headers.at("If-None-Match"), "etag-1");
        EXPECT_EQ(requests[0].headers.at("If-Modified-Since"), "lm-1");
        EXPECT_EQ(requests[0].maximumResponseBytes, size_t{4} << 20);  // what a configuration may weigh
        EXPECT_EQ(MSRPBGetInt64(database().queryMeasurementConfig(nullptr).value(), 0), c.version);
        EXPECT_EQ(remoteConfig().version(), c.version);
        EXPECT_EQ(persistedConfig().configServerETag(), c.version == 2 ? "etag-2" : "etag-1");
        EXPECT_EQ(persistedConfig().configServerLastModifiedString(), c.version == 2 ? "lm-2" : "lm-1");
        EXPECT_FALSE(engine().isNetworkRequestPending());
        EXPECT_EQ(remoteConfig().isExpired(), !c.succeeded);
        EXPECT_DOUBLE_EQ(persistedConfig().lastFailedUploadTimestamp(), c.succeeded ? 0 : now());
        EXPECT_DOUBLE_EQ(persistedConfig().lastBackoffTimestamp(), c.succeeded ? 0 : (c.backoff ? now() : 5));
    }
}

TEST_F(ConfigFetchTest, NeitherNoEndpointNorAnUnstartedRequestStaysPending) {
    MSRRemoteConfig::setMeasurementURL(std::nullopt);
    engine().fetchRemoteConfig();
    runUntilIdle();
    EXPECT_TRUE(network().requests().empty());
    EXPECT_FALSE(engine().isNetworkRequestPending());

    MSRRemoteConfig::setMeasurementURL(std::string(kBase));
    network().failNextSession();
    engine().fetchRemoteConfig();
    runUntilIdle();
    EXPECT_FALSE(engine().isNetworkRequestPending());
    EXPECT_TRUE(engine().isNetworkReadyForRequest());
    EXPECT_DOUBLE_EQ(persistedConfig().lastFailedUploadTimestamp(), now());
}

TEST_F(ConfigFetchTest, TooManyRequestsHoldsEverythingForTheBackoffInterval) {
    MSRPBMeasurementBundle bundle;
    MSRPBSetString(bundle, 14, options_.appID);
    MSRPBSetInt64(bundle, 5, std::llround(now() * 1000));
    ASSERT_TRUE(database().insertBundle(bundle, false, nullptr));
    advanceBy(4000);
    network().clearRequests();
    fetchWithReply({429, {}, {}, std::nullopt});
    ASSERT_EQ(network().requests().size(), 1u);
    network().setResponder([](const net::FakeNetwork::Request&) { return net::FakeNetwork::Reply{204, {}, {}, {}}; });
    const double backoff = remoteConfig().uploadingBackoffInterval();
    advanceBy(backoff - 60);
    EXPECT_EQ(network().requests().size(), 1u);
    advanceBy(120);
    EXPECT_GT(network().requests().size(), 1u);
}

// Event configurations and settings are bounded per configuration and
// counted before any is built: a configuration past either bound is refused
// whole with the bound's own text, and the stored one stays in the database
// and in force. The bounds are written out here.
TEST_F(ConfigFetchTest, AConfigurationOfTooManyEntriesIsRefusedWhole) {
    // Version 2 with `eventConfigs` event configurations and `settings`
    // settings, each named apart from the others.
    auto body = [this](int eventConfigs, int settings) {
        MSRPBMeasurementConfig config = *MSRPBMeasurementConfig::initWithBuffer(configBody(options_.appID, 2));
        std::vector<MSRPBEventConfig> events(static_cast<size_t>(eventConfigs));
        for (int i = 0; i < eventConfigs; ++i) MSRPBSetString(events[i], 0, "event_" + std::to_string(i));
        MSRPBSetMessageArray(config, 4, std::move(events));
        std::vector<MSRPBSetting> values(static_cast<size_t>(settings));
        for (int i = 0; i < settings; ++i) {
            MSRPBSetString(values[i], 0, "measurement.setting_" + std::to_string(i));
            MSRPBSetString(values[i], 1, "2");
        }
        MSRPBSetMessageArray(config, 3, std::move(values));
        return config.protoBuffer().value_or(std::vector<uint8_t>{});
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> body;
        int64_t refusal;  // 0: taken
        const char* text;
    };
    const Case cases[] = {
        {"10,001 event configurations", body(10001, 1), 23298,
         "Configuration contains too many event configurations"},
        {"10,001 settings", body(1, 10001), 23299, "Configuration contains too many settings"},
        // The first bound passed in the answer's order: its settings come
        // before its event configurations on the wire.
        {"both past their bounds", body(10001, 10001), 23299, "Configuration contains too many settings"},
        {"10,000 of each", body(10000, 10000), 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The stored configuration blocks one event and sets one setting.
        MSRPBMeasurementConfig baseline = *MSRPBMeasurementConfig::initWithBuffer(configBody(options_.appID, 1));
        MSRPBEventConfig blocked;
        MSRPBSetString(blocked, 0, "event_0");
        MSRPBSetBool(blocked, 1, true);
        MSRPBSetMessageArray(baseline, 4, std::vector<MSRPBEventConfig>{blocked});
        MSRPBSetting setting;
        MSRPBSetString(setting, 0, "measurement.setting_0");
        MSRPBSetString(setting, 1, "1");
        MSRPBSetMessageArray(baseline, 3, std::vector<MSRPBSetting>{setting});
        ASSERT_TRUE(remoteConfig().updateMeasurementConfig(baseline));
        advanceBy(4000);  // the stored configuration has expired
        monitor_.takeLines();

        net::FakeNetwork::Reply reply;
        reply.statusCode = 200;
        reply.body = c.body;
        fetchWithReply(reply);
        std::vector<std::string> refusals;
        for (const std::string& line : monitor_.takeLines()) {
            if (line.find("I-MSR023298") != std::string::npos || line.find("I-MSR023299") != std::string::npos)
                refusals.push_back(line);
        }
        const int64_t version = c.refusal ? 1 : 2;
        EXPECT_EQ(MSRPBGetInt64(database().queryMeasurementConfig(nullptr).value(), 0), version);
        EXPECT_EQ(remoteConfig().version(), version);
        const std::optional<MSREventConfig> first = remoteConfig().eventConfigWithName("event_0");
        ASSERT_TRUE(first);
        EXPECT_EQ(first->blocklisted, c.refusal != 0);
        EXPECT_EQ(remoteConfig().eventConfigWithName("event_9999").has_value(), c.refusal == 0);
        const std::optional<MSRSettingValue> kept = remoteConfig().cachedValueForKey("measurement.setting_0");
        ASSERT_TRUE(kept && std::holds_alternative<std::string>(*kept));
        EXPECT_EQ(std::get<std::string>(*kept), c.refusal ? "1" : "2");
        EXPECT_EQ(remoteConfig().cachedValueForKey("measurement.setting_9999").has_value(), c.refusal == 0);
        if (c.refusal) {
            ASSERT_EQ(refusals.size(), 1u);
            EXPECT_NE(refusals[0].find("I-MSR0" + std::to_string(c.refusal)), std::string::npos) << refusals[0];
            EXPECT_NE(refusals[0].find(c.text), std::string::npos) << refusals[0];
        } else {
            EXPECT_TRUE(refusals.empty()) << refusals[0];
        }
    }
}

// A configuration's programs are counted on the wire, every entity at any
// depth: past the bound of one program in all they are refused whole with
// the bound's own text, and the stored configuration stays.
TEST_F(ConfigFetchTest, AConfigurationOfProgramsOfTooManyEntitiesIsRefusedWhole) {
    // Version 2 with programs of one statement of `literals` literals each.
    auto body = [this](std::vector<int> literals) {
        MSRPBMeasurementConfig config = *MSRPBMeasurementConfig::initWithBuffer(configBody(options_.appID, 2));
        std::vector<MSRPBProgram> programs;
        for (const int count : literals) {
            MSRPBRuntimeEntity literal;
            MSRPBSetInt32(literal, 0, 3);
            MSRPBSetBool(literal, 4, true);
            MSRPBRuntimeEntity statement;
            MSRPBSetInt32(statement, 0, 4);
            MSRPBSetString(statement, 2, "array");
            MSRPBSetMessageArray(statement, 1, std::vector<MSRPBRuntimeEntity>(static_cast<size_t>(count), literal));
            MSRPBProgram program;
            MSRPBSetMessageArray(program, 0, std::vector<MSRPBRuntimeEntity>{statement});
            programs.push_back(std::move(program));
        }
        MSRPBSetMessageArray(config, 8, std::move(programs));
        return config.protoBuffer().value_or(std::vector<uint8_t>{});
    };
    const struct {
        const char* name;
        std::vector<uint8_t> body;
        bool refused;
    } cases[] = {
        {"100,000 entities", body({99999}), false},
        {"100,001 entities", body({100000}), true},
        {"two programs of 50,001", body({50000, 50000}), true},
        {"600,000 literals, 3.6 MB", body({600000}), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        storeBaseline();
        advanceBy(4000);
        monitor_.takeLines();
        fetchWithReply({200, {}, c.body, std::nullopt});
        std::vector<std::string> refusals;
        for (const std::string& line : monitor_.takeLines())
            if (line.find("I-MSR023300") != std::string::npos) refusals.push_back(line);
        EXPECT_EQ(MSRPBGetInt64(database().queryMeasurementConfig(nullptr).value(), 0), c.refused ? 1 : 2);
        EXPECT_EQ(remoteConfig().version(), c.refused ? 1 : 2);
        ASSERT_EQ(refusals.size(), c.refused ? 1u : 0u);
        if (c.refused) {
            EXPECT_NE(refusals[0].find("programs of too many entities"), std::string::npos) << refusals[0];
        }
    }
}
