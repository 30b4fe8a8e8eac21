#include "analytics/storage/MSRKeychainWrapper.h"

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

bool isValidUtf8(const Value::Bytes& bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        uint8_t lead = bytes[i];
        size_t length = lead < 0x80           ? 1
                        : (lead >> 5) == 0x6  ? 2
                        : (lead >> 4) == 0xe  ? 3
                        : (lead >> 3) == 0x1e ? 4
                                              : 0;
        if (length == 0 || i + length > bytes.size()) return false;
        uint32_t code = length == 1 ? lead : lead & (0x7f >> length);
        for (size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xc0) != 0x80) return false;
            code = (code << 6) | (bytes[i + k] & 0x3f);
        }
        // Overlong forms, surrogates and values past the last code point.
        static const uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < minimum[length] || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff) return false;
        i += length;
    }
    return true;
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
        if (!data || data->empty() || !isValidUtf8(*data)) return std::nullopt;
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
