#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/TemporaryDataRoot.h"
#include "tools/collector/MeasurementCollector.h"
#include "tools/eventdriver/DriverProcess.h"

inline constexpr const char* kDriverApp = "1:1000000000:ios:0e2e";

// A collector on a loopback port serving the configuration of kDriverApp, a
// fresh data root, and the event driver's arguments over both.
class DriverTest : public testing::Test {
  protected:
    explicit DriverTest(const char* label) : root(label) {}

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(collector.start(0, &error)) << error;
        measurement.setConfig(kDriverApp,
                              tools::MeasurementCollector::makeConfig(
                                  kDriverApp, 1, {{"measurement.upload.initial_upload_delay_time", "1000"}}));
    }

    // The server's threads call into `measurement`, which goes first: they
    // end before it does.
    void TearDown() override { collector.stop(); }

    std::vector<std::string> driverArguments(std::vector<std::string> more = {}) const {
        std::vector<std::string> all{"--home",   root.path().string(),
                                     "--url",    collector.baseURL(),
                                     "--app-id", kDriverApp,
                                     "--log",    (root.path() / "console.log").string()};
        all.insert(all.end(), more.begin(), more.end());
        return all;
    }
    std::string consoleTail() const { return tools::consoleTail(root.path()); }

    TemporaryDataRoot root;
    tools::Collector collector;
    tools::MeasurementCollector measurement{collector};
};
