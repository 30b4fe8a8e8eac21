#include "platform/foundation/Bundle.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/StringsFile.h"

namespace foundation {
namespace fs = std::filesystem;

namespace {

fs::path executableDirectory() {
    std::error_code ec;
    auto exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
}

fs::path locateResources() {
    if (const char* env = std::getenv("CALVARO_RESOURCES"); env && *env) return env;
    auto dir = executableDirectory();
    if (!dir.empty()) {
        for (const auto& candidate : {dir / "resources", dir / ".." / "Calvaro" / "resources",
                                      dir / ".." / ".." / "Calvaro" / "resources"}) {
            std::error_code ec;
            if (fs::is_directory(candidate, ec)) return fs::weakly_canonical(candidate, ec);
        }
    }
    return CALVARO_SOURCE_RESOURCES;
}

}  // namespace

Bundle& Bundle::main() {
    static Bundle bundle(locateResources());
    return bundle;
}

Bundle::Bundle(fs::path resourcesPath, std::string language)
    : resourcesPath_(std::move(resourcesPath)), language_(std::move(language)) {}

std::string Bundle::preferredLanguage() {
    for (const char* name : {"CALVARO_LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        std::string code(value);
        if (code == "C" || code.rfind("C.", 0) == 0 || code == "POSIX") return "en";
        return code.substr(0, std::min(code.find_first_of("_.@-"), code.size()));
    }
    return "en";
}

const Bundle::Table& Bundle::table(const std::string& language, const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto [it, inserted] = tables_.try_emplace(language + "/" + name);
    if (inserted) {
        std::ifstream in(resourcesPath_ / (language + ".lproj") / (name + ".strings"), std::ios::binary);
        if (in) {
            std::stringstream text;
            text << in.rdbuf();
            // A damaged table behaves as a missing one: every lookup falls back.
            if (auto parsed = parseStringsFile(text.str())) it->second = std::move(*parsed);
        }
    }
    return it->second;
}

std::optional<fs::path> Bundle::imagePath(const std::string& name, int scale) const {
    if (name.empty() || name.find('@') != std::string::npos) return std::nullopt;
    if (scale > 1)
        if (auto path = pathForResource(name + "@" + std::to_string(scale) + "x", "png")) return path;
    return pathForResource(name, "png");
}

std::string Bundle::localizedString(const std::string& key, const std::string& value,
                                    const std::string& tableName) const {
    for (const std::string& language : {language_, std::string("en")}) {
        const Table& entries = table(language, tableName);
        if (auto it = entries.find(key); it != entries.end()) return it->second;
        if (language == "en") break;
    }
    return value.empty() ? key : value;
}

std::string Bundle::localizedFormat(const std::string& key, const std::string& tableName,
                                    const std::vector<std::string>& arguments) const {
    return filledFormat(localizedString(key, "", tableName), arguments);
}

std::optional<fs::path> Bundle::pathForResource(const std::string& name, const std::string& extension) const {
    if (name.empty() || name.find("..") != std::string::npos || name.front() == '/') return std::nullopt;
    std::string fileName = extension.empty() ? name : name + "." + extension;
    for (const fs::path& dir :
         {resourcesPath_, resourcesPath_ / (language_ + ".lproj"), resourcesPath_ / "en.lproj"}) {
        std::error_code ec;
        fs::path candidate = dir / fileName;
        if (fs::is_regular_file(candidate, ec)) return candidate;
    }
    return std::nullopt;
}

std::optional<std::string> Bundle::contentsOfResource(const std::string& name,
                                                      const std::string& extension) const {
    auto path = pathForResource(name, extension);
    std::string contents;
    if (!path || !FileSystem::readFile(*path, contents)) return std::nullopt;
    return contents;
}

std::optional<Value> Bundle::jsonResource(const std::string& name) const {
    auto contents = contentsOfResource(name, "json");
    if (!contents) return std::nullopt;
    return Value::parseJson(*contents);
}

std::optional<Value> Bundle::plistResource(const std::string& name) const {
    auto contents = contentsOfResource(name, "plist");
    if (!contents) return std::nullopt;
    return parsePropertyList(*contents);
}

const Value::Dictionary& Bundle::infoDictionary() const {
    std::call_once(infoOnce_, [this] {
        std::string contents;
        if (!FileSystem::readFile(resourcesPath_ / "Info.plist", contents)) return;
        if (auto parsed = parsePropertyList(contents); parsed && parsed->dictionary()) {
            info_ = std::move(*parsed->dictionary());
        }
    });
    return info_;
}

Value Bundle::objectForInfoDictionaryKey(const std::string& key) const {
    const auto& info = infoDictionary();
    auto it = info.find(key);
    return it == info.end() ? Value() : it->second;
}

std::optional<std::string> Bundle::bundleIdentifier() const {
    Value identifier = objectForInfoDictionaryKey("CFBundleIdentifier");
    if (auto s = identifier.string()) return *s;
    return std::nullopt;
}

std::string filledFormat(const std::string& format, const std::vector<std::string>& arguments) {
    std::string text;
    size_t next = 0, from = 0;
    for (size_t at = format.find("%@"); at != std::string::npos; at = format.find("%@", from)) {
        text += format.substr(from, at - from);
        if (next < arguments.size()) text += arguments[next++];
        from = at + 2;
    }
    return text + format.substr(from);
}

std::string localizedString(const std::string& key, const std::string& value) {
    return Bundle::main().localizedString(key, value);
}

}  // namespace foundation
