#include <gtest/gtest.h>

#include "platform/foundation/DataLoss.h"

using foundation::DataLoss;

// The exit line names what was lost and labels every number with what it
// counts; a loss stored after all is taken back.
TEST(DataLossTest, EveryNumberSaysWhatItCounts) {
    DataLoss::resetForTesting();
    EXPECT_FALSE(DataLoss::describe());
    DataLoss::note("analytics events", 1, "events whose write failed");
    DataLoss::note("analytics events", 11, "events whose write failed");
    DataLoss::note("analytics writes", 1000, "writes of events and user properties undone by a failed commit");
    DataLoss::note("preferences file /h/app.plist", 1, "failed writes of its latest values");
    DataLoss::note("preferences file /h/app.plist", 1, "failed writes of its latest values");
    DataLoss::note("preferences file /h/suite.plist", 1, "failed writes of its latest values");
    DataLoss::note("analytics events (the engine could not start on its storage)");
    DataLoss::note("analytics events (the engine could not start on its storage)");
    DataLoss::recovered("preferences file /h/suite.plist");
    EXPECT_EQ(DataLoss::describe(),
              "not stored: analytics events (events whose write failed: 12); analytics events (the engine could "
              "not start on its storage); analytics writes (writes of events and user properties undone by a "
              "failed commit: 1000); preferences file /h/app.plist (failed writes of its latest values: 2)");
    DataLoss::resetForTesting();
}
