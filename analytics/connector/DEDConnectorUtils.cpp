#include "analytics/connector/DEDConnectorUtils.h"

#include <re2/re2.h>

#include <array>
#include <set>

namespace {

using Names = std::set<std::string, std::less<>>;

const Names& allowedListenerOrigins() {
    static const Names names{"diam", "crash", "crx"};
    return names;
}
const Names& blocklistedOrigins() {
    static const Names names{"auto", "app", "am"};
    return names;
}
const Names& blocklistedEventNames() {
    static const Names names{"_e", "_f", "_iap", "_s", "_au"};
    return names;
}
const Names& blocklistedParameters() {
    static const Names names{"_r", "_dbg"};
    return names;
}
const Names& blocklistedUserProperties() {
    static const Names names{"_fot", "_ln", "_id", "_fi", "_lte", "_sid", "_sno"};
    return names;
}
// Case-sensitive searches within the name.
const std::array<const RE2*, 2>& blocklistedUserPropertyPatterns() {
    static const RE2 lifetimeValue("^_ltv_[A-Z]{3}$");
    static const RE2 conversionCounter("^_cc[1-5]{1}$");
    static const std::array<const RE2*, 2> patterns{&lifetimeValue, &conversionCounter};
    return patterns;
}
const Names& hiddenEventNames() {
    static const Names names{"_xa",      "_xu",      "_aq",        "_aa",           "_ai",
                             "_ac",      "campaign_details", "_iapx", "_ug",           "_exp_set",
                             "_exp_clear", "_exp_activate", "_exp_timeout", "_exp_expire"};
    return names;
}

}  // namespace

bool DEDConnectorUtils::isOriginAllowed(std::string_view origin) { return !blocklistedOrigins().contains(origin); }

bool DEDConnectorUtils::isAppOrigin(std::string_view origin) { return origin == "app" || origin.starts_with("app+"); }

bool DEDConnectorUtils::isListenerOriginAllowed(std::string_view origin) {
    return allowedListenerOrigins().contains(origin);
}

bool DEDConnectorUtils::isEventNameAllowedForListeners(std::string_view name) {
    return !hiddenEventNames().contains(name);
}

bool DEDConnectorUtils::shouldLogEventWithName(std::string_view name, const foundation::Value::Dictionary& parameters) {
    if (name.empty() || blocklistedEventNames().contains(name)) return false;
    for (const std::string& blocked : blocklistedParameters()) {
        if (parameters.contains(blocked)) return false;
    }
    return true;
}

bool DEDConnectorUtils::isUserPropertyAllowed(std::string_view name, std::string_view origin) {
    if (name.empty()) return false;
    if (name == "_ln") return origin == "dcm" || origin == "diam";
    if (blocklistedUserProperties().contains(name)) return false;
    for (const RE2* pattern : blocklistedUserPropertyPatterns()) {
        if (RE2::PartialMatch(name, *pattern)) return false;
    }
    return true;
}

bool DEDConnectorUtils::isUserPropertyAllowedForQuery(std::string_view name) {
    return !name.empty() && (name == "_fot" || !name.starts_with("_"));
}
