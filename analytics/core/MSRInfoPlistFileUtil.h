#pragma once

#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace foundation {
class Bundle;
}

// Finds the application's service configuration file "ZevureService-Info.plist".
class MSRInfoPlistFileUtil {
public:
    MSRInfoPlistFileUtil() = delete;

    // The file in `bundle` (the main bundle when null); nothing when it is not there.
    static std::optional<std::string> zevureServiceInfoPlistPath(const foundation::Bundle* bundle = nullptr);
    // Its dictionary; nothing without the file, or when it is not a readable
    // property list holding a dictionary.
    static std::optional<foundation::Value::Dictionary> dictionaryFromZevureServiceInfoPlist(
        const foundation::Bundle* bundle = nullptr);
};
