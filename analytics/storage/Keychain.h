#pragma once

// A stand-in for the platform keychain: generic-password items kept in one
// owner-only property-list file in a folder beside the data root (not inside
// it), so that items outlive the removal of the whole data root as keychain
// items outlive a reinstall. Every change rewrites the file atomically. Attribute values are texts or bytes and match
// by their bytes, whichever form they were stored in.
//
// The file is held to its stated bound (kStoredFileName). The item an
// operation names (its class, service and account) is its caller's; the
// other items of that service are the caller's own too, and the rest are
// foreign. A well-formed file past the bound is salvaged at its first read:
// the file is kept aside as it was, and items give way until the rest fits:
// foreign ones first, the largest first, then the caller's other items, the
// oldest (first written) first; the named item goes last of all, only when
// it alone passes the bound. A change that would pass the bound makes room
// the same way, what gives way kept aside in a file of its own. Both say on
// standard error how many items of each kind gave way.

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

class Keychain {
  public:
    enum class Status { kSuccess, kDuplicateItem, kItemNotFound, kBadParameter, kIOError };

    using Attributes = std::map<std::string, foundation::Value>;
    struct Item {
        Attributes attributes;
        foundation::Value::Bytes data;
    };

    static constexpr const char* kClass = "class";
    static constexpr const char* kService = "service";
    static constexpr const char* kAccount = "account";
    static constexpr const char* kGeneric = "generic";
    static constexpr const char* kAccessible = "accessible";
    static constexpr const char* kClassGenericPassword = "genp";
    static constexpr const char* kAccessibleAlwaysThisDeviceOnly = "dku";

    // The name its bound is stated under (foundation::setStoredFileBound).
    static constexpr const char* kStoredFileName = "keychain";

    // <data root's parent>/<data root's name>.keychain/keychain.plist, for
    // the data root ~/.local/share/calvaro: ~/.local/share/calvaro.keychain/.
    static std::filesystem::path defaultFile();

    explicit Keychain(std::filesystem::path file = defaultFile());

    const std::filesystem::path& file() const { return file_; }

    // Adds an item; kDuplicateItem when one with the same class, service and
    // account exists.
    Status add(const Attributes& attributes, const foundation::Value::Bytes& data);
    // The first item whose attributes include every attribute of `query`.
    Status copyMatching(const Attributes& query, Item* item) const;
    // Changes the attributes and, when given, the data of every matching item.
    Status update(const Attributes& query, const Attributes& changes,
                  const std::optional<foundation::Value::Bytes>& data);
    Status remove(const Attributes& query);

  private:
    // The items, salvaged within the bound when the file passes it; `named`
    // is the operation's item, kept before all others.
    std::optional<std::vector<Item>> load(const Attributes& named) const;
    // Writes `items`, making room within the bound by letting items give way
    // when they pass it.
    bool save(std::vector<Item>& items, const Attributes& named) const;
    // Lets items give way in the order above until the rest fits the bound;
    // answers those that gave way.
    std::vector<Item> fitToBound(std::vector<Item>& items, const Attributes& named) const;
    // Writes `items` as they are, within the bound or not at all.
    bool write(const std::vector<Item>& items) const;

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    mutable std::atomic<bool> damageReported_{false};
};
