#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/net/Network.h"

namespace net {

// Reads one line of a response's header block into `headers`: a status line
// ("HTTP/...") starts a new response and forgets the headers before it (after
// "100 Continue"); "Name: value" sets a header, both sides trimmed; anything
// else is ignored.
void addResponseHeaderLine(std::string_view line, Headers& headers);

// The production network over libcurl. Each transfer runs on a worker thread
// of its own, never on the caller's queue; the completion is then queued onto
// the request's queue. Destroying the object aborts the transfers still running
// (their completions report kCancelled) and waits for their threads.
class CurlNetwork : public Network {
public:
    explicit CurlNetwork(NetworkConfiguration configuration = {}, std::string reachabilityHost = "");
    ~CurlNetwork() override;

    std::string postURL(const std::string& url, const Headers& headers, std::vector<uint8_t> payload,
                        size_t maximumResponseBytes, std::shared_ptr<dispatch::Queue> queue,
                        bool usingBackgroundSession, Completion completionHandler) override;
    std::string getURL(const std::string& url, const Headers& headers, size_t maximumResponseBytes,
                       std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                       Completion completionHandler) override;

    std::optional<std::string> refusalReason(const std::string& url) const override;
    bool hasUploadInProgress() const override;
    void setLoggerDelegate(LoggerDelegate* delegate) override;
    void setIsDebugModeEnabled(bool enabled) override;

    const std::string& reachabilityHost() const { return reachabilityHost_; }

private:
    struct Shared;
    std::string start(bool isPost, const std::string& url, const Headers& headers, std::vector<uint8_t> payload,
                      size_t maximumResponseBytes, std::shared_ptr<dispatch::Queue> queue, Completion completion);

    NetworkConfiguration configuration_;
    std::string reachabilityHost_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace net
