#include "analytics/storage/Keychain.h"

#include <sys/stat.h>

#include <cstdio>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/StoredFileBounds.h"

using foundation::Value;

namespace {

constexpr const char* kAttributesKey = "attributes";
constexpr const char* kDataKey = "data";

std::optional<std::string> bytesOf(const Value& value) {
    if (const std::string* text = value.string()) return *text;
    if (const Value::Bytes* bytes = value.bytes()) return std::string(bytes->begin(), bytes->end());
    return std::nullopt;
}

bool sameBytes(const Value& a, const Value& b) {
    auto left = bytesOf(a);
    auto right = bytesOf(b);
    return left && right && *left == *right;
}

bool matches(const Keychain::Item& item, const Keychain::Attributes& query) {
    for (const auto& [name, wanted] : query) {
        auto found = item.attributes.find(name);
        if (found == item.attributes.end() || !sameBytes(found->second, wanted)) return false;
    }
    return true;
}

// Class, service and account name one generic password.
std::vector<std::optional<std::string>> identityOf(const Keychain::Attributes& attributes) {
    std::vector<std::optional<std::string>> identity;
    for (const char* name : {Keychain::kClass, Keychain::kService, Keychain::kAccount}) {
        auto found = attributes.find(name);
        identity.push_back(found == attributes.end() ? std::nullopt : bytesOf(found->second));
    }
    return identity;
}

bool validAttributes(const Keychain::Attributes& attributes) {
    for (const auto& [name, value] : attributes) {
        if (name.empty() || !bytesOf(value)) return false;
    }
    return true;
}

// The keychain lies beside the data root, where another user may have made
// its folder first: items are neither read from nor written into a folder
// that is not the user's alone.
bool inPrivateFolder(const std::filesystem::path& file) {
    std::error_code ec;
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : ".";
    return !std::filesystem::exists(folder, ec) || foundation::FileSystem::isPrivateFolder(folder);
}

}  // namespace

std::filesystem::path Keychain::defaultFile() {
    std::filesystem::path home = foundation::FileSystem::home().lexically_normal();
    if (!home.has_filename()) home = home.parent_path();
    return home.parent_path() / (home.filename().string() + ".keychain") / "keychain.plist";
}

Keychain::Keychain(std::filesystem::path file) : file_(std::move(file)) {}

std::optional<std::vector<Keychain::Item>> Keychain::load() const {
    std::string bytes;
    std::error_code ec;
    if (!inPrivateFolder(file_)) return std::nullopt;
    if (!std::filesystem::exists(file_, ec)) return std::vector<Item>{};
    if (!foundation::FileSystem::readFile(file_, bytes)) return std::nullopt;
    foundation::StoredFileScope scope(foundation::storedFileBound(kStoredFileName));
    auto parsed = foundation::parsePropertyList(bytes);
    // A damaged keychain is not silently emptied: the caller sees an error and
    // nothing is overwritten. Said once per keychain, as every use fails alike.
    if (!parsed || !parsed->list()) {
        if (!damageReported_.exchange(true)) {
            std::fprintf(stderr,
                         "keychain: %s is damaged; its items can be neither read nor changed until it is "
                         "repaired or removed\n",
                         file_.c_str());
        }
        return std::nullopt;
    }
    std::vector<Item> items;
    for (const Value& entry : *parsed->list()) {
        const Value::Dictionary* attributes = entry[kAttributesKey].dictionary();
        const Value::Bytes* data = entry[kDataKey].bytes();
        if (!attributes || !data) continue;
        items.push_back({*attributes, *data});
    }
    return items;
}

bool Keychain::save(const std::vector<Item>& items) const {
    Value::List entries;
    for (const Item& item : items) {
        // Made in place, entry by entry: GCC's uninitialized-use analysis
        // misreads values copied out of a braced list or moved in.
        Value::Dictionary entry;
        entry.emplace(kAttributesKey, item.attributes);
        entry.emplace(kDataKey, item.data);
        entries.emplace_back(std::move(entry));
    }
    auto xml = [&] {
        foundation::StoredFileScope scope(foundation::storedFileBound(kStoredFileName));
        return foundation::propertyListXml(Value(std::move(entries)));
    }();
    if (!xml) return false;
    // Owner-only: the folder and the file (writeAtomically makes both so).
    if (!foundation::FileSystem::createDirectories(file_.parent_path())) return false;
    chmod(file_.parent_path().c_str(), 0700);
    if (!inPrivateFolder(file_)) return false;
    return foundation::FileSystem::writeAtomically(file_, *xml);
}

Keychain::Status Keychain::add(const Attributes& attributes, const Value::Bytes& data) {
    if (!validAttributes(attributes)) return Status::kBadParameter;
    std::lock_guard lock(mutex_);
    auto items = load();
    if (!items) return Status::kIOError;
    for (const Item& item : *items) {
        if (identityOf(item.attributes) == identityOf(attributes)) return Status::kDuplicateItem;
    }
    items->push_back({attributes, data});
    return save(*items) ? Status::kSuccess : Status::kIOError;
}

Keychain::Status Keychain::copyMatching(const Attributes& query, Item* item) const {
    if (!validAttributes(query)) return Status::kBadParameter;
    std::lock_guard lock(mutex_);
    auto items = load();
    if (!items) return Status::kIOError;
    for (const Item& candidate : *items) {
        if (matches(candidate, query)) {
            if (item) *item = candidate;
            return Status::kSuccess;
        }
    }
    return Status::kItemNotFound;
}

Keychain::Status Keychain::update(const Attributes& query, const Attributes& changes,
                                  const std::optional<Value::Bytes>& data) {
    if (!validAttributes(query) || !validAttributes(changes)) return Status::kBadParameter;
    std::lock_guard lock(mutex_);
    auto items = load();
    if (!items) return Status::kIOError;
    bool found = false;
    for (Item& item : *items) {
        if (!matches(item, query)) continue;
        found = true;
        for (const auto& [name, value] : changes) item.attributes[name] = value;
        if (data) item.data = *data;
    }
    if (!found) return Status::kItemNotFound;
    return save(*items) ? Status::kSuccess : Status::kIOError;
}

Keychain::Status Keychain::remove(const Attributes& query) {
    if (!validAttributes(query)) return Status::kBadParameter;
    std::lock_guard lock(mutex_);
    auto items = load();
    if (!items) return Status::kIOError;
    size_t before = items->size();
    std::erase_if(*items, [&](const Item& item) { return matches(item, query); });
    if (items->size() == before) return Status::kItemNotFound;
    return save(*items) ? Status::kSuccess : Status::kIOError;
}
