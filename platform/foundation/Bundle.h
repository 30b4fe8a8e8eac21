#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

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
    // The text of `key` in `table`, found as localizedString finds it, with
    // each "%@" filled in turn by the next of `arguments` (see filledFormat).
    std::string localizedFormat(const std::string& key, const std::string& table,
                                const std::vector<std::string>& arguments = {}) const;

    // The file of resource `name` with `extension` ("json", "plist", ...; may be
    // empty when the name carries it): in the resources folder itself, else in
    // the folder of the bundle's language, else in English. Names that would
    // leave the resources folder find nothing.
    std::optional<std::filesystem::path> pathForResource(const std::string& name,
                                                         const std::string& extension) const;
    // The bytes of that resource, or nothing when it is missing or unreadable.
    std::optional<std::string> contentsOfResource(const std::string& name,
                                                  const std::string& extension) const;
    // The PNG of image `name` drawn for `scale` pixels a point ("<name>@2x.png",
    // "<name>@3x.png"), else its 1x "<name>.png"; looked up like any resource,
    // so an image carrying words sits in the language folders. Nothing when
    // the bundle has no such image.
    std::optional<std::filesystem::path> imagePath(const std::string& name, int scale = 1) const;
    // The JSON resource "<name>.json" / the property list "<name>.plist",
    // parsed; nothing when missing or malformed.
    std::optional<Value> jsonResource(const std::string& name) const;
    std::optional<Value> plistResource(const std::string& name) const;

    // The bundle's Info.plist (read once); empty when it is missing or damaged.
    const Value::Dictionary& infoDictionary() const;
    Value objectForInfoDictionaryKey(const std::string& key) const;
    // "CFBundleIdentifier" of the Info.plist.
    std::optional<std::string> bundleIdentifier() const;

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
    mutable std::once_flag infoOnce_;
    mutable Value::Dictionary info_;
};

// `format` with each "%@" replaced by the next of `arguments`; one without an
// argument left is dropped. An argument's own "%@" stays as it is.
std::string filledFormat(const std::string& format, const std::vector<std::string>& arguments);

// Shorthand for Bundle::main().localizedString(key, value): the platform's
// localized-string lookup.
std::string localizedString(const std::string& key, const std::string& value = "");

}  // namespace foundation
