// The metadata stored with each event is kept in memory between events and
// rebuilt only when what it is made of changes: every kind of change made
// between two events must show in the later event's stored metadata.

#include "MeasurementEventsHarness.h"
#include "analytics/core/MSRConsentSettingsUtil.h"
#include "analytics/messages/MSRPBMessages.h"
#include "analytics/storage/MSRDatabase.h"

namespace {

struct MetadataChangeCase {
    const char* what;
    bool levelBefore;  // "level" is "gold" before the first event
    std::function<void()> change;
    std::optional<std::string> levelAfter;  // in the second event's metadata
    bool appInstanceIDAfter = true;
};

MSRUserAttribute levelAttribute(const MSRValue& value, double time) {
    return MSRUserAttribute::initWithOrigin("app", "level", value, time).value();
}

}  // namespace

class MetadataFromMemoryTest : public MeasurementEventsHarness {
  protected:
    // The metadata stored with the last event named `name`.
    MSRPBMeasurementBundle metadataOfLast(const std::string& name) {
        std::vector<std::string> fingerprint =
            sql("SELECT metadata_fingerprint FROM raw_events WHERE name = '" + name + "' ORDER BY rowid DESC LIMIT 1");
        EXPECT_EQ(fingerprint.size(), 1u);
        if (fingerprint.empty()) return {};
        MSRError error;
        std::optional<MSRPBMeasurementBundle> metadata =
            database().queryRawEventsMetadataWithFingerprint(std::stoll(fingerprint[0]), &error);
        EXPECT_TRUE(metadata) << error.description();
        return metadata.value_or(MSRPBMeasurementBundle{});
    }
    static std::optional<std::string> level(const MSRPBMeasurementBundle& metadata) {
        for (const auto& a : MSRPBGetMessageArray<MSRPBUserAttribute>(metadata, MSRBundleSlot::kUserAttributes)) {
            if (MSRPBGetString(a, MSRUserAttributeSlot::kName) == "level")
                return MSRPBGetString(a, MSRUserAttributeSlot::kStringValue);
        }
        return std::nullopt;
    }
};

TEST_F(MetadataFromMemoryTest, EveryChangeBetweenTwoEventsShowsInTheLaterOnesMetadata) {
    const std::vector<MetadataChangeCase> cases = {
        {"a property set", false,
         [this] {
             engine().setUserAttribute(levelAttribute(MSRValue("silver"), now()));
         },
         "silver"},
        {"a property cleared", true,
         [this] {
             engine().removeUserAttribute(levelAttribute(MSRValue("gold"), now()));
         },
         std::nullopt},
        {"a property written in a transaction that was rolled back after a read", true,
         [this] {
             onWorker([this] {
                 database().performTransaction([this] {
                     database().updateUserAttribute(levelAttribute(MSRValue("silver"), now()), nullptr);
                     database().userAttributesIncludingInternal(true, nullptr);
                     return false;
                 });
             });
         },
         "gold"},
        {"analytics storage denied", true,
         [] {
             MSRConsentSettingsUtil::updateSettings({{"analytics_storage", foundation::Value("denied")}});
         },
         "gold", false},
    };
    for (const MetadataChangeCase& c : cases) {
        SCOPED_TRACE(c.what);
        restartEngine();
        MSRConsentSettingsUtil::clearAllSettings();
        if (c.levelBefore) {
            engine().setUserAttribute(levelAttribute(MSRValue("gold"), now()));
        } else {
            engine().removeUserAttribute(levelAttribute(MSRValue("gold"), now()));
        }
        log("before");
        const MSRPBMeasurementBundle before = metadataOfLast("before");
        EXPECT_EQ(level(before), c.levelBefore ? std::optional<std::string>("gold") : std::nullopt);
        EXPECT_TRUE(MSRPBGetString(before, MSRBundleSlot::kAppInstanceID).has_value());

        c.change();
        runUntilIdle();
        log("after");
        const MSRPBMeasurementBundle after = metadataOfLast("after");
        EXPECT_EQ(level(after), c.levelAfter);
        EXPECT_EQ(MSRPBGetString(after, MSRBundleSlot::kAppInstanceID).has_value(), c.appInstanceIDAfter);
    }
    MSRConsentSettingsUtil::clearAllSettings();
}

namespace {

struct RowsRemovedCase {
    const char* what;
    const char* name;  // the event logged after the removal
    std::function<void()> remove;
};

}  // namespace

// The rows an event relies on without asking (its name's aggregates, its
// metadata) are written again after anything removed them or undid them:
// an event stored without its metadata would be lost at the next upload.
TEST_F(MetadataFromMemoryTest, RowsRemovedOrUndoneAreWrittenAgainForTheNextEvent) {
    const std::vector<RowsRemovedCase> cases = {
        {"events uploaded and their metadata deleted", "known",
         [this] {
             std::vector<std::string> last = sql("SELECT max(rowid) FROM raw_events");
             ASSERT_TRUE(database().deleteRawEventsWithMaxRowID(std::stoll(last.at(0)), nullptr));
             ASSERT_TRUE(database().deleteUnusedRawEventsMetadata(nullptr));
         }},
        {"aggregates deleted", "known", [this] { ASSERT_TRUE(database().deleteAllEventAggregates(nullptr)); }},
        {"aggregates written and read in a transaction that was rolled back", "fresh",
         [this] {
             database().performTransaction([this] {
                 database().updateEventAggregates(*MSREventAggregates::initWithName("fresh", 0, 0, 0, 0), nullptr);
                 EXPECT_EQ(database().containsEventAggregatesWithName("fresh", nullptr), true);
                 return false;
             });
         }},
    };
    for (const RowsRemovedCase& c : cases) {
        SCOPED_TRACE(c.what);
        restartEngine();
        log("known");
        log("known");
        onWorker(c.remove);
        log(c.name);
        EXPECT_EQ(sql(std::string("SELECT count(*) FROM events WHERE name = '") + c.name + "'"),
                  std::vector<std::string>{"1"});
        EXPECT_EQ(sql("SELECT count(*) FROM raw_events WHERE metadata_fingerprint NOT IN "
                      "(SELECT metadata_fingerprint FROM raw_events_metadata)"),
                  std::vector<std::string>{"0"})
            << "an event stored without its metadata";
    }
}

// A campaign link waits to be persisted until its event commits: meanwhile
// the metadata made before it must not be taken for the next one, or a second
// link of the run goes out with the first link's click id.
TEST_F(MetadataFromMemoryTest, EachCampaignLinkOfARunCarriesItsOwnClickID) {
    auto clickID = [](const MSRPBMeasurementBundle& metadata) -> std::optional<std::string> {
        auto campaign = MSRPBGetMessage<MSRPBAdCampaignInfo>(metadata, MSRBundleSlot::kAdCampaignInfo);
        return campaign ? MSRPBGetString(*campaign, 0) : std::nullopt;
    };
    const std::pair<const char*, std::optional<std::string>> steps[] = {
        {"level_up", std::nullopt}, {"_cmp", "first"},  {"level_up", "first"},
        {"level_up", "first"},      {"_cmp", "second"}, {"level_up", "second"},
    };
    int link = 0;
    for (const auto& [name, expected] : steps) {
        const std::string event = name + std::to_string(link);
        if (std::string(name) == "_cmp") {
            log("_cmp", {{"zclid", *expected}, {"zad_source", "1"}}, "auto");
            ++link;
            EXPECT_EQ(clickID(metadataOfLast("_cmp")), expected);
        } else {
            log(event);
            EXPECT_EQ(clickID(metadataOfLast(event)), expected) << event;
        }
    }
}
