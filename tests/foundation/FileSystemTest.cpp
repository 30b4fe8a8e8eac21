#include <sys/stat.h>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/UserDefaults.h"
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

// Under any umask, what the application makes in its home is its owner's
// alone; folders that were there already keep their mode.
TEST_F(FileSystemTest, FoldersAndFilesAreOwnerOnlyWhateverTheUmask) {
    fs::create_directories(root_ / "existing");
    fs::permissions(root_ / "existing", fs::perms::all);
    const mode_t saved = ::umask(0);
    const fs::path file = root_ / "existing" / "new" / "deeper" / "file.txt";
    const bool written = FileSystem::writeAtomically(file, "x");
    auto preferences = std::make_shared<foundation::PreferencesStore>(root_ / "Library" / "Preferences");
    const bool set = foundation::UserDefaults(preferences, "app").set("k", 1);
    const auto kept = FileSystem::keepAside(root_ / "existing" / "part", "damaged bytes");
    ::umask(saved);
    ASSERT_TRUE(written && set && kept);
    auto mode = [](const fs::path& path) { return fs::status(path).permissions() & fs::perms::all; };
    EXPECT_EQ(mode(root_ / "existing"), fs::perms::all);
    for (const fs::path& folder : {root_ / "existing" / "new", file.parent_path(), root_ / "Library",
                                   root_ / "Library" / "Preferences"})
        EXPECT_EQ(mode(folder), FileSystem::kFolderPermissions) << folder;
    for (const fs::path& path : {file, root_ / "Library" / "Preferences" / "app.plist", *kept})
        EXPECT_EQ(mode(path), FileSystem::kFilePermissions) << path;
}
