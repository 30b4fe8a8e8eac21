#include "analytics/core/MSRConsentSettingsUtil.h"

#include <algorithm>
#include <cctype>
#include <mutex>

namespace {

struct State {
    std::mutex mutex;
    std::optional<MSRConsentSettingsUtil::Settings> settings;
    std::optional<MSRConsentSettingsUtil::Settings> defaults;
    std::optional<MSRConsentSettingsUtil::Settings> delegated;
    std::optional<MSRConsentSettingsUtil::Settings> regional;
    int64_t source = MSRConsentSettingsUtil::kSourceNone;
};

State& state() {
    static State instance;
    return instance;
}

const foundation::Value* lookup(const std::optional<MSRConsentSettingsUtil::Settings>& table, const std::string& key) {
    if (!table) return nullptr;
    auto found = table->find(key);
    return found == table->end() ? nullptr : &found->second;
}

// Statuses compare lower-cased; a value that is not text matches nothing.
bool reads(const foundation::Value* value, const std::string& status) {
    if (!value || !value->string()) return false;
    std::string text = *value->string();
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text == status;
}

// "eu_consent_policy" takes the regional value, which defaults to denied.
const foundation::Value* resolveRegional(const State& s, const std::string& type, const foundation::Value* value) {
    static const foundation::Value denied("denied");
    if (!reads(value, "eu_consent_policy")) return value;
    if (const auto* regional = lookup(s.regional, type)) return regional;
    return &denied;
}

bool adUserDataDeniedLocked(const State& s) {
    const foundation::Value* value = resolveRegional(s, MSRConsentSettingsUtil::kAdUserData,
                                                     lookup(s.settings, MSRConsentSettingsUtil::kAdUserData));
    if (!value) {
        const auto* delegate = lookup(s.delegated, MSRConsentSettingsUtil::kAdUserData);
        if (delegate && delegate->string()) {
            if (const auto* delegated = lookup(s.settings, *delegate->string())) return reads(delegated, "denied");
        }
        value = lookup(s.defaults, MSRConsentSettingsUtil::kAdUserData);
    }
    return reads(value, "denied");
}

}  // namespace

std::optional<MSRConsentSettingsUtil::Settings> MSRConsentSettingsUtil::consentSettings() {
    std::lock_guard lock(state().mutex);
    return state().settings;
}

void MSRConsentSettingsUtil::setConsentSettings(const std::optional<Settings>& settings) {
    std::lock_guard lock(state().mutex);
    state().settings = settings;
    if (!settings) state().source = kSourceNone;
}

int64_t MSRConsentSettingsUtil::consentSource() {
    std::lock_guard lock(state().mutex);
    return state().source;
}

void MSRConsentSettingsUtil::setConsentSource(int64_t source) {
    std::lock_guard lock(state().mutex);
    state().source = source;
}

void MSRConsentSettingsUtil::setDefaultSettings(const std::optional<Settings>& settings) {
    std::lock_guard lock(state().mutex);
    state().defaults = settings;
}

void MSRConsentSettingsUtil::setDelegatedSettings(const std::optional<Settings>& settings) {
    std::lock_guard lock(state().mutex);
    state().delegated = settings;
}

void MSRConsentSettingsUtil::setRegionalDefaults(const std::optional<Settings>& settings) {
    std::lock_guard lock(state().mutex);
    state().regional = settings;
}

void MSRConsentSettingsUtil::updateSettings(const Settings& settings, int64_t source) {
    std::lock_guard lock(state().mutex);
    Settings merged = state().settings.value_or(Settings{});
    for (const auto& [key, value] : settings) merged[key] = value;
    state().settings = std::move(merged);
    state().source = source;
}

bool MSRConsentSettingsUtil::isAdStorageDenied() {
    std::lock_guard lock(state().mutex);
    return reads(lookup(state().settings, kAdStorage), "denied");
}

bool MSRConsentSettingsUtil::isAnalyticsStorageDenied() {
    std::lock_guard lock(state().mutex);
    return reads(lookup(state().settings, kAnalyticsStorage), "denied");
}

bool MSRConsentSettingsUtil::isAdUserDataDenied() {
    std::lock_guard lock(state().mutex);
    return adUserDataDeniedLocked(state());
}

std::optional<bool> MSRConsentSettingsUtil::adPersonalization() {
    std::lock_guard lock(state().mutex);
    const State& s = state();
    const foundation::Value* value = resolveRegional(s, kAdPersonalization, lookup(s.settings, kAdPersonalization));
    if (!value) value = lookup(s.defaults, kAdPersonalization);
    if (reads(value, "denied")) return false;
    if (reads(value, "granted")) return true;
    return std::nullopt;
}

bool MSRConsentSettingsUtil::didAdUserDataConsentChange(bool wasAdUserDataDenied) {
    return wasAdUserDataDenied != isAdUserDataDenied();
}

bool MSRConsentSettingsUtil::isConsentSourceEqualPriority(int64_t source) {
    const int64_t current = consentSource();
    return source == current || (std::min(source, current) == 5 && std::max(source, current) == 10);
}

bool MSRConsentSettingsUtil::isConsentSourceHigherPriority(int64_t source) {
    return isConsentSourceEqualPriority(source) || consentSource() >= source;
}

MSRConsentSettingsUtil::Settings MSRConsentSettingsUtil::consentSettingsFromDictionary(
    const foundation::Value::Dictionary& dictionary) {
    Settings settings;
    for (const char* type : {kAdStorage, kAnalyticsStorage, kAdUserData, kAdPersonalization}) {
        if (auto found = dictionary.find(type); found != dictionary.end()) settings[type] = found->second;
    }
    return settings;
}

std::string MSRConsentSettingsUtil::description() {
    std::lock_guard lock(state().mutex);
    const State& s = state();
    auto text = [&](const char* type) -> std::string {
        const foundation::Value* value = lookup(s.settings, type);
        if (!value) return "granted";
        const std::string raw = value->string() ? *value->string() : "";
        if (reads(value, "eu_consent_policy")) {
            const foundation::Value* regional = resolveRegional(s, type, value);
            return (regional->string() ? *regional->string() : "") + " (eu_consent_policy)";
        }
        return raw;
    };
    std::string out = std::string(kAdStorage) + " is " + text(kAdStorage) + ". " + kAnalyticsStorage + " is " +
                      text(kAnalyticsStorage) + ".";
    for (const char* type : {kAdUserData, kAdPersonalization}) {
        if (lookup(s.settings, type)) out += std::string(" ") + type + " is " + text(type) + ".";
    }
    return out;
}

void MSRConsentSettingsUtil::unsetAdPersonalization() {
    std::lock_guard lock(state().mutex);
    if (state().settings) state().settings->erase(kAdPersonalization);
}

void MSRConsentSettingsUtil::clearAllSettings() {
    std::lock_guard lock(state().mutex);
    state().settings.reset();
    state().defaults.reset();
    state().delegated.reset();
    state().regional.reset();
    state().source = kSourceNone;
}
