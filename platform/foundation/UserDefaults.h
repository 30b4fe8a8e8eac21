#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace foundation {

// All preference domains under one Library/Preferences folder. Every domain
// is one property-list file, <directory>/<domain>.plist, held in memory once
// per store, so that every handle on a domain (the application's own code,
// the analytics engine's suites) sees the same values.
class PreferencesStore {
public:
    class Domain;

    explicit PreferencesStore(std::filesystem::path directory);
    ~PreferencesStore();
    PreferencesStore(const PreferencesStore&) = delete;
    PreferencesStore& operator=(const PreferencesStore&) = delete;

    // The store of the current home (FileSystem::preferencesDirectory()).
    // When the home changes, the next call answers a store for the new one.
    static std::shared_ptr<PreferencesStore> shared();

    const std::filesystem::path& directory() const { return directory_; }
    std::shared_ptr<Domain> domain(const std::string& name);

private:
    std::filesystem::path directory_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Domain>> domains_;
};

// Typed preferences of one domain: the standard store (the bundle
// identifier's domain) or a named suite. A cheap handle: copies share the
// domain.
//
// The domain's file is read on first use and rewritten atomically after every
// change. A file that cannot be read as a property-list dictionary (cut off,
// garbage, another root type, past the property-list bounds) is renamed aside
// to "<domain>.plist.damaged" (with a number when that exists) and the domain
// starts with what can still be read of it, within the bounds and by its
// bound's order; no other domain is touched. Typed reads give nothing when the stored value is of
// another type, so a hand-edited file reads as if the key were missing.
// Safe to use from any thread.
class UserDefaults {
public:
    // The application's own preferences in the shared store.
    static UserDefaults standard();
    // The name of the standard domain: the main bundle's identifier.
    static std::string standardDomainName();

    // A named suite of the shared store; an empty name means the standard domain.
    explicit UserDefaults(const std::string& suiteName);
    // A domain of the given store (tests make stores in temporary folders).
    UserDefaults(const std::shared_ptr<PreferencesStore>& store, const std::string& domainName);

    const std::string& domainName() const;
    const std::filesystem::path& filePath() const;

    // The stored value, absent when there is none.
    Value object(const std::string& key) const;
    std::optional<bool> boolValue(const std::string& key) const;
    std::optional<int64_t> integer(const std::string& key) const;
    std::optional<double> doubleValue(const std::string& key) const;  // doubles and integers
    std::optional<std::string> string(const std::string& key) const;
    std::optional<Value::Bytes> data(const std::string& key) const;
    std::optional<Date> date(const std::string& key) const;
    std::optional<Value::List> array(const std::string& key) const;
    std::optional<Value::Dictionary> dictionary(const std::string& key) const;

    // Stores `value` under `key` and writes the domain's file. Absent or null
    // removes the key. Refused (false, nothing changes) for an empty key or a
    // value with no property-list form (null inside a list or dictionary), and
    // when the domain's file would then pass what its reader takes and what
    // stands below the change in its bound's order (StoredFileBounds) cannot
    // give way: the file and memory keep the old value, a line says so, and
    // the loss is noted for the process's exit (DataLoss).
    // False also when the file could not be written; the value is then kept
    // in memory and the next change or `synchronize` writes it again.
    bool set(const std::string& key, const Value& value);
    bool remove(const std::string& key);

    std::vector<std::string> keys() const;
    Value::Dictionary dictionaryRepresentation() const;
    // Removes every key of the domain.
    bool removeAll();

    // Every change is written at once; this only retries a write that failed
    // and reports whether the file now holds what memory holds.
    bool synchronize();

private:
    std::shared_ptr<PreferencesStore::Domain> domain_;
};

}  // namespace foundation
