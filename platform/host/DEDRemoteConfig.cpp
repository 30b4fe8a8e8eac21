#include "platform/host/DEDRemoteConfig.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/Bundle.h"
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

// Counts the values of an answer as nlohmann's reader meets them, building
// none, and stops at the first bound passed; `refusal` then says which.
class DEDRemoteConfigAnswerCount {
public:
    using json = nlohmann::json;

    bool null() { return counted(); }
    bool boolean(bool) { return counted(); }
    bool number_integer(json::number_integer_t) { return counted(); }
    bool number_unsigned(json::number_unsigned_t) { return counted(); }
    bool number_float(json::number_float_t, const json::string_t&) { return counted(); }
    bool string(json::string_t&) { return counted(); }
    bool binary(json::binary_t&) { return counted(); }
    bool start_object(size_t) { return opened(false); }
    bool start_array(size_t) { return opened(true); }
    bool end_object() { return closed(); }
    bool end_array() { return closed(); }
    bool key(json::string_t& name) {
        if (levels_.size() == 1) answerKey_ = name;
        if (levels_.size() == 2 && answerKey_ == "entries") entryKey_ = name;
        return true;
    }
    bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

    const std::string& refusal() const { return refusal_; }

private:
    struct Level {
        bool array;
        size_t elements;
    };

    bool opened(bool array) {
        if (!counted()) return false;
        levels_.push_back({array, 0});
        return true;
    }
    bool closed() {
        levels_.pop_back();
        return true;
    }
    // One more value, in the container being read.
    bool counted() {
        if (++values_ > kDEDRemoteConfigMaximumAnswerValues) {
            refusal_ = "The remote configuration answer holds more than " +
                       std::to_string(kDEDRemoteConfigMaximumAnswerValues) + " JSON values" + where() + ".";
            return false;
        }
        if (!levels_.empty() && levels_.back().array && ++levels_.back().elements > kDEDRemoteConfigMaximumArrayElements) {
            refusal_ = "The remote configuration answer has an array of more than " +
                       std::to_string(kDEDRemoteConfigMaximumArrayElements) + " elements" + where() + ".";
            return false;
        }
        return true;
    }
    // The entry being read, when the count stops inside one.
    std::string where() const {
        if (levels_.size() < 2 || answerKey_ != "entries" || entryKey_.empty()) return "";
        return " (in the entry \"" + entryKey_ + "\")";
    }

    size_t values_ = 0;
    std::vector<Level> levels_;
    std::string answerKey_;
    std::string entryKey_;
    std::string refusal_;
};

// Why an answer is refused before it is built, or nothing. Text deeper than
// the JSON reader takes is left to it, refused there with its own log line;
// within that depth, so is text that is not JSON.
std::optional<std::string> remoteConfigAnswerPastBounds(std::string_view text) {
    if (!foundation::jsonNestingWithin(text)) return std::nullopt;
    DEDRemoteConfigAnswerCount count;
    nlohmann::json::sax_parse(text.begin(), text.end(), &count);
    if (count.refusal().empty()) return std::nullopt;
    return count.refusal();
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
