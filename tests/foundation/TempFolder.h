#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

// A test with an empty folder of its own, removed afterwards. Test cases may
// run as parallel processes, so the process id keeps their folders apart.
class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    const std::filesystem::path root_ =
        std::filesystem::temp_directory_path() / ("calvaro-test-" + std::to_string(::getpid()));
};
