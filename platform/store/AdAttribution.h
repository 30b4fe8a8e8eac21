#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace store {

// The platform's ad-attribution service: an opaque token that the
// application posts to the attribution endpoint to learn whether the install
// came from a search-ads campaign. The service is absent (an older system, or
// a host without it) until a test or a launcher option scripts it.
class AdAttribution {
public:
    static AdAttribution& shared();

    // Whether the service exists on this system.
    bool isPresent() const;
    // The token, or nothing with the cause in `error`.
    std::optional<std::string> attributionToken(std::string* error) const;

    // Test controls: present with this token, or present answering an error.
    void setTokenForTesting(std::string token);
    void setErrorForTesting(std::string error);
    void resetForTesting();

private:
    mutable std::mutex mutex_;
    bool present_ = false;
    std::optional<std::string> token_;
    std::string error_;
};

}  // namespace store
