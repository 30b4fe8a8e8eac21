#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace store {

// The ad network: the install's registration for attribution, made at the
// first open, and its postback conversion values: the application tells the
// platform which value (fine 0-63, a coarse grade, whether the window locks)
// an install has earned so far. Nothing is sent anywhere here; every update
// is recorded so that tests and launchers can see what the platform was told.
class AdNetwork {
public:
    enum class CoarseValue { kLow, kMedium, kHigh };

    struct Error {
        std::string domain;
        int code = 0;
        std::string description;
    };
    // The platform's own error domain; code 10 there says the update was
    // accepted although no postback window was affected.
    static constexpr const char* kErrorDomain = "SKANErrorDomain";

    struct Update {
        int fineValue = 0;
        CoarseValue coarseValue = CoarseValue::kLow;
        bool lockWindow = false;
    };
    using Completion = std::function<void(const std::optional<Error>& error)>;

    static AdNetwork& shared();

    // Records the update and calls `completion` on the calling thread with
    // the scripted error, if any (the phone OS calls it on a queue of its
    // own, so callers must not assume any queue).
    void updatePostbackConversionValue(int fineValue, CoarseValue coarseValue, bool lockWindow,
                                       Completion completion);

    std::vector<Update> updates() const;

    // The first open's registration of the install; recorded, nothing sent.
    void registerAppForAdNetworkAttribution();
    int registrations() const;

    // Test controls: the error the next updates answer (nothing: success).
    void setErrorForTesting(std::optional<Error> error);
    void resetForTesting();

private:
    mutable std::mutex mutex_;
    std::vector<Update> updates_;
    int registrations_ = 0;
    std::optional<Error> error_;
};

}  // namespace store
