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
