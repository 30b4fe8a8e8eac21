#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

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

// What another user or program may leave where the application expects one
// of its files: a link (to a file, to a device without end), a pipe that
// never gets a writer, a folder, a file larger than any the application
// writes. None is read, and none makes the reader wait.
TEST_F(FileSystemTest, PlantedFilesAreNeitherFollowedNorWaitedOn) {
    FileSystem::writeAtomically(root_ / "regular", "bytes");
    fs::create_symlink(root_ / "regular", root_ / "link-to-file");
    fs::create_symlink("/dev/zero", root_ / "link-to-zero");
    ASSERT_EQ(::mkfifo((root_ / "pipe").c_str(), 0600), 0);
    fs::create_directories(root_ / "folder");
    FileSystem::writeAtomically(root_ / "large", std::string(1025, 'x'));
    const std::vector<std::pair<const char*, bool>> cases = {
        {"regular", true},   {"link-to-file", false}, {"link-to-zero", false}, {"pipe", false},
        {"folder", false},   {"large", false},        {"missing", false},
    };
    for (const auto& [name, readable] : cases) {
        std::string contents = "untouched";
        EXPECT_EQ(FileSystem::readFile(root_ / name, contents, 1024), readable) << name;
        EXPECT_EQ(contents, readable ? "bytes" : "untouched") << name;
    }
}

TEST_F(FileSystemTest, APipeOrADeviceInPlaceOfThePreferencesIsSetAsideNotWaitedOn) {
    for (const char* planted : {"pipe", "device"}) {
        SCOPED_TRACE(planted);
        TemporaryDataRoot folder("planted");
        const fs::path preferences = folder.path() / "Library" / "Preferences";
        fs::create_directories(preferences);
        const fs::path file = preferences / "app.plist";
        if (std::string(planted) == "pipe") ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
        else fs::create_symlink("/dev/zero", file);
        foundation::UserDefaults defaults(std::make_shared<foundation::PreferencesStore>(preferences), "app");
        EXPECT_TRUE(defaults.set("k", 1));
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file))) << "a file of its own took the place";
    }
}

// A link or file planted in the data root where a folder belongs (such as
// Shared/ leading into another user's folder) is refused, and nothing is
// written through it.
TEST_F(FileSystemTest, FoldersBelowTheHomeAreNeverReachedThroughLinks) {
    const fs::path home = folder_.useAsHome("home");
    fs::create_directories(root_ / "elsewhere");
    fs::create_symlink(root_ / "elsewhere", home / "Shared");
    FileSystem::writeAtomically(home / "Library", "a file where a folder belongs");
    for (const fs::path& path : {home / "Shared", home / "Shared" / "deeper", home / "Library" / "Preferences"}) {
        std::string error;
        EXPECT_FALSE(FileSystem::createDirectories(path, &error)) << path;
        EXPECT_NE(error.find("is not a folder"), std::string::npos) << error;
    }
    EXPECT_FALSE(FileSystem::writeAtomically(home / "Shared" / "picture.png", "x"));
    EXPECT_TRUE(fs::is_empty(root_ / "elsewhere"));
    EXPECT_TRUE(FileSystem::createDirectories(home / "Library Two" / "Preferences"));
    EXPECT_FALSE(fs::is_symlink(home / "Library Two"));
}

TEST_F(FileSystemTest, OnlyAFolderOfTheUsersOwnThatNoOneElseCanWriteIsADataRoot) {
    struct Case {
        const char* name;
        fs::perms mode;
        bool otherOwner;
        const char* fix;  // in the message; null: accepted
    };
    const std::vector<Case> cases = {
        {"private", fs::perms::owner_all, false, nullptr},
        {"readable by others", fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read, false, nullptr},
        {"writable by everyone", fs::perms::all, false, "chmod 700"},
        {"writable by the group", fs::perms::owner_all | fs::perms::group_write, false, "chmod 700"},
        {"another user's", fs::perms::owner_all, true, "--home"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = root_ / c.name;
        fs::create_directories(folder);
        fs::permissions(folder, c.mode);
        if (c.otherOwner && (::geteuid() != 0 || ::chown(folder.c_str(), 65534, 65534) != 0)) continue;
        std::string error;
        EXPECT_EQ(FileSystem::isPrivateFolder(folder, &error), c.fix == nullptr) << error;
        if (c.fix) {
            EXPECT_NE(error.find(c.fix), std::string::npos) << error;
        }
    }
    std::string error;
    EXPECT_FALSE(FileSystem::isPrivateFolder(root_ / "missing", &error));
}

// A death test's child ends with exit() while its fixture's folder is alive;
// the folder goes all the same, and the parent's stays.
TEST_F(FileSystemTest, TheFolderOfAChildThatExitsGoesWithIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child runs this test again up to the statement: it keeps the
    // parent's file.
    const fs::path told = root_ / "child-root.txt";
    ::setenv("CALVARO_TEST_CHILD_ROOT", told.c_str(), 0);
    EXPECT_EXIT(
        {
            TemporaryDataRoot child("child");
            std::ofstream(std::getenv("CALVARO_TEST_CHILD_ROOT")) << child.path().string();
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
    ::unsetenv("CALVARO_TEST_CHILD_ROOT");
    std::string childRoot;
    ASSERT_TRUE(FileSystem::readFile(told, childRoot));
    EXPECT_NE(childRoot, root_.string());
    EXPECT_FALSE(fs::exists(childRoot)) << "left behind";
    EXPECT_TRUE(fs::exists(root_));
}
