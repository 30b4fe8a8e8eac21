#pragma once

// A stand-in for the platform keychain: generic-password items kept in one
// owner-only property-list file in a folder beside the data root (not inside
// it), so that items outlive the removal of the whole data root as keychain
// items outlive a reinstall. Every change rewrites the file atomically. Attribute values are texts or bytes and match
// by their bytes, whichever form they were stored in.
//
// The file is held to its stated bound (kStoredFileName). The items of the
// service an operation names are its caller's own; the others are foreign.
// A well-formed file past the bound is salvaged at its first read: the file
// is kept aside as it was, and what is kept is the caller's items first,
// then the foreign ones, the largest giving way first, within the bound. A
// change that would pass the bound makes room the same way: foreign items
// give way, the largest first, kept aside in a file of their own.

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
    // The items, salvaged within the bound when the file passes it; `own`
    // names the service whose items come first.
    std::optional<std::vector<Item>> load(const std::string& own) const;
    // Writes `items`, making room within the bound by letting foreign items
    // give way when they pass it.
    bool save(std::vector<Item>& items, const std::string& own) const;
    // Lets foreign items of `items` give way, the largest first, until the
    // rest fits the bound; answers those that gave way. What is `own` stays.
    std::vector<Item> fitToBound(std::vector<Item>& items, const std::string& own) const;
    // Writes `items` as they are, within the bound or not at all.
    bool write(const std::vector<Item>& items) const;

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    mutable std::atomic<bool> damageReported_{false};
};
