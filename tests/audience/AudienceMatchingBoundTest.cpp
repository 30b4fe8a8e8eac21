// The matching work bound at its edge: a configuration whose filters on one
// event name may cost just over 2^27 work units per event is refused whole,
// one just under it is kept.

#include <algorithm>

#include "analytics/audience/MSRAudienceEvaluator.h"
#include "analytics/audience/MSRAudienceFilterMatching.h"
#include "analytics/model/MSRDataTypeValidator.h"
#include "analytics/support/MSRRemoteConfig.h"
#include "tests/audience/AudienceBuilders.h"
#include "tests/storage/StorageTestSupport.h"

using namespace audience_test;

namespace {

// The bound, as the work of one event: about 65 ms of matching on a desktop.
constexpr int64_t kMatchingBound = int64_t{1} << 27;

class AudienceMatchingBoundTest : public OpenDatabaseTest {
  protected:
    void SetUp() override {
        OpenDatabaseTest::SetUp();
        shared_ = std::shared_ptr<MSRDatabase>(database_.get(), [](MSRDatabase*) {});
        evaluator_ = std::make_unique<MSRAudienceEvaluator>(shared_, config_);
    }
    void TearDown() override {
        evaluator_.reset();
        shared_.reset();
        OpenDatabaseTest::TearDown();
    }

    // Audiences whose event filters, all on "e", cost `target` work units
    // or up to one pass over the longest text less: filters with 25
    // expression tests first, then one with fewer, then filters of plain
    // tests, each costing one pass, for the rest. `*work` is their cost as
    // MSREventFilterWork counts it.
    std::vector<MSRPBAudience> audiencesCosting(int64_t target, int64_t* work) {
        // The longest text a value may hold, in bytes, as the bound counts it.
        const int64_t textBytes =
            4 * std::max<int64_t>(config_->maxInternalEventParameterValueLength(),
                                  MSRDataTypeValidator::kMaxUserPropertyValueLength);
        const MSRPBFilter pattern = valueFilter(stringFilter(1, "(?:ab|cd|ef){12}x"), std::nullopt, "tier");
        const MSRPBFilter plain = valueFilter(std::nullopt, numberFilter(2, "5"), "level");
        const int maxParameters = static_cast<int>(config_->maxParametersPerFilter());
        MSRRegexCache regexes;
        auto filterOf = [&](int patterns, int plains) {
            std::vector<MSRPBFilter> parameters(static_cast<size_t>(patterns), pattern);
            parameters.insert(parameters.end(), static_cast<size_t>(plains), plain);
            return eventFilter(0, "e", parameters);
        };
        auto cost = [&](const MSRPBEventFilter& filter) { return MSREventFilterWork(filter, regexes, textBytes); };
        std::vector<MSRPBEventFilter> filters;
        int64_t left = target;
        auto take = [&](const MSRPBEventFilter& filter) {
            filters.push_back(filter);
            left -= cost(filter);
        };
        while (cost(filterOf(maxParameters, 0)) <= left) take(filterOf(maxParameters, 0));
        for (int patterns = maxParameters - 1; patterns > 0; --patterns) {
            if (cost(filterOf(patterns, 0)) <= left) {
                take(filterOf(patterns, 0));
                break;
            }
        }
        while (cost(filterOf(0, 0)) <= left) {
            int plains = maxParameters;
            while (cost(filterOf(0, plains)) > left) --plains;
            take(filterOf(0, plains));
        }
        *work = target - left;
        EXPECT_GT(*work, target - textBytes);
        // Ten filters an audience, numbered from 0 in each.
        std::vector<MSRPBAudience> audiences;
        const int perAudience = static_cast<int>(std::min<int64_t>(10, config_->maxFiltersPerAudience()));
        for (size_t first = 0; first < filters.size(); first += static_cast<size_t>(perAudience)) {
            std::vector<MSRPBEventFilter> own;
            for (size_t i = first; i < std::min(filters.size(), first + static_cast<size_t>(perAudience)); ++i) {
                MSRPBEventFilter filter = filters[i];
                MSRPBSetInt32(filter, MSREventFilterSlot::kFilterID, static_cast<int32_t>(i - first));
                own.push_back(filter);
            }
            audiences.push_back(audience(static_cast<int32_t>(10 + audiences.size()), std::move(own)));
        }
        EXPECT_LE(static_cast<int64_t>(audiences.size()), config_->maxAudienceCount());
        return audiences;
    }

    std::shared_ptr<MSRRemoteConfig> config_ = std::make_shared<MSRRemoteConfig>();
    std::shared_ptr<MSRDatabase> shared_;
    std::unique_ptr<MSRAudienceEvaluator> evaluator_;
};

// Just over the bound the whole configuration is refused and the stored one
// stays; just under it, every audience is taken. A bound moved either way
// turns one of the two.
TEST_F(AudienceMatchingBoundTest, AConfigurationJustPastTheBoundIsRefusedAndOneJustUnderIsKept) {
    const int64_t textBytes = 4 * std::max<int64_t>(config_->maxInternalEventParameterValueLength(),
                                                    MSRDataTypeValidator::kMaxUserPropertyValueLength);
    struct Edge {
        const char* name;
        int64_t target;
        bool refused;
    };
    for (const Edge& edge : {Edge{"just under", kMatchingBound, false},
                             Edge{"just past", kMatchingBound + textBytes, true}}) {
        SCOPED_TRACE(edge.name);
        ASSERT_TRUE(evaluator_->updateAudiences({audience(1, {eventFilter(0, "before")})}));
        int64_t work = 0;
        const std::vector<MSRPBAudience> audiences = audiencesCosting(edge.target, &work);
        EXPECT_EQ(work > kMatchingBound, edge.refused) << work;
        EXPECT_TRUE(evaluator_->updateAudiences(audiences));
        EXPECT_EQ(database_->eventFiltersForEventName("before", nullptr)->size(), edge.refused ? 1u : 0u);
        EXPECT_EQ(database_->eventFiltersForEventName("e", nullptr)->empty(), edge.refused);
        EXPECT_EQ(database_->allAudienceIDs(nullptr)->size(), edge.refused ? 1u : audiences.size());
    }
}

}  // namespace
