#pragma once

#include <filesystem>
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

    // Replaces the file at `path` with `contents` so that a reader, or a crash
    // at any moment, sees either the old or the new file and never a mix:
    // write a temporary file beside it, fsync it, rename it over the target,
    // fsync the folder. Creates missing parent folders. On failure the old
    // file is untouched and `error` (when given) says why.
    static bool writeAtomically(const std::filesystem::path& path, std::string_view contents,
                                std::string* error = nullptr);

    // The whole file, or false when it cannot be read.
    static bool readFile(const std::filesystem::path& path, std::string& contents);
};

}  // namespace foundation
