#include "platform/host/DEDInstallations.h"

#include "platform/dispatch/SerialQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/security/Random.h"

namespace host {

namespace {

// 22 characters of the URL-safe base-64 alphabet, the shape of the platform's
// installation identifiers.
std::string makeInstallationID() {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string id;
    for (int i = 0; i < 22; ++i) id.push_back(alphabet[security::randomUniform(64)]);
    return id;
}

std::shared_ptr<dispatch::SerialQueue> installationsQueue() {
    static auto queue = dispatch::SerialQueue::create("DEDInstallationsQueue");
    return queue;
}

}  // namespace

DEDInstallations& DEDInstallations::installations() {
    static DEDInstallations instance;
    return instance;
}

void DEDInstallations::installationIDWithCompletion(Completion completion) {
    if (!completion) return;
    std::optional<std::string> id;
    std::optional<std::string> error;
    {
        std::lock_guard lock(mutex_);
        if (failure_) {
            error = failure_;
        } else {
            if (!installationID_) installationID_ = makeInstallationID();
            id = installationID_;
        }
    }
    installationsQueue()->async([completion = std::move(completion), id, error] { completion(id, error); });
}

void DEDInstallations::setInstallationIDForTesting(std::optional<std::string> installationID) {
    {
        std::lock_guard lock(mutex_);
        installationID_ = std::move(installationID);
    }
    foundation::NotificationCenter::defaultCenter().post(DEDInstallationIDDidChangeNotification);
}

void DEDInstallations::setFailureForTesting(std::optional<std::string> error) {
    std::lock_guard lock(mutex_);
    failure_ = std::move(error);
}

}  // namespace host
