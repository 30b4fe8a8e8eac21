#include "analytics/core/MSRConsentSettingsUtil.h"

#include <atomic>
#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>

#include "analytics/model/MSRFoundationAdditions.h"
#include "platform/foundation/Bundle.h"

namespace {

struct State {
    std::mutex mutex;
    std::optional<MSRConsentSettingsUtil::Settings> settings;
    std::optional<MSRConsentSettingsUtil::Settings> defaults;
    std::optional<MSRConsentSettingsUtil::Settings> delegated;
    std::optional<MSRConsentSettingsUtil::Settings> regional;
    int64_t source = MSRConsentSettingsUtil::kSourceNone;
    int64_t version = 1;
    // Per type, one digit telling where its value came from; absent until
    // the first reset.
    std::optional<std::map<std::string, int64_t>> diagnosticSources;
};

// The order in which every walk over the types (diagnostics) goes.
constexpr const char* kTypeOrder[] = {MSRConsentSettingsUtil::kAdStorage, MSRConsentSettingsUtil::kAnalyticsStorage,
                                      MSRConsentSettingsUtil::kAdUserData,
                                      MSRConsentSettingsUtil::kAdPersonalization};

State& state() {
    static State instance;
    return instance;
}

// Moves on with every change of the state, under its lock.
std::atomic<uint64_t> changes{0};
void noteChange() {
    changes.fetch_add(1, std::memory_order_acq_rel);
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

int64_t diagnosticCodeForSource(int64_t source) {
    switch (source) {
        case 5: return 7;
        case 10:
        case 30: return 5;
        case 20: return 3;
        case 40: return 4;
        default: return 0;
    }
}

bool takesRegionalPolicy(const std::string& type) {
    return type == MSRConsentSettingsUtil::kAdUserData || type == MSRConsentSettingsUtil::kAdPersonalization;
}

void resetDiagnosticSourcesLocked(State& s) {
    s.diagnosticSources.emplace();
    for (const char* type : kTypeOrder) (*s.diagnosticSources)[type] = 0;
}

void setDiagnosticSourceLocked(State& s, int64_t code, const std::string& type) {
    if (!s.diagnosticSources) resetDiagnosticSourcesLocked(s);
    (*s.diagnosticSources)[type] = code;
}

void refreshDiagnosticSourcesLocked(State& s, bool fromSource) {
    if (!s.diagnosticSources) resetDiagnosticSourcesLocked(s);
    auto& codes = *s.diagnosticSources;
    for (const char* type : kTypeOrder) {
        if (const foundation::Value* value = lookup(s.settings, type)) {
            if (fromSource) codes[type] = diagnosticCodeForSource(s.source);
            if (takesRegionalPolicy(type) && reads(value, "eu_consent_policy")) codes[type] = 8;
        } else if (type == std::string(MSRConsentSettingsUtil::kAdUserData) && lookup(s.delegated, type)) {
            codes[type] = 2;
        } else if (lookup(s.defaults, type) && !std::string(type).ends_with("_storage")) {
            codes[type] = 1;
        } else {
            codes[type] = 9;
        }
    }
}

bool adUserDataDeniedLocked(const State& s) {
    const foundation::Value* value = resolveRegional(s, MSRConsentSettingsUtil::kAdUserData,
                                                     lookup(s.settings, MSRConsentSettingsUtil::kAdUserData));
    if (!value) {
        const auto* delegate = lookup(s.delegated, MSRConsentSettingsUtil::kAdUserData);
        if (delegate && delegate->string()) {
            // A delegated "eu_consent_policy" is resolved like a direct one:
            // left as it stands it would count as granted.
            if (const auto* delegated = lookup(s.settings, *delegate->string()))
                return reads(resolveRegional(s, MSRConsentSettingsUtil::kAdUserData, delegated), "denied");
        }
        value = lookup(s.defaults, MSRConsentSettingsUtil::kAdUserData);
    }
    return reads(value, "denied");
}

// The platform's Boolean reading of text: true on a leading Y, y, T, t or a
// digit 1-9 after optional spaces, sign and zeros.
std::optional<bool> booleanFromValue(const foundation::Value& value) {
    if (auto flag = msr_truthOfNumber(value)) return flag;
    const auto* text = value.string();
    if (!text) return std::nullopt;
    for (char c : *text) {
        if (c == ' ' || c == '+' || c == '-' || c == '0') continue;
        return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    return false;
}

}  // namespace

MSRConsentSettingsUtil::Settings MSRConsentSettingsUtil::consentSettingsFromPlist() {
    struct Entry {
        const char* key;
        const char* type;
    };
    static const Entry entries[] = {
        {"ZEVURE_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE", MSRConsentSettingsUtil::kAdStorage},
        {"ZEVURE_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE", MSRConsentSettingsUtil::kAnalyticsStorage},
        {"ZEVURE_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA", MSRConsentSettingsUtil::kAdUserData},
        {"ZEVURE_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS", MSRConsentSettingsUtil::kAdPersonalization},
    };
    MSRConsentSettingsUtil::Settings settings;
    for (const auto& entry : entries) {
        const foundation::Value value = foundation::Bundle::main().objectForInfoDictionaryKey(entry.key);
        const std::string type = entry.type;
        // A Boolean ad-personalization value drives the "_npa" property, not consent.
        if (type == MSRConsentSettingsUtil::kAdPersonalization && !value.string()) continue;
        const bool policyType = type == MSRConsentSettingsUtil::kAdUserData || type == MSRConsentSettingsUtil::kAdPersonalization;
        if (policyType && value.string() && *value.string() == "eu_consent_policy") {
            settings[type] = foundation::Value("eu_consent_policy");
        } else if (auto granted = booleanFromValue(value)) {
            settings[type] = foundation::Value(*granted ? "granted" : "denied");
        }
    }
    return settings;
}

std::optional<MSRConsentSettingsUtil::Settings> MSRConsentSettingsUtil::consentSettings() {
    std::lock_guard lock(state().mutex);
    return state().settings;
}

void MSRConsentSettingsUtil::setConsentSettings(const std::optional<Settings>& settings) {
    std::lock_guard lock(state().mutex);
    noteChange();
    state().settings = settings;
    if (!settings) {
        state().source = kSourceNone;
        refreshDiagnosticSourcesLocked(state(), true);
    }
}

int64_t MSRConsentSettingsUtil::consentSource() {
    std::lock_guard lock(state().mutex);
    return state().source;
}

void MSRConsentSettingsUtil::setConsentSource(int64_t source) {
    std::lock_guard lock(state().mutex);
    noteChange();
    state().source = source;
    refreshDiagnosticSourcesLocked(state(), true);
}

std::optional<MSRConsentSettingsUtil::Settings> MSRConsentSettingsUtil::defaultSettings() {
    std::lock_guard lock(state().mutex);
    return state().defaults;
}

std::optional<MSRConsentSettingsUtil::Settings> MSRConsentSettingsUtil::delegatedSettings() {
    std::lock_guard lock(state().mutex);
    return state().delegated;
}

std::optional<MSRConsentSettingsUtil::Settings> MSRConsentSettingsUtil::regionalDefaults() {
    std::lock_guard lock(state().mutex);
    return state().regional;
}

int64_t MSRConsentSettingsUtil::version() {
    std::lock_guard lock(state().mutex);
    return state().version;
}

void MSRConsentSettingsUtil::setVersion(int64_t version) {
    if (version != 1 && version != 2) return;
    std::lock_guard lock(state().mutex);
    noteChange();
    state().version = version;
}

void MSRConsentSettingsUtil::setDefaultSettings(const std::optional<Settings>& settings) {
    std::lock_guard lock(state().mutex);
    noteChange();
    state().defaults = settings;
}

void MSRConsentSettingsUtil::setDelegatedSettings(const std::optional<Settings>& settings) {
    std::lock_guard lock(state().mutex);
    noteChange();
    state().delegated = settings;
}

void MSRConsentSettingsUtil::setRegionalDefaults(const std::optional<Settings>& settings) {
    std::lock_guard lock(state().mutex);
    noteChange();
    state().regional = settings;
}

void MSRConsentSettingsUtil::updateSettings(const Settings& settings, int64_t source) {
    std::lock_guard lock(state().mutex);
    noteChange();
    Settings merged = state().settings.value_or(Settings{});
    for (const auto& [key, value] : settings) merged[key] = value;
    state().settings = std::move(merged);
    state().source = source;
    for (const auto& [key, value] : settings) setDiagnosticSourceLocked(state(), diagnosticCodeForSource(source), key);
}

void MSRConsentSettingsUtil::updateSettings(const Settings& settings) {
    std::lock_guard lock(state().mutex);
    noteChange();
    Settings merged = state().settings.value_or(Settings{});
    for (const auto& [key, value] : settings) merged[key] = value;
    state().settings = std::move(merged);
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
    noteChange();
    if (state().settings) state().settings->erase(kAdPersonalization);
    setDiagnosticSourceLocked(state(), 0, kAdPersonalization);
}

MSRConsentSettingsUtil::Explicit MSRConsentSettingsUtil::explicitSettings() {
    std::lock_guard lock(state().mutex);
    return {state().settings, state().source, state().diagnosticSources};
}

void MSRConsentSettingsUtil::restoreExplicitSettings(const Explicit& held) {
    std::lock_guard lock(state().mutex);
    noteChange();
    state().settings = held.settings;
    state().source = held.source;
    state().diagnosticSources = held.diagnostics;
}

void MSRConsentSettingsUtil::clearAllSettings() {
    std::lock_guard lock(state().mutex);
    noteChange();
    state().settings.reset();
    state().defaults.reset();
    state().delegated.reset();
    state().regional.reset();
    state().source = kSourceNone;
    resetDiagnosticSourcesLocked(state());
}

void MSRConsentSettingsUtil::setDiagnosticSource(int64_t code, const std::string& consentType) {
    std::lock_guard lock(state().mutex);
    noteChange();
    setDiagnosticSourceLocked(state(), code, consentType);
}

void MSRConsentSettingsUtil::resetDiagnosticSources() {
    std::lock_guard lock(state().mutex);
    noteChange();
    resetDiagnosticSourcesLocked(state());
}

void MSRConsentSettingsUtil::refreshDiagnosticSources(bool fromSource) {
    std::lock_guard lock(state().mutex);
    noteChange();
    refreshDiagnosticSourcesLocked(state(), fromSource);
}

uint64_t MSRConsentSettingsUtil::changeCount() {
    return changes.load(std::memory_order_acquire);
}

std::string MSRConsentSettingsUtil::consentSignals() {
    std::lock_guard lock(state().mutex);
    auto mark = [](const foundation::Value* value) {
        if (reads(value, "denied")) return '0';
        if (reads(value, "granted")) return '1';
        return '-';
    };
    std::string signals = "G1";
    signals += mark(lookup(state().settings, kAdStorage));
    signals += mark(lookup(state().settings, kAnalyticsStorage));
    return signals;
}

std::string MSRConsentSettingsUtil::consentDiagnostics() {
    std::lock_guard lock(state().mutex);
    State& s = state();
    refreshDiagnosticSourcesLocked(s, false);
    const bool noServerTables = !s.defaults && !s.delegated;
    std::string diagnostics = "1";
    for (const char* type : kTypeOrder) {
        int64_t code = (*s.diagnosticSources)[type];
        if (noServerTables && !lookup(s.settings, type)) code = 9;
        diagnostics += std::to_string(code);
    }
    return diagnostics;
}
