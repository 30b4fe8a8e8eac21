// A purchase delivered to a process that is killed before reporting it is
// reported once: by the next start, which the store delivers it to again,
// and never by the start after that. A transaction logged before the
// engine's start waits for it and is reported once.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tests/e2e/DriverHarness.h"
#include "tests/support/TestPaths.h"

namespace {

using tools::DriverProcess;

class KilledPurchaseTest : public DriverTest {
  protected:
    KilledPurchaseTest() : DriverTest("killed-purchase") {}

    static bool isPurchase(const tools::CollectedEvent& event) {
        const auto* product = event.param("product_id");
        return (event.name == "_iap" || event.name == "_iapx") && product && product->stringValue == "coins";
    }
    size_t purchaseEvents() const {
        size_t found = 0;
        for (const auto& event : measurement.acceptedEvents()) found += isPurchase(event) ? 1 : 0;
        return found;
    }
    std::string console() const {
        std::ifstream in(root.path() / "console.log");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
};

TEST_F(KilledPurchaseTest, APurchaseLostToAKillIsReportedOnceAfterTheRestart) {
    {
        DriverProcess killed(
            CALVARO_EVENT_DRIVER,
            debugArguments({"--count", "0", "--purchase", "coins:1000000042", "--kill-after-delivery"}));
        // Its end: it kills itself right after the delivery.
        killed.readUntil([](const auto&) { return false; }, 60);
    }
    EXPECT_EQ(purchaseEvents(), 0u);

    for (int64_t start = 1; start <= 2; ++start) {
        SCOPED_TRACE("start " + std::to_string(start));
        DriverProcess next(
            CALVARO_EVENT_DRIVER,
            debugArguments({"--count", "0", "--marker", std::to_string(start), "--purchase", "coins:"}));
        if (start == 1) {
            ASSERT_TRUE(measurement.waitUntil(
                [&](const auto& uploads) { return acceptedCount(uploads, isPurchase) > 0; }, 30))
                << "the purchase was never reported" << consoleTail();
        } else {
            auto marker = [&](const tools::CollectedEvent& event) {
                return event.name == "e2e_marker" && event.intParam("n") == start;
            };
            ASSERT_TRUE(measurement.waitUntil(
                [&](const auto& uploads) { return acceptedCount(uploads, marker) > 0; }, 30))
                << consoleTail();
        }
        ASSERT_EQ(next.exitAndWait(kDriverExitHang), 0) << consoleTail();
    }
    EXPECT_EQ(purchaseEvents(), 1u);
    // The second start was handed the purchase again and knew it.
    EXPECT_NE(console().find("I-MSR023141"), std::string::npos) << consoleTail();
}

TEST_F(KilledPurchaseTest, ATransactionLoggedBeforeTheStartIsReportedOnceAfterIt) {
    DriverProcess driver(
        CALVARO_EVENT_DRIVER,
        debugArguments({"--count", "0", "--marker", "1", "--transaction-before-start", "coins:1000000077"}));
    auto marker = [](const tools::CollectedEvent& event) {
        return event.name == "e2e_marker" && event.intParam("n") == 1;
    };
    ASSERT_TRUE(measurement.waitUntil(
        [&](const auto& uploads) {
            return acceptedCount(uploads, marker) > 0 && acceptedCount(uploads, isPurchase) > 0;
        },
        30))
        << "the transaction was never reported" << consoleTail();
    ASSERT_EQ(driver.exitAndWait(kDriverExitHang), 0) << consoleTail();
    EXPECT_EQ(purchaseEvents(), 1u);
}

}  // namespace
