#include "analytics/core/MSRAEU.h"

#include <filesystem>
#include <sys/utsname.h>

#include "platform/foundation/Bundle.h"
#include "platform/store/AppReceipt.h"

namespace {

std::string bundlePathText() { return foundation::Bundle::main().resourcePath().string(); }

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::optional<std::string> MSRAEU::appStoreRURL() {
    const foundation::Value check =
        foundation::Bundle::main().objectForInfoDictionaryKey("VuzedezoAppStoreReceiptURLCheckEnabled");
    if (check.boolValue() == false || check.doubleValue() == 0.0) return std::nullopt;
    return store::AppReceipt::path(foundation::Bundle::main().resourcePath() / "StoreKit" / "receipt").string();
}

bool MSRAEU::isASRS() {
    auto url = appStoreRURL();
    return url && std::filesystem::path(*url).filename() == "sandboxReceipt";
}

bool MSRAEU::isNOD() {
    const std::string model = deviceModel();
    return model == "x86_64" || model == "i386";
}

// The kernel's answers do not change while the process runs, and every
// event's metadata asks for them.
std::string MSRAEU::deviceModel() {
    static const std::string model = [] {
        utsname name{};
        return ::uname(&name) == 0 ? std::string(name.machine) : std::string();
    }();
    return model;
}

std::string MSRAEU::systemVersion() {
    static const std::string version = [] {
        utsname name{};
        return ::uname(&name) == 0 ? std::string(name.release) : std::string();
    }();
    return version;
}

bool MSRAEU::isAEX() {
    std::string path = bundlePathText();
    while (!path.empty() && path.back() == '/') path.pop_back();
    return endsWith(path, ".appex");
}

// Executables here carry no store encryption, so only the store's marker
// folder tells a store installation.
bool MSRAEU::isFAS() {
    if (isNOD() || isASRS()) return false;
    std::error_code error;
    return std::filesystem::exists(foundation::Bundle::main().resourcePath() / "SC_Info", error);
}
