#pragma once

#include <optional>
#include <string>

// Facts about the running application that the engine reports or uses to
// choose its behaviour. Safe to ask on any thread.
class MSRAEU {
public:
    MSRAEU() = delete;

    // Nothing when the Info.plist switches the receipt check off.
    static std::optional<std::string> appStoreRURL();
    // Built for the store's test environment.
    static bool isASRS();
    // Running in a simulator: the model is a desktop processor.
    static bool isNOD();
    static std::string deviceModel();
    static std::string systemVersion();
    // Running as an application extension.
    static bool isAEX();
    // Installed from the App Store.
    static bool isFAS();
};
