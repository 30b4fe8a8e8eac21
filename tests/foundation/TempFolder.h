#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "platform/foundation/UserDefaults.h"
#include "tests/support/SharedState.h"
#include "tests/support/TemporaryDataRoot.h"

// A test with an empty folder of its own, removed afterwards.
class TempFolderTest : public SharedStateTest {
  protected:
    TemporaryDataRoot folder_{"foundation"};
    const std::filesystem::path& root_ = folder_.path();
};

// A test over the "app" suite's file in a Preferences folder of its own.
class PreferenceFolderTest : public TempFolderTest {
  protected:
    foundation::UserDefaults reopen() {
        return foundation::UserDefaults(std::make_shared<foundation::PreferencesStore>(dir_), "app");
    }
    std::filesystem::path live() const { return dir_ / "app.plist"; }
    // Puts `bytes` in place of the suite's file.
    void write(const std::string& bytes) {
        std::filesystem::create_directories(dir_);
        std::ofstream(live(), std::ios::binary | std::ios::trunc) << bytes;
    }
    // The copies of the file set aside as damaged.
    size_t asideCopies() const {
        size_t n = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir_))
            n += entry.path().filename().string().find(".damaged") != std::string::npos;
        return n;
    }
    const std::filesystem::path dir_ = root_ / "Preferences";
};
