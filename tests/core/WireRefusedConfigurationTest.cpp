// A fetched configuration past a bound of the wire table, in any of its
// lists: refused whole before it is built, logged once for why (no failed
// transaction after it), and the stored configuration kept and in use.

#include "MeasurementFixture.h"

#include "analytics/messages/MSRPBWireCount.h"
#include "analytics/support/MSRRemoteConfig.h"

namespace {

// A configuration of `version` for `appID` whose one setting is that version.
MSRPBMeasurementConfig wireConfigOf(const std::string& appID, int64_t version) {
    MSRPBMeasurementConfig config;
    MSRPBSetInt64(config, MSRConfigSlot::kVersion, version);
    MSRPBSetString(config, MSRConfigSlot::kAppID, appID);
    MSRPBSetting setting;
    MSRPBSetString(setting, MSRSettingSlot::kName, "measurement.wire_probe");
    MSRPBSetString(setting, MSRSettingSlot::kValue, std::to_string(version));
    MSRPBSetMessageArray(config, MSRConfigSlot::kSettings, std::vector<MSRPBSetting>{setting});
    return config;
}

std::vector<uint8_t> wireBodyOf(const MSRPBMeasurementConfig& config) {
    return config.protoBuffer().value_or(std::vector<uint8_t>{});
}

}  // namespace

class WireRefusedConfigurationTest : public MeasurementFixture {
  protected:
    void SetUp() override {
        MeasurementFixture::SetUp();
        runUntilIdle();
        MSRRemoteConfig::setMeasurementURL(std::string("http://127.0.0.1:9"));
        network().clearRequests();
    }
    void TearDown() override {
        MSRRemoteConfig::setMeasurementURL(std::nullopt);
        MeasurementFixture::TearDown();
    }
    // The lines of a fetch answered with `body`.
    std::vector<std::string> fetchAnswered(std::vector<uint8_t> body) {
        advanceBy(4000);  // the stored configuration has expired
        monitor_.takeLines();
        net::FakeNetwork::Reply reply;
        reply.statusCode = 200;
        reply.body = std::move(body);
        network().enqueueReply(std::move(reply));
        engine().fetchRemoteConfig();
        runUntilIdle();
        return monitor_.takeLines();
    }
};

TEST_F(WireRefusedConfigurationTest, AConfigurationPastAnyBoundIsRefusedAndTheStoredOneStaysInUse) {
    const std::string app = options_.appID;
    // Version 2 with `count` entries in one list, made by `fill`.
    auto with = [&](auto fill) {
        MSRPBMeasurementConfig config = wireConfigOf(app, 2);
        fill(config);
        return wireBodyOf(config);
    };
    // `count` entries of one consent list, each "analytics_storage".
    auto consentList = [&](uint32_t slot, size_t count) {
        return with([&](MSRPBMeasurementConfig& config) {
            MSRPBConsentConfig consent;
            if (slot == MSRConsentConfigSlot::kDelegations) {
                MSRPBConsentDelegationEntry entry;
                MSRPBSetInt32(entry, MSRConsentDelegationSlot::kConsentType, 2);
                MSRPBSetInt32(entry, MSRConsentDelegationSlot::kDelegateType, 1);
                MSRPBSetMessageArray(consent, slot, std::vector<MSRPBConsentDelegationEntry>(count, entry));
            } else {
                MSRPBConsentDefaultEntry entry;
                MSRPBSetInt32(entry, MSRConsentDefaultSlot::kConsentType, 2);
                MSRPBSetInt32(entry, MSRConsentDefaultSlot::kStatus, 2);
                MSRPBSetMessageArray(consent, slot, std::vector<MSRPBConsentDefaultEntry>(count, entry));
            }
            MSRPBSetMessage(config, MSRConfigSlot::kConsentConfig, consent);
        });
    };
    auto dataControls = [&](size_t count) {
        return with([&](MSRPBMeasurementConfig& config) {
            std::vector<MSRPBDataControl> controls(count);
            for (size_t i = 0; i < count; ++i)
                MSRPBSetString(controls[i], MSRDataControlSlot::kName, "control_" + std::to_string(i));
            MSRPBSetMessageArray(config, MSRConfigSlot::kDataControls, std::move(controls));
        });
    };
    auto programs = [&](size_t count) {
        return with([&](MSRPBMeasurementConfig& config) {
            MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>(count));
        });
    };
    auto audiences = [&](size_t count) {
        return with([&](MSRPBMeasurementConfig& config) {
            std::vector<MSRPBAudience> list(count);
            for (size_t i = 0; i < count; ++i)
                MSRPBSetInt32(list[i], MSRAudienceSlot::kAudienceID, static_cast<int32_t>(i + 1));
            MSRPBSetMessageArray(config, MSRConfigSlot::kAudiences, std::move(list));
        });
    };
    // One program of a statement of `literals` literals.
    auto entities = [&](size_t literals) {
        return with([&](MSRPBMeasurementConfig& config) {
            MSRPBRuntimeEntity statement;
            MSRPBSetMessageArray(statement, 1, std::vector<MSRPBRuntimeEntity>(literals));
            MSRPBProgram program;
            MSRPBSetMessageArray(program, 0, std::vector<MSRPBRuntimeEntity>{statement});
            MSRPBSetMessageArray(config, MSRConfigSlot::kPrograms, std::vector<MSRPBProgram>{program});
        });
    };
    // A consent configuration sent again and again: merged into one, each read.
    auto consentConfigs = [&](size_t count) {
        std::vector<uint8_t> body = wireBodyOf(wireConfigOf(app, 2));
        for (size_t i = 0; i < count; ++i) body.insert(body.end(), {0x7a, 0x00});
        return body;
    };
    // Two million empty entries, written as bytes: `key` twice as many
    // bytes, in a consent configuration when `inConsent`.
    auto twoMillionEmpty = [&](uint8_t key, bool inConsent) {
        std::vector<uint8_t> entries;
        entries.reserve(4'000'000);
        for (size_t i = 0; i < 2'000'000; ++i) entries.insert(entries.end(), {key, 0x00});
        std::vector<uint8_t> body = wireBodyOf(wireConfigOf(app, 2));
        if (inConsent) {
            body.push_back(0x7a);
            for (size_t length = entries.size();; length >>= 7) {
                body.push_back(static_cast<uint8_t>(length >= 0x80 ? (length & 0x7f) | 0x80 : length));
                if (length < 0x80) break;
            }
        }
        body.insert(body.end(), entries.begin(), entries.end());
        return body;
    };

    const struct {
        const char* name;
        std::vector<uint8_t> body;
        int64_t refusal;  // 0: taken
    } cases[] = {
        {"17 consent defaults", consentList(MSRConsentConfigSlot::kDefaults, 17), 23309},
        {"17 consent delegations", consentList(MSRConsentConfigSlot::kDelegations, 17), 23310},
        {"17 regional consent defaults", consentList(MSRConsentConfigSlot::kEnforcedDefaults, 17), 23311},
        {"2,000,000 empty consent defaults", twoMillionEmpty(0x0a, true), 23309},
        {"101 data controls", dataControls(101), 23307},
        {"11 programs", programs(11), 23305},
        {"2,000,000 empty programs", twoMillionEmpty(0x4a, false), 23305},
        {"501 audiences", audiences(501), 23301},
        {"100,001 entities", entities(100'000), 23300},
        {"200,001 consent configurations", consentConfigs(200'001), 23313},
        {"16 consent defaults", consentList(MSRConsentConfigSlot::kDefaults, 16), 0},
        {"100 data controls", dataControls(100), 0},
        {"10 programs", programs(10), 0},
        {"500 audiences", audiences(500), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(remoteConfig().updateMeasurementConfig(wireConfigOf(app, 1)));
        const std::vector<std::string> lines = fetchAnswered(c.body);
        const int64_t version = c.refusal ? 1 : 2;
        EXPECT_EQ(MSRPBGetInt64(database().queryMeasurementConfig(nullptr).value(), MSRConfigSlot::kVersion),
                  version);
        EXPECT_EQ(remoteConfig().version(), version);
        const std::optional<MSRSettingValue> probe =
            remoteConfig().cachedValueForKey("measurement.wire_probe");
        ASSERT_TRUE(probe && std::holds_alternative<std::string>(*probe));
        EXPECT_EQ(std::get<std::string>(*probe), std::to_string(version));
        size_t refusals = 0;
        for (const std::string& line : lines) {
            if (c.refusal && line.find("I-MSR0" + std::to_string(c.refusal)) != std::string::npos) ++refusals;
            // A refused answer begins no transaction, so none fails.
            EXPECT_EQ(line.find("Transaction failed"), std::string::npos) << line;
        }
        EXPECT_EQ(refusals, c.refusal ? 1u : 0u);
    }
}
