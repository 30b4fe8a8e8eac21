// A campaign link opened while the engine runs, in a run that ends in order:
// it is stored at its opening and handed to the engine's worker, and either
// road alone reports it. Its "_cmp" reaches the measurement server once over
// that start and the next, whichever road reported it and whatever was left
// for the next start; a link handed over twice would arrive twice.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/DriverHarness.h"

namespace running_link_once {

using tools::DriverProcess;

constexpr const char* kOnceLinkURL = "https://calvaro.example/once?utm_source=e2e&utm_campaign=once";

class RunningLinkOnceProcessTest : public DriverTest {
  protected:
    RunningLinkOnceProcessTest() : DriverTest("running-link-once") {}

    // The accepted "_cmp" events of the link among `uploads`.
    static size_t campaignsIn(const std::vector<tools::CollectedUpload>& uploads) {
        return acceptedCount(uploads, [](const tools::CollectedEvent& event) {
            const tools::CollectedParam* campaign = event.param("campaign");
            return event.name == "_cmp" && campaign && campaign->stringValue && *campaign->stringValue == "once";
        });
    }
};

// The link is opened while the engine's facade queue is busy, so that its
// hand-over comes well after its opening, on any machine. In debug mode
// (uploads a second after the newest event), the start that opens the link
// runs until it has nothing left to upload; the next start uploads what a
// waiting link left, and its marker.
TEST_F(RunningLinkOnceProcessTest, ALinkOpenedWhileRunningArrivesOnceOverItsStartAndTheNext) {
    {
        DriverProcess opening(CALVARO_EVENT_DRIVER, debugArguments({"--count", "1", "--open-link", kOnceLinkURL, "--open-link-behind-work"}));
        ASSERT_TRUE(opening.readUntil([](const auto& r) { return r.kind == DriverProcess::kLinkOpened; }, 120))
            << "the driver never opened its link" << consoleTail();
        // Only catches a hang: the first report may wait for the next start.
        measurement.waitUntil([](const auto& uploads) { return campaignsIn(uploads) >= 1; }, 60);
        EXPECT_EQ(opening.exitAndWait(kDriverExitHang), 0) << consoleTail();
    }
    DriverProcess next(CALVARO_EVENT_DRIVER, debugArguments({"--count", "0", "--marker", "1"}));
    EXPECT_TRUE(measurement.waitUntil(
        [](const auto& uploads) {
            return acceptedCount(uploads, [](const auto& event) { return event.name == "e2e_marker"; }) >= 1;
        },
        120))
        << consoleTail();
    EXPECT_EQ(next.exitAndWait(kDriverExitHang), 0) << consoleTail();
    EXPECT_EQ(campaignsIn(measurement.uploads()), 1u) << consoleTail();
}

}  // namespace running_link_once
