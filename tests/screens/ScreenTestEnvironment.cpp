#include "ScreenTestEnvironment.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "Calvaro/engine/CalcManager.h"
#include "Calvaro/screens/ErrorManager.h"
#include "Calvaro/engine/KalStringOutput.h"
#include "Calvaro/screens/CalculateViewController.h"
#include "Calvaro/screens/ScreenUtilities.h"
#include "Calvaro/services/RatingViewController.h"
#include "Calvaro/services/RemoteConfigManager.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/FileSystem.h"
#include "platform/host/DEDApp.h"
#include "platform/ui/Application.h"
#include "platform/ui/Storyboard.h"
#include "platform/ui/Traits.h"
#include "tests/support/SharedState.h"

namespace fs = std::filesystem;

ScreenTestEnvironment::ScreenTestEnvironment() {
    root_.useAsHome();
    dispatch::markMainThread();
    previousSink_ = DEDIzurarove::setEventSink(
        [events = events_, parameters = parameters_](const std::string& name,
                                                     const std::optional<DEDIzurarove::Parameters>& given) {
            events->push_back(name);
            (*parameters)[name] = given.value_or(DEDIzurarove::Parameters{});
        });
    resetShared();
}

ScreenTestEnvironment::~ScreenTestEnvironment() {
    // Closing the windows may still queue work; it runs before the rest goes.
    ui::Application::reset();
    executor_.runUntilIdle();
    RemoteConfigManager::resetShared();
    host::DEDRemoteConfig::setShared(nullptr);
    setInternetCheckNetwork(nullptr);
    CalcManager::resetShared();
    RatingViewController::resetShared();
    ErrorManager::shared().setAllFields({});
    resetSharedState();
    DEDIzurarove::setEventSink(previousSink_);
}

std::optional<DEDIzurarove::Parameters> ScreenTestEnvironment::lastParameters(const std::string& event) const {
    auto it = parameters_->find(event);
    if (it == parameters_->end()) return std::nullopt;
    return it->second;
}

void ScreenTestEnvironment::resetShared() {
    RatingViewController::resetShared();
    ErrorManager::shared().setAllFields({});
    KalStringOutput::shared().solutionSteps().clear();
    KalStringOutput::shared().setSolutionStepCounter(0);
    isCalculating = false;
    resetSharedState();
    RemoteConfigManager::resetShared();
    CalcManager::resetShared();
    DEDIzurarove::registerWithHost();
    host::DEDApp::configure();  // the analytics interface refuses events before the host is configured
    host::DEDRemoteConfig::Configuration configuration;  // no address: nothing leaves the machine
    remoteConfig_ = std::make_shared<host::DEDRemoteConfig>(configuration);
    remoteConfig_->setDefaultsFromPlistFileName("RemoteConfigDefaults");
    host::DEDRemoteConfig::setShared(remoteConfig_);
    setInternetCheckNetwork(internetCheck_);
}

void ScreenTestEnvironment::restart() {
    executor_.runUntilIdle();
    resetShared();
}

void expectGolden(const std::string& name, const std::string& text) {
    const fs::path path = fs::path(CALVARO_GOLDEN_DIR) / "ui" / (name + ".txt");
    if (const char* update = std::getenv("CALVARO_UPDATE_GOLDEN"); update && std::string(update) == "1") {
        std::ofstream(path, std::ios::binary) << text;
        return;
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in) << "missing golden file " << path << "; run with CALVARO_UPDATE_GOLDEN=1";
    std::stringstream expected;
    expected << in.rdbuf();
    EXPECT_EQ(text, expected.str()) << "golden file " << path;
}
