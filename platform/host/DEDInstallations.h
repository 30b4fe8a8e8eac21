#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace host {

// Posted on the default notification center whenever the installation
// identifier changes.
inline constexpr const char* DEDInstallationIDDidChangeNotification = "DEDInstallationIDDidChangeNotification";

// The host's installations framework: one identifier per installation of the
// application, made on first request. The identifier lives in memory; a test
// can replace it (which posts the change) or make the next requests fail.
class DEDInstallations {
public:
    // Exactly one of the two is set, unless the framework has neither to give.
    using Completion = std::function<void(const std::optional<std::string>& installationID,
                                          const std::optional<std::string>& error)>;

    static DEDInstallations& installations();

    // Calls back once, asynchronously on a queue of the framework's own.
    void installationIDWithCompletion(Completion completion);

    // Replaces the identifier (nothing: made afresh on the next request) and
    // posts the change notification.
    void setInstallationIDForTesting(std::optional<std::string> installationID);
    // While set, requests answer this error and no identifier.
    void setFailureForTesting(std::optional<std::string> error);

private:
    std::mutex mutex_;
    std::optional<std::string> installationID_;
    std::optional<std::string> failure_;
};

}  // namespace host
