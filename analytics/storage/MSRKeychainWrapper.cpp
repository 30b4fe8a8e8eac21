#include "analytics/storage/MSRKeychainWrapper.h"

#include "platform/foundation/Text.h"

#include <mutex>
#include <set>

using foundation::Value;

namespace {

// Runs `body` with the given keychain, or with the current data root's.
template <typename Body>
auto withKeychain(Keychain* keychain, Body body) {
    if (keychain) return body(*keychain);
    Keychain fallback;
    return body(fallback);
}

// The one-time migration runs before the first read of each keychain file.
bool firstReadOf(const Keychain& keychain) {
    static std::mutex mutex;
    static std::set<std::filesystem::path> migrated;
    std::lock_guard lock(mutex);
    return migrated.insert(keychain.file()).second;
}

}  // namespace

std::optional<Keychain::Attributes> MSRKeychainWrapper::searchDirectoryForIdentifier(
    const std::string& identifier, const std::string& appID) {
    if (identifier.empty() || appID.empty()) return std::nullopt;
    return Keychain::Attributes{{Keychain::kClass, Value(Keychain::kClassGenericPassword)},
                                {Keychain::kService, Value(appID)},
                                {Keychain::kGeneric, Value(identifier)},
                                {Keychain::kAccount, Value(identifier)}};
}

std::optional<Value::Bytes> MSRKeychainWrapper::keychainData(const std::string& identifier,
                                                             const std::string& appID, Keychain* keychain) {
    auto query = searchDirectoryForIdentifier(identifier, appID);
    if (!query) return std::nullopt;
    return withKeychain(keychain, [&](Keychain& chain) -> std::optional<Value::Bytes> {
        Keychain::Item item;
        if (chain.copyMatching(*query, &item) != Keychain::Status::kSuccess) return std::nullopt;
        return item.data;
    });
}

std::optional<std::string> MSRKeychainWrapper::keychainValue(const std::string& identifier,
                                                             const std::string& appID, Keychain* keychain) {
    return withKeychain(keychain, [&](Keychain& chain) -> std::optional<std::string> {
        if (firstReadOf(chain)) migrateKeychainDataToString(identifier, appID, &chain);
        auto data = keychainData(identifier, appID, &chain);
        if (!data || data->empty() ||
            !foundation::isUtf8(std::string_view(reinterpret_cast<const char*>(data->data()), data->size())))
            return std::nullopt;
        return std::string(data->begin(), data->end());
    });
}

bool MSRKeychainWrapper::upsertKeychainValue(const std::string& value, const std::string& identifier,
                                             const std::string& appID, Keychain* keychain) {
    auto query = searchDirectoryForIdentifier(identifier, appID);
    if (value.empty() || !query) return false;
    Value::Bytes data(value.begin(), value.end());
    (*query)[Keychain::kAccessible] = Value(Keychain::kAccessibleAlwaysThisDeviceOnly);
    return withKeychain(keychain, [&](Keychain& chain) {
        auto current = keychainValue(identifier, appID, &chain);
        Keychain::Status status =
            current && !current->empty() ? chain.update(*query, {}, data) : chain.add(*query, data);
        // An item whose data does not read as text, or that was stored without
        // the accessibility, still holds the slot: replace it rather than fail
        // on every later write.
        if (status == Keychain::Status::kDuplicateItem || status == Keychain::Status::kItemNotFound) {
            Keychain::Attributes slot = *query;
            slot.erase(Keychain::kAccessible);
            status = chain.update(
                slot, {{Keychain::kAccessible, Value(Keychain::kAccessibleAlwaysThisDeviceOnly)}}, data);
        }
        return status == Keychain::Status::kSuccess;
    });
}

void MSRKeychainWrapper::deleteKeychainValue(const std::string& identifier, const std::string& appID,
                                             Keychain* keychain) {
    auto query = searchDirectoryForIdentifier(identifier, appID);
    if (!query) return;
    withKeychain(keychain, [&](Keychain& chain) { return chain.remove(*query); });
}

bool MSRKeychainWrapper::isMigrationNeeded(const std::string& identifier, const std::string& appID,
                                           Keychain* keychain) {
    auto query = searchDirectoryForIdentifier(identifier, appID);
    if (!query) return false;
    return withKeychain(keychain, [&](Keychain& chain) {
        Keychain::Item item;
        if (chain.copyMatching(*query, &item) != Keychain::Status::kSuccess) return false;
        return !item.attributes[Keychain::kAccount].string() || !item.attributes[Keychain::kGeneric].string();
    });
}

void MSRKeychainWrapper::migrateKeychainDataToString(const std::string& identifier, const std::string& appID,
                                                     Keychain* keychain) {
    withKeychain(keychain, [&](Keychain& chain) {
        if (!isMigrationNeeded(identifier, appID, &chain)) return false;
        auto data = keychainData(identifier, appID, &chain);
        if (!data || data->empty()) return false;
        auto query = searchDirectoryForIdentifier(identifier, appID);
        chain.update(*query,
                     {{Keychain::kAccount, Value(identifier)}, {Keychain::kGeneric, Value(identifier)}},
                     std::nullopt);
        return true;
    });
}
