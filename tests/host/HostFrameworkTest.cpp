#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dispatch/ManualExecutor.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/host/DEDApp.h"
#include "platform/host/DEDComponent.h"
#include "platform/host/DEDInstallations.h"
#include "tests/support/SharedState.h"

namespace {

TEST(HostFrameworkTest, ComponentsAreToldOfTheConfigurationInOrderOnceEach) {
    resetSharedState();
    std::vector<std::string> told;
    host::DEDComponent::registerComponent("test.first", [&](const host::DEDApp& app) {
        EXPECT_TRUE(host::DEDApp::isDefaultAppConfigured());  // asked from inside the handler
        told.push_back("first:" + app.options().appID);
    });
    host::DEDComponent::registerComponent("test.second", [&](const host::DEDApp&) { told.push_back("second"); });
    host::DEDComponent::registerComponent("test.first", [&](const host::DEDApp&) { told.push_back("again"); });
    EXPECT_TRUE(told.empty());

    host::DEDOptions options;
    options.appID = "1:calvaro";
    host::DEDApp::configure(options);
    host::DEDApp::configure(options);  // ignored
    host::DEDComponent::registerComponent("test.late", [&](const host::DEDApp&) { told.push_back("late"); });
    EXPECT_EQ(told, (std::vector<std::string>{"first:1:calvaro", "second", "late"}));
    resetSharedState();
}

TEST(HostFrameworkTest, InstallationIdentifierIsStableUntilItChangesAndFailuresCarryNoIdentifier) {
    dispatch::ManualExecutor executor;
    auto& installations = host::DEDInstallations::installations();
    int changes = 0;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        host::DEDInstallationIDDidChangeNotification, [&](const foundation::Notification&) { ++changes; });
    std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> answers;
    auto ask = [&] {
        installations.installationIDWithCompletion(
            [&](const auto& id, const auto& error) { answers.emplace_back(id, error); });
    };
    installations.setInstallationIDForTesting(std::nullopt);
    ask();
    ask();
    EXPECT_TRUE(answers.empty());  // answered on the framework's queue, not inline
    executor.runUntilIdle();
    ASSERT_EQ(answers.size(), 2u);
    ASSERT_TRUE(answers[0].first);
    EXPECT_EQ(answers[0], answers[1]);

    installations.setInstallationIDForTesting("fid-new");
    installations.setFailureForTesting("offline");
    ask();
    installations.setFailureForTesting(std::nullopt);
    executor.runUntilIdle();
    EXPECT_EQ(answers[2], (std::pair<std::optional<std::string>, std::optional<std::string>>{std::nullopt, "offline"}));
    EXPECT_EQ(changes, 2);
}

}  // namespace
