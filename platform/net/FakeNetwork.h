#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/Network.h"

namespace net {

// A scripted network for unit tests. Requests are recorded; each is answered
// with the next scripted reply (or, when none is scripted, with the responder,
// or else 200 and an empty body). Completions are queued onto the request's
// queue at once, or held until releaseHeldReplies() while holdReplies is set.
class FakeNetwork : public Network {
public:
    struct Request {
        std::string method;  // "GET" or "POST"
        std::string url;
        Headers headers;
        std::vector<uint8_t> payload;
        bool usingBackgroundSession = false;
        size_t maximumResponseBytes = 0;
        double timeoutInterval = 0;
        std::string sessionID;
    };
    struct Reply {
        int statusCode = 200;
        Headers headers;
        std::vector<uint8_t> body;
        std::optional<Error> error;
    };

    FakeNetwork();

    // The next request gets this reply.
    void enqueueReply(Reply reply);
    void enqueueStatus(int statusCode);
    // Answers requests when no reply is scripted.
    void setResponder(std::function<Reply(const Request&)> responder);
    // The next request returns an empty session identifier (and no completion).
    void failNextSession();
    void setHoldReplies(bool hold);
    // Queues the held completions in request order. Returns how many.
    size_t releaseHeldReplies();

    std::vector<Request> requests() const;
    void clearRequests();

    // A scripted body past the request's limit is answered as the real
    // network answers it: kResponseTooLarge, no body.
    std::string postURL(const std::string& url, const Headers& headers, std::vector<uint8_t> payload,
                        size_t maximumResponseBytes, std::shared_ptr<dispatch::Queue> queue,
                        bool usingBackgroundSession, Completion completionHandler) override;
    std::string getURL(const std::string& url, const Headers& headers, size_t maximumResponseBytes,
                       std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                       Completion completionHandler) override;

    // True from a POST until its completion runs.
    bool hasUploadInProgress() const override;
    void setLoggerDelegate(LoggerDelegate* delegate) override;
    void setIsDebugModeEnabled(bool enabled) override;

private:
    struct Held {
        bool isPost = false;
        std::shared_ptr<dispatch::Queue> queue;
        Completion completion;
        Response response;
        Reply reply;
    };
    std::string start(bool isPost, const std::string& url, const Headers& headers, std::vector<uint8_t> payload,
                      size_t maximumResponseBytes, std::shared_ptr<dispatch::Queue> queue, bool background,
                      Completion completion);
    void deliver(Held held);

    mutable std::mutex mutex_;
    std::deque<Reply> replies_;
    std::function<Reply(const Request&)> responder_;
    std::vector<Request> requests_;
    std::vector<Held> held_;
    bool hold_ = false;
    bool failNextSession_ = false;
    // Shared with the queued completions, which may run after the network is gone.
    std::shared_ptr<std::atomic<int>> uploadsInFlight_ = std::make_shared<std::atomic<int>>(0);
    unsigned long long nextSession_ = 1;
};

}  // namespace net
