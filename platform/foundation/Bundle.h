#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <string>

namespace foundation {

// The application bundle: the folder of resources shipped beside the executable
// (string tables, JSON defaults, images, Info.plist).
//
// The resources folder is found, in this order, through the environment
// variable CALVARO_RESOURCES, beside the executable (resources/ or
// ../Calvaro/resources/), and finally in the source tree the program was built
// from.
class Bundle {
public:
    // The bundle of the running application, created on first use.
    static Bundle& main();

    explicit Bundle(std::filesystem::path resourcesPath, std::string language = preferredLanguage());

    const std::filesystem::path& resourcePath() const { return resourcesPath_; }
    const std::string& language() const { return language_; }

    // The text of `key` in the table `table` (default "Localizable") of the
    // bundle's language, falling back to English and then to `value` when it
    // is not empty, and last to the key itself.
    std::string localizedString(const std::string& key, const std::string& value = "",
                                const std::string& table = "Localizable") const;

    // The device language as a two-letter code, read from CALVARO_LANGUAGE,
    // LC_ALL, LC_MESSAGES or LANG ("C" and "POSIX" count as English).
    static std::string preferredLanguage();

private:
    using Table = std::map<std::string, std::string>;
    const Table& table(const std::string& language, const std::string& name) const;

    std::filesystem::path resourcesPath_;
    std::string language_;
    mutable std::mutex mutex_;
    mutable std::map<std::string, Table> tables_;  // "<language>/<table>" -> entries
};

// Shorthand for Bundle::main().localizedString(key, value): the platform's
// localized-string lookup.
std::string localizedString(const std::string& key, const std::string& value = "");

}  // namespace foundation
