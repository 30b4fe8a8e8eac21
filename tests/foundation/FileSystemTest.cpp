#include "platform/foundation/FileSystem.h"
#include "tests/foundation/TempFolder.h"

namespace fs = std::filesystem;
using foundation::FileSystem;

using FileSystemTest = TempFolderTest;

TEST_F(FileSystemTest, AtomicWriteReplacesWholeFileAndLeavesNoTemporaries) {
    fs::path file = root_ / "a" / "b" / "file.txt";
    ASSERT_TRUE(FileSystem::writeAtomically(file, "first, longer content"));
    ASSERT_TRUE(FileSystem::writeAtomically(file, "second"));
    std::string contents;
    ASSERT_TRUE(FileSystem::readFile(file, contents));
    EXPECT_EQ(contents, "second");
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(FileSystemTest, FailedWriteKeepsTheTargetAndReportsWhy) {
    // A folder in the target's place cannot be replaced by a file.
    fs::create_directories(root_ / "target" / "child");
    std::string error;
    EXPECT_FALSE(FileSystem::writeAtomically(root_ / "target", "data", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(fs::is_directory(root_ / "target" / "child"));
    EXPECT_EQ(std::distance(fs::directory_iterator(root_), fs::directory_iterator()), 1);
}
