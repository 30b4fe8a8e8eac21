#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/FileSystem.h"
#include "platform/ui/Application.h"

// A data root of its own for one test, with the calling thread as the main
// thread and no application left from earlier tests; removed afterwards.
class TemporaryHome {
public:
    explicit TemporaryHome(const std::string& prefix) {
        static std::atomic<int> counter{0};
        home_ = std::filesystem::temp_directory_path() /
                (prefix + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(home_);
        previousHome_ = foundation::FileSystem::home();
        foundation::FileSystem::setHome(home_);
        dispatch::markMainThread();
        ui::Application::reset();
    }
    ~TemporaryHome() {
        ui::Application::reset();
        foundation::FileSystem::setHome(previousHome_);
        std::filesystem::remove_all(home_);
    }
    TemporaryHome(const TemporaryHome&) = delete;
    TemporaryHome& operator=(const TemporaryHome&) = delete;

private:
    std::filesystem::path home_;
    std::filesystem::path previousHome_;
};
