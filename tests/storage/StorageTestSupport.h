#pragma once

// A fresh data root per test, a monitor whose reports the test can read, and
// a manual executor so that every queue runs in virtual time.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "analytics/core/support/MSRMemoryPreferenceStore.h"
#include "analytics/core/support/MSRMonitor.h"
#include "platform/dispatch/ManualExecutor.h"
#include "platform/foundation/FileSystem.h"

struct LoggedReport {
    int64_t code;
    int64_t level;
    std::string message;
};

class CapturingLogger : public MSRLogging {
  public:
    void logMessage(const std::string& message, const std::string&, int64_t messageCode,
                    int64_t logLevel) override {
        std::lock_guard lock(mutex_);
        reports_.push_back({messageCode, logLevel, message});
    }
    std::vector<int64_t> codes() const {
        std::lock_guard lock(mutex_);
        std::vector<int64_t> out;
        for (const auto& report : reports_) out.push_back(report.code);
        return out;
    }
    bool logged(int64_t code) const {
        for (int64_t c : codes()) {
            if (c == code) return true;
        }
        return false;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        reports_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<LoggedReport> reports_;
};

class StorageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/calvaro-storage-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        previousHome_ = foundation::FileSystem::home();
        foundation::FileSystem::setHome(root_ / "home");
        logger_ = std::make_shared<CapturingLogger>();
        MSRMonitor::Environment environment;
        environment.appPreferences = std::make_shared<MSRMemoryPreferenceStore>();
        environment.monitorSuite = std::make_shared<MSRMemoryPreferenceStore>();
        MSRMonitor::setShared(MSRMonitor::initWithLogLevel(6, logger_, 110100, environment));
        MSRConsoleLogger::shared().setSink([this](const std::string& line) {
            std::lock_guard lock(consoleMutex_);
            consoleLines_.push_back(line);
        });
    }

    void TearDown() override {
        executor_.runUntilIdle();
        MSRConsoleLogger::shared().setSink({});
        MSRMonitor::setShared(nullptr);
        foundation::FileSystem::setHome(previousHome_);
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    // Lets the monitor's queue deliver what was logged so far.
    bool logged(int64_t code) {
        executor_.runUntilIdle();
        return logger_->logged(code);
    }

    // Whether a console line (written without the monitor) carried `code`.
    bool consoleLogged(int64_t code) {
        char text[16];
        snprintf(text, sizeof text, "I-MSR%06lld", static_cast<long long>(code));
        std::lock_guard lock(consoleMutex_);
        for (const auto& line : consoleLines_) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
    void clearConsole() {
        std::lock_guard lock(consoleMutex_);
        consoleLines_.clear();
    }

    dispatch::ManualExecutor executor_;
    std::mutex consoleMutex_;
    std::vector<std::string> consoleLines_;
    std::filesystem::path root_;
    std::filesystem::path previousHome_;
    std::shared_ptr<CapturingLogger> logger_;
};
