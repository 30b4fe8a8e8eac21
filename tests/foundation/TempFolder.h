#pragma once

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/SharedState.h"
#include "tests/support/TemporaryDataRoot.h"

// A test with an empty folder of its own, removed afterwards.
class TempFolderTest : public SharedStateTest {
  protected:
    TemporaryDataRoot folder_{"foundation"};
    const std::filesystem::path& root_ = folder_.path();
};
