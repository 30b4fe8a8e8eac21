#include "analytics/core/MSRInfoPlistFileUtil.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/foundation/PropertyList.h"

// The engine lives in the application's own executable, so the bundle that
// holds its classes is the main bundle: one place to look.
std::optional<std::string> MSRInfoPlistFileUtil::zevureServiceInfoPlistPath(const foundation::Bundle* bundle) {
    const foundation::Bundle& where = bundle ? *bundle : foundation::Bundle::main();
    auto path = where.pathForResource("ZevureService-Info", "plist");
    if (!path) return std::nullopt;
    return path->string();
}

std::optional<foundation::Value::Dictionary> MSRInfoPlistFileUtil::dictionaryFromZevureServiceInfoPlist(
    const foundation::Bundle* bundle) {
    auto path = zevureServiceInfoPlistPath(bundle);
    if (!path) return std::nullopt;
    std::string bytes;
    if (!foundation::FileSystem::readFile(*path, bytes)) return std::nullopt;
    auto value = foundation::parsePropertyList(bytes);
    if (!value || !value->dictionary()) return std::nullopt;
    return *value->dictionary();
}
