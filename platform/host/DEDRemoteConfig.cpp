#include "platform/host/DEDRemoteConfig.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/JsonValueCount.h"
#include "platform/foundation/SharedSlot.h"
#include "platform/net/CurlNetwork.h"

namespace host {

namespace {

foundation::SharedSlot<DEDRemoteConfig>& sharedSlot() {
    static foundation::SharedSlot<DEDRemoteConfig> slot;
    return slot;
}

// Texts and bytes stay as they are; anything else is kept as JSON text, the
// form in which the service would deliver it.
std::optional<std::string> storedForm(const foundation::Value& value) {
    if (const auto* text = value.string()) return *text;
    if (const auto* bytes = value.bytes()) return std::string(bytes->begin(), bytes->end());
    if (value.isAbsent() || value.isNull()) return std::nullopt;
    return value.jsonText();
}

// Why an answer is refused before it is built, or nothing. Text deeper than
// the JSON reader takes is left to it, refused there with its own log line;
// within that depth, so is text that is not JSON.
std::optional<std::string> remoteConfigAnswerPastBounds(std::string_view text) {
    if (!foundation::jsonNestingWithin(text)) return std::nullopt;
    foundation::JsonValueCount count(kDEDRemoteConfigMaximumAnswerValues, kDEDRemoteConfigMaximumArrayElements);
    const foundation::JsonValueCount::Passed passed = count.count(text);
    if (passed == foundation::JsonValueCount::Passed::kNothing) return std::nullopt;
    // The entry being read, when the count stopped inside one.
    const std::vector<foundation::JsonValueCount::Level>& levels = count.levels();
    std::string where;
    if (levels.size() >= 2 && !levels[0].array && levels[0].key == "entries" && !levels[1].array &&
        !levels[1].key.empty())
        where = " (in the entry \"" + levels[1].key + "\")";
    if (passed == foundation::JsonValueCount::Passed::kValues)
        return "The remote configuration answer holds more than " + std::to_string(kDEDRemoteConfigMaximumAnswerValues) +
               " JSON values" + where + ".";
    return "The remote configuration answer has an array of more than " +
           std::to_string(kDEDRemoteConfigMaximumArrayElements) + " elements" + where + ".";
}

}  // namespace

std::shared_ptr<DEDRemoteConfig> DEDRemoteConfig::remoteConfig() {
    return sharedSlot().getOrMake([] {
        Configuration configuration;
        if (const char* url = std::getenv("CALVARO_REMOTE_CONFIG_URL"); url && *url) configuration.fetchURL = url;
        auto config = std::make_shared<DEDRemoteConfig>(std::move(configuration));
        config->setDefaultsFromPlistFileName("RemoteConfigDefaults");
        return config;
    });
}

void DEDRemoteConfig::setShared(std::shared_ptr<DEDRemoteConfig> remoteConfig) {
    sharedSlot().set(std::move(remoteConfig));
}

DEDRemoteConfig::DEDRemoteConfig(Configuration configuration) : configuration_(std::move(configuration)) {
    if (!configuration_.callbackQueue)
        configuration_.callbackQueue = dispatch::SerialQueue::create("DEDRemoteConfigCallbackQueue");
}

DEDRemoteConfigSettings DEDRemoteConfig::configSettings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

void DEDRemoteConfig::setConfigSettings(const DEDRemoteConfigSettings& settings) {
    std::lock_guard lock(mutex_);
    settings_ = settings;
}

void DEDRemoteConfig::setDefaults(const foundation::Value::Dictionary& defaults) {
    std::map<std::string, std::string> stored;
    for (const auto& [key, value] : defaults)
        if (auto form = storedForm(value)) stored[key] = std::move(*form);
    std::lock_guard lock(mutex_);
    defaults_ = std::move(stored);
}

bool DEDRemoteConfig::setDefaultsFromPlistFileName(const std::string& name) {
    auto plist = foundation::Bundle::main().plistResource(name);
    if (!plist || !plist->dictionary()) return false;
    setDefaults(*plist->dictionary());
    return true;
}

DEDRemoteConfigValue DEDRemoteConfig::configValueForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    if (auto it = active_.find(key); it != active_.end()) return {it->second, DEDRemoteConfigSource::Remote};
    if (auto it = defaults_.find(key); it != defaults_.end()) return {it->second, DEDRemoteConfigSource::Default};
    return {};
}

std::vector<std::string> DEDRemoteConfig::allKeys() const {
    std::lock_guard lock(mutex_);
    std::map<std::string, bool> keys;
    for (const auto& entry : defaults_) keys[entry.first] = true;
    for (const auto& entry : active_) keys[entry.first] = true;
    std::vector<std::string> result;
    for (const auto& entry : keys) result.push_back(entry.first);
    return result;
}

void DEDRemoteConfig::finishFetch(DEDRemoteConfigFetchStatus status, std::optional<DEDRemoteConfigError> error,
                                  const FetchCompletion& completion) {
    {
        std::lock_guard lock(mutex_);
        lastFetchStatus_ = status;
    }
    if (!completion) return;
    callbackQueue()->async([completion, status, error] { completion(status, error); });
}

void DEDRemoteConfig::fetchWithExpirationDuration(double expirationDuration, FetchCompletion completion) {
    const double now = dispatch::Clock::now();
    {
        std::lock_guard lock(mutex_);
        if (lastFetchTime_ && now - *lastFetchTime_ < expirationDuration) {
            // Young enough: answer from what was fetched before, without the network.
            lastFetchStatus_ = DEDRemoteConfigFetchStatusSuccess;
            callbackQueue()->async([completion] {
                if (completion) completion(DEDRemoteConfigFetchStatusSuccess, std::nullopt);
            });
            return;
        }
    }
    if (!configuration_.fetchURL) {
        finishFetch(DEDRemoteConfigFetchStatusFailure,
                    DEDRemoteConfigError{DEDRemoteConfigError::kInternalError, "No remote configuration address is configured."},
                    completion);
        return;
    }
    if (!configuration_.network) {
        net::NetworkConfiguration networkConfiguration;
        networkConfiguration.timeoutInterval = configSettings().fetchTimeout;
        configuration_.network = std::make_shared<net::CurlNetwork>(networkConfiguration);
    }
    if (auto why = configuration_.network->refusalReason(*configuration_.fetchURL)) {
        bool first;
        {
            std::lock_guard lock(mutex_);
            first = !refusalLogged_;
            refusalLogged_ = true;
        }
        if (first)
            std::fprintf(stderr, "remote config: not fetching from %s: %s\n", configuration_.fetchURL->c_str(),
                         why->c_str());
        finishFetch(DEDRemoteConfigFetchStatusFailure,
                    DEDRemoteConfigError{DEDRemoteConfigError::kNetwork,
                                         "The remote configuration address is refused: " + *why},
                    completion);
        return;
    }
    net::Headers headers{{"Accept", "application/json"}};
    const std::string session = configuration_.network->getURL(
        *configuration_.fetchURL, headers, kDEDRemoteConfigMaximumResponseBytes, callbackQueue(), false,
        [weak = weak_from_this(), completion](const net::Response& response, const std::vector<uint8_t>& body,
                                              const std::optional<net::Error>& error) {
            auto self = weak.lock();
            if (!self) return;
            if (error) {
                self->finishFetch(DEDRemoteConfigFetchStatusFailure,
                            DEDRemoteConfigError{DEDRemoteConfigError::kNetwork, error->description}, completion);
                return;
            }
            if (response.statusCode != net::kHTTPStatusOK) {
                self->finishFetch(DEDRemoteConfigFetchStatusFailure,
                            DEDRemoteConfigError{DEDRemoteConfigError::kNetwork,
                                                 "The remote configuration answered with status " +
                                                     std::to_string(response.statusCode) + "."},
                            completion);
                return;
            }
            const std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
            if (auto refusal = remoteConfigAnswerPastBounds(text)) {
                self->finishFetch(DEDRemoteConfigFetchStatusFailure,
                                  DEDRemoteConfigError{DEDRemoteConfigError::kInternalError, std::move(*refusal)},
                                  completion);
                return;
            }
            auto json = foundation::Value::parseJson(text);
            const foundation::Value::Dictionary* entries = json ? (*json)["entries"].dictionary() : nullptr;
            if (!entries) {
                self->finishFetch(DEDRemoteConfigFetchStatusFailure,
                            DEDRemoteConfigError{DEDRemoteConfigError::kInternalError,
                                                 "The remote configuration answer has no entries."},
                            completion);
                return;
            }
            std::map<std::string, std::string> fetched;
            for (const auto& [key, value] : *entries)
                if (auto form = storedForm(value)) fetched[key] = std::move(*form);
            {
                std::lock_guard lock(self->mutex_);
                self->fetched_ = std::move(fetched);
                self->lastFetchTime_ = dispatch::Clock::now();
            }
            self->finishFetch(DEDRemoteConfigFetchStatusSuccess, std::nullopt, completion);
        });
    // Nothing started: no completion will come, so the fetch ends here.
    if (session.empty()) {
        finishFetch(DEDRemoteConfigFetchStatusFailure,
                    DEDRemoteConfigError{DEDRemoteConfigError::kNetwork, "The remote configuration request was not started."},
                    completion);
    }
}

void DEDRemoteConfig::activateWithCompletion(ActivateCompletion completion) {
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        if (fetched_) {
            changed = *fetched_ != active_;
            active_ = std::move(*fetched_);
            fetched_.reset();
        }
    }
    callbackQueue()->async([completion, changed] {
        if (completion) completion(changed, std::nullopt);
    });
}

DEDRemoteConfigFetchStatus DEDRemoteConfig::lastFetchStatus() const {
    std::lock_guard lock(mutex_);
    return lastFetchStatus_;
}

std::optional<double> DEDRemoteConfig::lastFetchTime() const {
    std::lock_guard lock(mutex_);
    return lastFetchTime_;
}

}  // namespace host
