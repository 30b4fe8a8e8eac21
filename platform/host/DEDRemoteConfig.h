#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Value.h"
#include "platform/net/Network.h"

namespace host {

enum DEDRemoteConfigFetchStatus : int64_t {
    DEDRemoteConfigFetchStatusNoFetchYet = 0,
    DEDRemoteConfigFetchStatusSuccess = 1,
    DEDRemoteConfigFetchStatusFailure = 2,
    DEDRemoteConfigFetchStatusThrottled = 3,
};

enum class DEDRemoteConfigSource { Static, Default, Remote };

struct DEDRemoteConfigError {
    enum Code : int {
        kInternalError = 8001,  // nothing configured to fetch from, or a bad answer
        kThrottled = 8002,
        kNetwork = 8003,
    };
    int code = kInternalError;
    std::string description;
};

// The largest remote-content answer read; a larger one fails the fetch.
constexpr size_t kDEDRemoteConfigMaximumResponseBytes = 2 * 1024 * 1024;

// What an answer may hold, counted on its text before any of it is built; past
// either bound the fetch fails and nothing of the answer is kept. Bytes alone
// do not bound what is built: 2 MiB of empty arrays is some 700,000 values,
// which take 60-100 MB to build, at every fetch.
// An application's remote values are a few tables of records, a few thousand
// JSON values in all: 100,000 leaves them twentyfold room, and a fetch of that
// many takes under 10 MB.
constexpr size_t kDEDRemoteConfigMaximumAnswerValues = 100'000;
// One list in a value holds records or addresses, hundreds at most; 10,000 is
// far past any of them, and the refusal names the entry whose list is longer.
constexpr size_t kDEDRemoteConfigMaximumArrayElements = 10'000;

struct DEDRemoteConfigSettings {
    double minimumFetchInterval = 43200;  // seconds between fetches that reach the network
    double fetchTimeout = 60;
};

// One value by key: the raw bytes as they were fetched or set as a default.
class DEDRemoteConfigValue {
public:
    DEDRemoteConfigValue() = default;
    DEDRemoteConfigValue(std::string bytes, DEDRemoteConfigSource source)
        : bytes_(std::move(bytes)), source_(source) {}

    std::vector<uint8_t> dataValue() const { return {bytes_.begin(), bytes_.end()}; }
    const std::string& stringValue() const { return bytes_; }
    DEDRemoteConfigSource source() const { return source_; }

private:
    std::string bytes_;
    DEDRemoteConfigSource source_ = DEDRemoteConfigSource::Static;
};

// The host's remote configuration: defaults, a fetched set waiting to be
// activated and the active set that readers see.
//
// Fetching asks `fetchURL` with a GET; the answer is a JSON object whose
// "entries" object maps keys to texts (other JSON values are kept as their
// JSON text). An answer past the bounds above fails the fetch with an error
// that names the bound. Without an address nothing leaves the machine: the fetch
// completes with a failure status and an error. Completions run on the
// callback queue, never on the caller's stack.
class DEDRemoteConfig : public std::enable_shared_from_this<DEDRemoteConfig> {
public:
    using FetchCompletion =
        std::function<void(DEDRemoteConfigFetchStatus status, const std::optional<DEDRemoteConfigError>& error)>;
    using ActivateCompletion = std::function<void(bool changed, const std::optional<DEDRemoteConfigError>& error)>;

    struct Configuration {
        std::optional<std::string> fetchURL;
        std::shared_ptr<net::Network> network;        // made on demand when null and an address is set
        std::shared_ptr<dispatch::Queue> callbackQueue;  // a serial queue of its own when null
    };

    // The shared object, made on first use with no fetch address unless the
    // environment names one in CALVARO_REMOTE_CONFIG_URL, and the bundle's
    // "RemoteConfigDefaults.plist" as defaults.
    static std::shared_ptr<DEDRemoteConfig> remoteConfig();
    // Replaces the shared object (null: the next call makes a fresh one).
    static void setShared(std::shared_ptr<DEDRemoteConfig> remoteConfig);

    // Owned through shared pointers: a fetch in flight holds the object weakly.
    explicit DEDRemoteConfig(Configuration configuration = {});

    DEDRemoteConfigSettings configSettings() const;
    void setConfigSettings(const DEDRemoteConfigSettings& settings);

    // Defaults by key. Texts and bytes are kept as they are; other values are
    // kept as their JSON text. A plist that is missing or no dictionary sets
    // nothing and answers false.
    void setDefaults(const foundation::Value::Dictionary& defaults);
    bool setDefaultsFromPlistFileName(const std::string& name);

    // The active value of `key`, else its default, else an empty static value.
    DEDRemoteConfigValue configValueForKey(const std::string& key) const;
    std::vector<std::string> allKeys() const;

    // Fetches unless the last successful fetch is younger than the expiration
    // (then it completes with success from what it has). An address the
    // network refuses (a host it does not allow) fails the fetch; the reason
    // is logged on the first refusal only, since every activation fetches.
    void fetchWithExpirationDuration(double expirationDuration, FetchCompletion completion);
    // Makes the fetched values the active ones; `changed` tells whether a
    // fetched set was waiting.
    void activateWithCompletion(ActivateCompletion completion);

    DEDRemoteConfigFetchStatus lastFetchStatus() const;
    std::optional<double> lastFetchTime() const;

private:
    void finishFetch(DEDRemoteConfigFetchStatus status, std::optional<DEDRemoteConfigError> error,
                     const FetchCompletion& completion);
    std::shared_ptr<dispatch::Queue> callbackQueue() const { return configuration_.callbackQueue; }

    Configuration configuration_;
    mutable std::mutex mutex_;
    DEDRemoteConfigSettings settings_;
    std::map<std::string, std::string> defaults_;
    std::map<std::string, std::string> active_;
    std::optional<std::map<std::string, std::string>> fetched_;
    DEDRemoteConfigFetchStatus lastFetchStatus_ = DEDRemoteConfigFetchStatusNoFetchYet;
    std::optional<double> lastFetchTime_;
    bool refusalLogged_ = false;
};

}  // namespace host
