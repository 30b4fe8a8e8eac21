// The table of what the application's preferences may hold, read against
// figures of its own: each key's type and bound, each family's share. A
// value stands as what Calvaro wrote only with its key's type and within
// its bound, up to the bound exactly; one more value or byte, or any other
// type, and it stands as foreign and gives way first.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "analytics/core/MSRAnalyticsState.h"
#include "analytics/core/MSRTCFClient.h"
#include "analytics/reporters/MSRETaskManager.h"
#include "analytics/reporters/MSRStoredFileBounds.h"
#include "analytics/storage/Keychain.h"
#include "analytics/storage/MSRPersistedConfig.h"
#include "app/ScriptPlayer.h"
#include "app/StoredFileBounds.h"
#include "platform/foundation/StoredFileBounds.h"
#include "platform/web/ViewImage.h"
#include "tests/support/TestPaths.h"

namespace {

using foundation::PropertyListBounds;
using foundation::StoredFileBound;
using Type = foundation::Value::Type;

constexpr Type kStoredTableTypes[] = {Type::Null,   Type::Bool, Type::Integer, Type::Double,
                                      Type::String, Type::Bytes, Type::Date,   Type::List,
                                      Type::Dictionary};

class StoredFileBoundsTable : public ::testing::Test {
  protected:
    void SetUp() override { app::stateStoredFileBounds(); }
    void TearDown() override { foundation::resetStoredFileBounds(); }
};

// What the application writes under each of its keys, as figures of their
// own: a flag or counter one value and its key in 1 KiB; a record or the
// history 65,536 values and 4 MiB; each family of the engine's and the
// consent platform's keys a sixteenth of the file, 16,384 values and 1 MiB.
TEST_F(StoredFileBoundsTable, TheApplicationsKeysAndFamiliesHaveTheirOwnFigures) {
    const auto bound = foundation::storedFileBound(foundation::kStandardDomainBoundName);
    ASSERT_TRUE(bound);
    EXPECT_EQ(bound->bounds.values, 262'144u);
    EXPECT_EQ(bound->bounds.bytes, 16u << 20);
    const PropertyListBounds flag{2, 1024}, record{65'536, 4u << 20};
    const struct {
        std::string key;
        Type type;
        PropertyListBounds bound;
    } keys[] = {
        {"isDsgvoAccepted", Type::Bool, flag},
        {"isYoutubeDsgvoAccepted", Type::Bool, flag},
        {MSRMeasurementEnabledStateKey(), Type::Integer, flag},
        {"isOnboardingFinished", Type::Bool, flag},
        {"isRatingAlreadyDone", Type::Bool, flag},
        {"counterForRating", Type::Integer, flag},
        {"countKalAdsPresented", Type::Integer, flag},
        {"didSeedExampleCalculation", Type::Bool, flag},
        {"CurrentSelectedCalculation", Type::Dictionary, record},
        {"CurrentCalculation", Type::Dictionary, record},
        {"Calculations", Type::List, record},
    };
    for (const auto& row : keys) {
        SCOPED_TRACE(row.key);
        const foundation::StoredKey* stated = bound->storedKey(row.key);
        ASSERT_NE(stated, nullptr);
        EXPECT_EQ(stated->type, row.type);
        ASSERT_TRUE(stated->bound);
        EXPECT_EQ(stated->bound->values, row.bound.values);
        EXPECT_EQ(stated->bound->bytes, row.bound.bytes);
    }
    const PropertyListBounds share{16'384, 1u << 20};
    ASSERT_EQ(bound->shares.size(), 3u);
    for (const auto& [family, stated] : bound->shares) {
        SCOPED_TRACE(family);
        EXPECT_EQ(stated.values, share.values);
        EXPECT_EQ(stated.bytes, share.bytes);
    }
}

// What the engine writes, as figures of its own: each of its six files
// 8,192 values and 1 MiB; a flag, counter or time one value and its key in
// 1 KiB, a name or an identifier two values in 16 KiB; a record (the consent
// settings, the consent string, the campaign's bytes, the default and the
// pending events' parameters) the whole file.
TEST_F(StoredFileBoundsTable, TheEnginesKeysHaveTheirOwnFigures) {
    const PropertyListBounds file{8192, 1u << 20}, scalar{2, 1024}, text{2, 16u << 10};
    const std::string prefix = MSRPersistedConfig::kKeyPrefix;
    const std::string records[] = {"consent_settings*", MSRTCFClient::kStringRepresentationKey,
                                   prefix + "ad_campaign_info_buffer", prefix + "default_event_parameters",
                                   prefix + "pending_automatic_events"};
    const std::string files[] = {MSRAnalyticsState::kSuiteName,       MSRETaskManager::kSuiteName,
                                 "app.calvaro.analytics.monitor",     MSRTCFClient::snapshotSuiteName(),
                                 Keychain::kStoredFileName,           MSRPersistedConfig::kSuiteName};
    size_t typed = 0;
    for (const std::string& name : files) {
        SCOPED_TRACE("file \"" + name + "\"");
        const auto bound = foundation::storedFileBound(name);
        ASSERT_TRUE(bound);
        EXPECT_EQ(bound->bounds.values, file.values);
        EXPECT_EQ(bound->bounds.bytes, file.bytes);
        for (const foundation::StoredKey& key : bound->keys) {
            if (key.type == Type::Absent) continue;
            SCOPED_TRACE("key " + key.key);
            ASSERT_TRUE(key.bound);
            const bool record = std::find(std::begin(records), std::end(records), key.key) != std::end(records);
            const PropertyListBounds figure = record ? file : key.type == Type::String ? text : scalar;
            EXPECT_EQ(key.bound->values, figure.values);
            EXPECT_EQ(key.bound->bytes, figure.bytes);
            ++typed;
        }
    }
    // The analytics state's six typed keys, the consent snapshot's two and
    // the persisted configuration's.
    EXPECT_GT(typed, 20u);
}

// Every typed key of every stated file: a value of any other type within
// the key's bound stands as foreign, and so does one a value or a byte past
// the bound; at the bound exactly it stands as the key does.
TEST_F(StoredFileBoundsTable, AValueStandsOnlyWithItsTypeAndWithinItsBound) {
    size_t checked = 0;
    for (const auto& [name, bound] : foundation::storedFileBounds()) {
        for (const foundation::StoredKey& key : bound.keys) {
            if (key.type == Type::Absent || !key.bound || key.key.back() == '*') continue;
            SCOPED_TRACE("file \"" + name + "\", key " + key.key);
            const int rank = bound.standing(key.key);
            ASSERT_LT(rank, 2);
            const PropertyListBounds at = *key.bound;
            EXPECT_EQ(bound.standing(key.key, key.type, at), rank) << "at its bound";
            EXPECT_EQ(bound.standing(key.key, key.type, PropertyListBounds{at.values + 1, at.bytes}), 2)
                << "a value past its bound";
            EXPECT_EQ(bound.standing(key.key, key.type, PropertyListBounds{at.values, at.bytes + 1}), 2)
                << "a byte past its bound";
            for (const Type other : kStoredTableTypes) {
                if (other == key.type) continue;
                EXPECT_EQ(bound.standing(key.key, other, PropertyListBounds{1, 1}), 2)
                    << "type " << static_cast<int>(other) << " within the bound";
                EXPECT_EQ(bound.standing(key.key, other, at), 2) << "type " << static_cast<int>(other) << " at the bound";
            }
            ++checked;
        }
    }
    // The application's eleven keys and the engine's typed ones.
    EXPECT_GT(checked, 20u);
}

}  // namespace

namespace {

// 262144 as "262,144".
std::string boundsGrouped(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string boundsMiB(uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// The figures the README states of the bounds, each as the code states it:
// a figure changed on one side only fails here.
TEST_F(StoredFileBoundsTable, TheReadmeStatesTheBoundsTheCodeHolds) {
    const std::string readme = calvaro::test::flatSourceText("README.md");
    const auto standard = foundation::storedFileBound(foundation::kStandardDomainBoundName);
    ASSERT_TRUE(standard);
    const foundation::StoredKey* history = standard->storedKey("Calculations");
    ASSERT_TRUE(history && history->bound);
    const auto& budget = foundation::kStartPropertyListBudget;
    const std::string said[] = {
        "| application preferences | " + boundsGrouped(standard->bounds.values) + ", " +
            boundsMiB(standard->bounds.bytes) + " | the history's bound (" + boundsGrouped(history->bound->values) +
            ", " + boundsMiB(history->bound->bytes) + ")",
        "| analytics, experiments, monitor and consent-snapshot suites | " +
            boundsGrouped(kMSREngineFileBound.values) + ", " + boundsMiB(kMSREngineFileBound.bytes) + " each |",
        "(`kStartPropertyListBudget`, " + boundsGrouped(budget.values) + " values and " + boundsMiB(budget.bytes) +
            " of XML)",
        "and `ZEVURE_ANALYTICS_*` a sixteenth of the application preferences' bound each",
        "a script larger than " + boundsMiB(app::kMaxScriptBytes) + " or a line longer than " +
            std::to_string(app::kMaxLineBytes) + " bytes",
        "never exceeds " + boundsGrouped(static_cast<uint64_t>(web::ViewImage::kMaxPixels)) + " pixels on a side",
    };
    for (const std::string& text : said) EXPECT_NE(readme.find(text), std::string::npos) << "the README no longer says: " << text;
    // The families' share the README names: a sixteenth of the file.
    for (const auto& [family, share] : standard->shares) {
        EXPECT_EQ(share.values * 16, standard->bounds.values) << family;
        EXPECT_EQ(share.bytes * 16, standard->bounds.bytes) << family;
    }
}

}  // namespace
