// The configuration fetch against a scripted network in virtual time: what
// each answer stores, which validators travel back, and how failures pace the
// next requests.

#include "MeasurementFixture.h"

#include "analytics/core/support/MSRRemoteConfig.h"

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

std::optional<std::string> header(const net::Headers& headers, const std::string& name) {
    auto it = headers.find(name);
    if (it == headers.end()) return std::nullopt;
    return it->second;
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

    int64_t storedVersion() {
        auto stored = database().queryMeasurementConfig(nullptr);
        return stored ? MSRPBGetInt64(*stored, 0) : -1;
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
    int64_t queueBundle(double endTime) {
        MSRPBMeasurementBundle bundle;
        MSRPBSetString(bundle, 14, options_.appID);
        MSRPBSetInt64(bundle, 5, std::llround(endTime * 1000));
        MSRError error;
        EXPECT_TRUE(database().insertBundle(bundle, false, &error)) << error.description();
        return 1;
    }
};

TEST_F(ConfigFetchTest, EachAnswerStoresOnlyWhatItShould) {
    enum class Body { kNone, kNew, kOtherApp, kGarbage, kOversize };
    struct Case {
        const char* name;
        int status;
        Body body;
        int64_t version;           // stored afterwards
        const char* eTag;          // stored afterwards
        bool succeeded;            // failure times cleared, configuration fresh
        bool backoff;              // back-off time set to now
    };
    const Case cases[] = {
        {"200 new", 200, Body::kNew, 2, "etag-2", true, false},
        {"304 not modified", 304, Body::kNone, 1, "etag-1", true, false},
        {"404 not found", 404, Body::kNone, 1, "etag-1", true, false},
        {"200 for another application", 200, Body::kOtherApp, 1, "etag-1", true, false},
        {"200 undecodable", 200, Body::kGarbage, 1, "etag-1", true, false},
        {"200 oversize", 200, Body::kOversize, 1, "etag-1", true, false},
        {"500", 500, Body::kNone, 1, "etag-1", false, false},
        {"503", 503, Body::kNone, 1, "etag-1", false, true},
        {"429", 429, Body::kNone, 1, "etag-1", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        storeBaseline();
        advanceBy(4000);  // the stored configuration has expired
        ASSERT_TRUE(remoteConfig().isExpired());
        network().clearRequests();

        net::FakeNetwork::Reply reply;
        reply.statusCode = c.status;
        reply.headers["ETag"] = "etag-2";
        reply.headers["Last-Modified"] = "lm-2";
        switch (c.body) {
        case Body::kNone: break;
        case Body::kNew: reply.body = configBody(options_.appID, 2); break;
        case Body::kOtherApp: reply.body = configBody("1:999:ios:ffff", 2); break;
        case Body::kGarbage: reply.body = {0xff, 0xff, 0xff, 0x0f, 0x12}; break;
        case Body::kOversize: {
            reply.body = configBody(options_.appID, 2);
            // A valid message padded with a long unread text field.
            MSRPBMeasurementConfig config = *MSRPBMeasurementConfig::initWithBuffer(reply.body);
            MSRPBSetString(config, 11, std::string(4 * 1024 * 1024, 'x'));
            reply.body = *config.protoBuffer();
            break;
        }
        }
        fetchWithReply(reply);

        auto requests = network().requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests[0].method, "GET");
        EXPECT_EQ(requests[0].url, std::string(kBase) + "/config/app/" + options_.appID +
                                       "?platform=ios&runtime_version=0&zmp_version=110100");
        EXPECT_EQ(header(requests[0].headers, "If-None-Match"), "etag-1");
        EXPECT_EQ(header(requests[0].headers, "If-Modified-Since"), "lm-1");

        EXPECT_EQ(storedVersion(), c.version);
        EXPECT_EQ(remoteConfig().version(), c.version);
        EXPECT_EQ(persistedConfig().configServerETag(), c.eTag);
        EXPECT_EQ(persistedConfig().configServerLastModifiedString(), c.version == 2 ? "lm-2" : "lm-1");
        EXPECT_FALSE(engine().isNetworkRequestPending());
        EXPECT_EQ(remoteConfig().isExpired(), !c.succeeded);
        EXPECT_DOUBLE_EQ(persistedConfig().lastFailedUploadTimestamp(), c.succeeded ? 0 : now());
        EXPECT_DOUBLE_EQ(persistedConfig().lastBackoffTimestamp(), c.succeeded ? 0 : (c.backoff ? now() : 5));
    }
}

TEST_F(ConfigFetchTest, NothingLeavesWithoutAnEndpoint) {
    MSRRemoteConfig::setMeasurementURL(std::nullopt);
    engine().fetchRemoteConfig();
    runUntilIdle();
    EXPECT_TRUE(network().requests().empty());
    EXPECT_FALSE(engine().isNetworkRequestPending());
}

TEST_F(ConfigFetchTest, AnUnstartedRequestDoesNotStayPending) {
    network().failNextSession();
    engine().fetchRemoteConfig();
    runUntilIdle();
    EXPECT_FALSE(engine().isNetworkRequestPending());
    EXPECT_TRUE(engine().isNetworkReadyForRequest());
    EXPECT_DOUBLE_EQ(persistedConfig().lastFailedUploadTimestamp(), now());
}

TEST_F(ConfigFetchTest, TooManyRequestsHoldsEverythingForTheBackoffInterval) {
    queueBundle(now());
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
