#include "platform/net/FakeNetwork.h"

namespace net {

FakeNetwork::FakeNetwork() = default;

void FakeNetwork::enqueueReply(Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_.push_back(std::move(reply));
}

void FakeNetwork::enqueueStatus(int statusCode) {
    Reply reply;
    reply.statusCode = statusCode;
    enqueueReply(std::move(reply));
}

void FakeNetwork::setResponder(std::function<Reply(const Request&)> responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

void FakeNetwork::failNextSession() {
    std::lock_guard<std::mutex> lock(mutex_);
    failNextSession_ = true;
}

void FakeNetwork::setHoldReplies(bool hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = hold;
}

size_t FakeNetwork::releaseHeldReplies() {
    std::vector<Held> held;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held.swap(held_);
    }
    for (auto& one : held) deliver(std::move(one));
    return held.size();
}

std::vector<FakeNetwork::Request> FakeNetwork::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void FakeNetwork::clearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

std::string FakeNetwork::postURL(const std::string& url, const Headers& headers, std::vector<uint8_t> payload,
                                 size_t maximumResponseBytes, std::shared_ptr<dispatch::Queue> queue,
                                 bool usingBackgroundSession, Completion completionHandler) {
    return start(true, url, headers, std::move(payload), maximumResponseBytes, std::move(queue),
                 usingBackgroundSession, std::move(completionHandler));
}

std::string FakeNetwork::getURL(const std::string& url, const Headers& headers, size_t maximumResponseBytes,
                                std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                                Completion completionHandler) {
    return start(false, url, headers, {}, maximumResponseBytes, std::move(queue), usingBackgroundSession,
                 std::move(completionHandler));
}

std::string FakeNetwork::start(bool isPost, const std::string& url, const Headers& headers,
                               std::vector<uint8_t> payload, size_t maximumResponseBytes,
                               std::shared_ptr<dispatch::Queue> queue, bool background, Completion completion) {
    Request request;
    request.method = isPost ? "POST" : "GET";
    request.url = url;
    request.headers = headers;
    request.payload = std::move(payload);
    request.usingBackgroundSession = background;
    request.maximumResponseBytes = maximumResponseBytes;

    Held held;
    std::function<Reply(const Request&)> responder;
    bool hold;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        request.timeoutInterval = timeoutInterval();
        if (failNextSession_ || !queue || !completion) {
            failNextSession_ = false;
            requests_.push_back(request);
            return "";
        }
        request.sessionID = "fake.network." + std::to_string(nextSession_++);
        requests_.push_back(request);
        if (!replies_.empty()) {
            held.reply = std::move(replies_.front());
            replies_.pop_front();
        } else {
            responder = responder_;
        }
        if (isPost) ++*uploadsInFlight_;
        hold = hold_;
    }
    if (responder) held.reply = responder(request);
    if (!held.reply.error && held.reply.body.size() > maximumResponseBytes) {
        held.reply.error = Error{Error::kResponseTooLarge, "Refused: the response body is larger than " +
                                                               std::to_string(maximumResponseBytes) + " bytes"};
        held.reply.body.clear();
    }
    held.isPost = isPost;
    held.queue = std::move(queue);
    held.completion = std::move(completion);
    held.response.url = url;
    const bool tooLarge = held.reply.error && held.reply.error->code == Error::kResponseTooLarge;
    held.response.statusCode = held.reply.error && !tooLarge ? 0 : held.reply.statusCode;
    held.response.headers = held.reply.headers;
    held.response.expectedContentLength = static_cast<int64_t>(held.reply.body.size());
    std::string sessionID = request.sessionID;
    if (hold) {
        std::lock_guard<std::mutex> lock(mutex_);
        held_.push_back(std::move(held));
    } else {
        deliver(std::move(held));
    }
    return sessionID;
}

void FakeNetwork::deliver(Held held) {
    auto queue = held.queue;
    const bool isPost = held.isPost;
    const bool delivered = queue->asyncUnlessEnded([inFlight = uploadsInFlight_, held = std::move(held)] {
        if (held.isPost) --*inFlight;
        held.completion(held.response, held.reply.body, held.reply.error);
    });
    if (!delivered && isPost) --*uploadsInFlight_;
}

bool FakeNetwork::hasUploadInProgress() const {
    return uploadsInFlight_->load() > 0;
}

void FakeNetwork::setLoggerDelegate(LoggerDelegate*) {}

void FakeNetwork::setIsDebugModeEnabled(bool) {}

}  // namespace net
