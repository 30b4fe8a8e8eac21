#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

// The application's sandbox: one data root ("home") and the fixed folders in it.
//
// The home is configuration, not a hidden constant: the launcher passes
// --home, tests point it at a temporary folder. Until someone sets it, it is
// $XDG_DATA_HOME/calvaro or ~/.local/share/calvaro.
class FileSystem {
public:
    static std::filesystem::path home();
    static void setHome(std::filesystem::path home);

    // <home>/Library
    static std::filesystem::path libraryDirectory();
    // <home>/Library/Preferences
    static std::filesystem::path preferencesDirectory();
    // <home>/Library/Application Support
    static std::filesystem::path applicationSupportDirectory();

    // Everything the application writes under its home is its owner's alone,
    // whatever the umask: folders 0700, files 0600.
    static constexpr std::filesystem::perms kFolderPermissions = std::filesystem::perms::owner_all;
    static constexpr std::filesystem::perms kFilePermissions =
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;

    // Creates `path` and its missing parents, each new folder 0700 (folders
    // that exist already keep their permissions). False, with the cause in
    // `error`, when a folder cannot be made. Below the home, the folders are
    // walked from the home one by one without following a link: a link or
    // a file planted where a folder belongs is refused, never followed.
    static bool createDirectories(const std::filesystem::path& path, std::string* error = nullptr);

    // Whether `folder` may serve as a data root: a folder owned by the user
    // running the process that no one else can write. False, with the
    // cause and the fix in `error`, for anything else.
    static bool isPrivateFolder(const std::filesystem::path& folder, std::string* error = nullptr);

    // Gives a file that another library creates 0600. A missing path and
    // anything but a regular file are left alone (true); false, with the
    // cause in `error`, when the mode cannot be changed.
    static bool restrictFile(const std::filesystem::path& path, std::string* error = nullptr);

    // Keeps a file that cannot be read for inspection instead of letting it be
    // overwritten: renames it to "<file>.damaged" (or "-1", "-2"... past the
    // newest copy). Of the copies of one file the newest kMaxAsideCopies stay
    // and older ones go, as the database's do. The new name, or nothing when
    // the rename failed.
    static constexpr size_t kMaxAsideCopies = 3;
    static std::optional<std::filesystem::path> setAside(const std::filesystem::path& file);
    // The same, while the file stays where it is: a second name for it, so
    // that it is never missing while its replacement is made (which then
    // goes over the live name only). Falls back to the rename where the
    // folder takes no second names.
    static std::optional<std::filesystem::path> keepAsideInPlace(const std::filesystem::path& file);
    // The same for bytes that are not a file of their own (a damaged part of
    // a file that is otherwise read): written to a fresh "<file>.damaged..." name.
    static std::optional<std::filesystem::path> keepAside(const std::filesystem::path& file,
                                                          std::string_view bytes);

    // Replaces the file at `path` with `contents` so that a reader, or a crash
    // at any moment, sees either the old or the new file and never a mix:
    // write a temporary file beside it, fsync it, rename it over the target,
    // fsync the folder. Creates missing parent folders (0700); the file is
    // 0600. On failure the old
    // file is untouched and `error` (when given) says why.
    static bool writeAtomically(const std::filesystem::path& path, std::string_view contents,
                                std::string* error = nullptr);
    // Removes the temporary files of writeAtomically(path, ...) that a
    // process killed while writing left beside `path`; those of a process
    // that still runs (this one included) stay. The number removed.
    static size_t removeLeftTemporaryFiles(const std::filesystem::path& path);

    // Files read whole are never larger than this.
    static constexpr size_t kMaxReadBytes = 64 * 1024 * 1024;

    // The whole file, or false when it cannot be read. Only a regular file
    // of at most `limit` bytes is read: a link is not followed, and a device
    // or pipe planted in its place is neither waited on nor read.
    static bool readFile(const std::filesystem::path& path, std::string& contents, size_t limit = kMaxReadBytes);
    // The first `limit` bytes of a regular file (all of a shorter one), for
    // what can be salvaged of a file too large to read whole.
    static bool readFileHead(const std::filesystem::path& path, std::string& contents, size_t limit = kMaxReadBytes);
};

}  // namespace foundation
