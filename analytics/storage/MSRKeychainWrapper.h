#pragma once

// Short text values kept in the keychain, where they survive the removal and
// reinstallation of the application: one generic-password item per
// identifier and app ID, the text stored as UTF-8 data.

#include <optional>
#include <string>

#include "analytics/storage/Keychain.h"

class MSRKeychainWrapper {
  public:
    // The keychain of the current data root unless one is given.
    static std::optional<Keychain::Attributes> searchDirectoryForIdentifier(const std::string& identifier,
                                                                            const std::string& appID);
    static std::optional<foundation::Value::Bytes> keychainData(const std::string& identifier,
                                                                const std::string& appID,
                                                                Keychain* keychain = nullptr);
    static std::optional<std::string> keychainValue(const std::string& identifier, const std::string& appID,
                                                    Keychain* keychain = nullptr);
    static bool upsertKeychainValue(const std::string& value, const std::string& identifier,
                                    const std::string& appID, Keychain* keychain = nullptr);
    static void deleteKeychainValue(const std::string& identifier, const std::string& appID,
                                    Keychain* keychain = nullptr);
    static bool isMigrationNeeded(const std::string& identifier, const std::string& appID,
                                  Keychain* keychain = nullptr);
    static void migrateKeychainDataToString(const std::string& identifier, const std::string& appID,
                                            Keychain* keychain = nullptr);
};
