#include "analytics/storage/Keychain.h"

#include <sys/stat.h>

#include <algorithm>
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

std::string serviceOf(const Keychain::Attributes& attributes) {
    auto found = attributes.find(Keychain::kService);
    return found == attributes.end() ? std::string() : bytesOf(found->second).value_or(std::string());
}

// Whose items of `given` gave way, for a message: "2 items of other services
// and 1 items of its own service S".
std::string keychainWhoseItems(const std::vector<Keychain::Item>& given, const std::string& own) {
    size_t ours = 0;
    for (const Keychain::Item& item : given) ours += !own.empty() && serviceOf(item.attributes) == own;
    const size_t foreign = given.size() - ours;
    std::string text;
    if (foreign > 0) text = std::to_string(foreign) + " items of other services";
    if (ours > 0)
        text += (text.empty() ? "" : " and ") + std::to_string(ours) + " items of its own service " + own;
    return text.empty() ? "no items" : text;
}

// An item as the file holds it.
Value entryOf(const Keychain::Item& item) {
    // Made in place, entry by entry: GCC's uninitialized-use analysis
    // misreads values copied out of a braced list or moved in.
    Value::Dictionary entry;
    entry.emplace(kAttributesKey, item.attributes);
    entry.emplace(kDataKey, item.data);
    return Value(std::move(entry));
}

Value listOf(const std::vector<Keychain::Item>& items) {
    Value::List entries;
    entries.reserve(items.size());
    for (const Keychain::Item& item : items) entries.push_back(entryOf(item));
    return Value(std::move(entries));
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

std::optional<std::vector<Keychain::Item>> Keychain::load(const Attributes& named) const {
    std::string bytes;
    std::error_code ec;
    if (!inPrivateFolder(file_)) return std::nullopt;
    if (!std::filesystem::exists(file_, ec)) return std::vector<Item>{};
    if (!foundation::FileSystem::readFile(file_, bytes)) return std::nullopt;
    foundation::PropertyListRefusal refusal;
    std::optional<Value> parsed;
    {
        foundation::StoredFileScope scope(foundation::storedFileBound(kStoredFileName));
        parsed = foundation::parsePropertyList(bytes, &refusal);
    }
    // Past its bound but within the reader's: read to be salvaged, once,
    // since what is kept of it is written back within the bound.
    const bool pastBound = !parsed && refusal.pastBounds;
    if (pastBound) parsed = foundation::parsePropertyList(bytes);
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
    if (!pastBound) return items;
    // The file stays as it was beside the salvaged one: what gives way here
    // is kept there.
    const auto aside = foundation::FileSystem::keepAsideInPlace(file_);
    if (!aside) {
        std::fprintf(stderr, "keychain: %s is past its bound and cannot be kept aside; it stays as it is\n",
                     file_.c_str());
        return std::nullopt;
    }
    const size_t before = items.size();
    const std::vector<Item> given = fitToBound(items, named);
    if (!write(items)) {
        std::fprintf(stderr, "keychain: %s is past its bound and what is kept of it cannot be written\n",
                     file_.c_str());
        return std::nullopt;
    }
    std::fprintf(
        stderr,
        "keychain: %s is past its bound; %zu of its %zu items kept (%s gave way), the file kept as %s\n",
        file_.c_str(), items.size(), before, keychainWhoseItems(given, serviceOf(named)).c_str(),
        aside->c_str());
    return items;
}

std::vector<Keychain::Item> Keychain::fitToBound(std::vector<Item>& items, const Attributes& named) const {
    const auto bound = foundation::storedFileBound(kStoredFileName);
    if (!bound || items.empty()) return {};
    const foundation::PropertyListBounds reader = foundation::propertyListBounds();
    const uint64_t valueLimit = std::min(bound->bounds.values, reader.values);
    const uint64_t byteLimit = std::min(bound->bounds.bytes, reader.bytes);
    foundation::PropertyListSize total = foundation::propertyListSize(listOf(items));
    if (total.values <= valueLimit && total.bytes <= byteLimit) return {};
    // Foreign items give way the largest first; then the owner's other
    // items, the oldest (first written) first; the named one last.
    const std::string own = serviceOf(named);
    const auto identity = identityOf(named);
    enum Rank { kForeign, kOwn, kNamed };
    const auto rankOf = [&](const Item& item) {
        if (own.empty() || serviceOf(item.attributes) != own) return kForeign;
        return identityOf(item.attributes) == identity ? kNamed : kOwn;
    };
    struct Leaving {
        Rank rank;
        foundation::PropertyListSize size;
        size_t index;
    };
    std::vector<Leaving> order;
    for (size_t i = 0; i < items.size(); ++i)
        order.push_back({rankOf(items[i]), foundation::propertyListSize(entryOf(items[i]), 1), i});
    std::stable_sort(order.begin(), order.end(), [](const Leaving& a, const Leaving& b) {
        if (a.rank != b.rank) return a.rank < b.rank;
        return a.rank == kForeign ? a.size.bytes > b.size.bytes : a.index < b.index;
    });
    std::vector<bool> leaving(items.size(), false);
    for (const Leaving& item : order) {
        if (total.values <= valueLimit && total.bytes <= byteLimit) break;
        leaving[item.index] = true;
        total.values -= std::min(total.values, item.size.values);
        total.bytes -= std::min(total.bytes, item.size.bytes);
    }
    std::vector<Item> kept, given;
    for (size_t i = 0; i < items.size(); ++i) (leaving[i] ? given : kept).push_back(std::move(items[i]));
    items = std::move(kept);
    return given;
}

bool Keychain::save(std::vector<Item>& items, const Attributes& named) const {
    std::vector<Item> given = fitToBound(items, named);
    if (!given.empty()) {
        // Kept before they leave the file; without a copy nothing changes.
        const std::string whose = keychainWhoseItems(given, serviceOf(named));
        auto xml = foundation::propertyListXml(listOf(given));
        auto aside = xml ? foundation::FileSystem::keepAside(file_, *xml) : std::nullopt;
        if (!aside) {
            std::fprintf(stderr, "keychain: %s is at its bound and %s cannot be kept aside\n", file_.c_str(),
                         whose.c_str());
            return false;
        }
        std::fprintf(stderr, "keychain: %s is at its bound; %s give way, kept as %s\n", file_.c_str(),
                     whose.c_str(), aside->c_str());
    }
    return write(items);
}

bool Keychain::write(const std::vector<Item>& items) const {
    auto xml = [&] {
        foundation::StoredFileScope scope(foundation::storedFileBound(kStoredFileName));
        return foundation::propertyListXml(listOf(items));
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
    auto items = load(attributes);
    if (!items) return Status::kIOError;
    for (const Item& item : *items) {
        if (identityOf(item.attributes) == identityOf(attributes)) return Status::kDuplicateItem;
    }
    items->push_back({attributes, data});
    return save(*items, attributes) ? Status::kSuccess : Status::kIOError;
}

Keychain::Status Keychain::copyMatching(const Attributes& query, Item* item) const {
    if (!validAttributes(query)) return Status::kBadParameter;
    std::lock_guard lock(mutex_);
    auto items = load(query);
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
    auto items = load(query);
    if (!items) return Status::kIOError;
    bool found = false;
    for (Item& item : *items) {
        if (!matches(item, query)) continue;
        found = true;
        for (const auto& [name, value] : changes) item.attributes[name] = value;
        if (data) item.data = *data;
    }
    if (!found) return Status::kItemNotFound;
    return save(*items, query) ? Status::kSuccess : Status::kIOError;
}

Keychain::Status Keychain::remove(const Attributes& query) {
    if (!validAttributes(query)) return Status::kBadParameter;
    std::lock_guard lock(mutex_);
    auto items = load(query);
    if (!items) return Status::kIOError;
    size_t before = items->size();
    std::erase_if(*items, [&](const Item& item) { return matches(item, query); });
    if (items->size() == before) return Status::kItemNotFound;
    return save(*items, query) ? Status::kSuccess : Status::kIOError;
}
