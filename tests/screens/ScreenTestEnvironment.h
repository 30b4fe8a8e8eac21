#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/core/DEDIzurarove.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/host/DEDRemoteConfig.h"
#include "platform/net/FakeNetwork.h"
#include "tests/support/TemporaryDataRoot.h"

// A fresh application world per test: its own data root, virtual time, no
// windows or builders left from earlier tests, a remote configuration that
// never fetches, an internet check answered on the test's own executor, and
// the analytics events collected.
class ScreenTestEnvironment {
public:
    ScreenTestEnvironment();
    ~ScreenTestEnvironment();

    const std::filesystem::path& home() const { return root_.home(); }
    dispatch::ManualExecutor& executor() { return executor_; }
    const std::vector<std::string>& events() const { return *events_; }
    // The parameters of the last event of that name (none when it was not logged).
    std::optional<DEDIzurarove::Parameters> lastParameters(const std::string& event) const;
    const std::shared_ptr<host::DEDRemoteConfig>& remoteConfig() const { return remoteConfig_; }
    // What the internet check before a link that leaves the application asks
    // (answered 200 unless a test scripts otherwise). Over the real network
    // its answer, and the alert a failed one brings, would come on the main
    // queue whenever the machine got round to it, in the middle of a test's
    // later steps.
    net::FakeNetwork& internetCheck() { return *internetCheck_; }

    // Drops the application, its windows and shared objects, keeping the data
    // root, as a restart of the process would.
    void restart();

private:
    void resetShared();

    TemporaryDataRoot root_{"screens"};
    dispatch::ManualExecutor executor_;
    std::shared_ptr<host::DEDRemoteConfig> remoteConfig_;
    std::shared_ptr<net::FakeNetwork> internetCheck_ = std::make_shared<net::FakeNetwork>();
    std::shared_ptr<std::vector<std::string>> events_ = std::make_shared<std::vector<std::string>>();
    std::shared_ptr<std::map<std::string, DEDIzurarove::Parameters>> parameters_ =
        std::make_shared<std::map<std::string, DEDIzurarove::Parameters>>();
    DEDIzurarove::EventSink previousSink_;
};

// Compares `text` with tests/golden/ui/<name>.txt; CALVARO_UPDATE_GOLDEN=1
// writes the file instead.
void expectGolden(const std::string& name, const std::string& text);
