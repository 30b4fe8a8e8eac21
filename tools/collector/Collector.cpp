#include "tools/collector/Collector.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "platform/security/Compression.h"

namespace tools {

namespace {

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

}  // namespace

struct Collector::Server {
    httplib::Server http;
};

Collector::Collector() : server_(std::make_unique<Server>()) {}

Collector::~Collector() { stop(); }

bool Collector::start(int port, std::string* error) {
    // Records the request and answers it; `body` is the content as received.
    auto answer = [this](const httplib::Request& request, std::string body, httplib::Response& response) {
        RecordedRequest recorded;
        recorded.method = request.method;
        recorded.path = request.path;
        if (size_t mark = request.target.find('?'); mark != std::string::npos) {
            recorded.query = request.target.substr(mark + 1);
        }
        for (const auto& [name, value] : request.headers) recorded.headers[lowercase(name)] = value;
        recorded.body.assign(body.begin(), body.end());
        auto encoding = recorded.headers.find("content-encoding");
        recorded.wasGzip = encoding != recorded.headers.end() && lowercase(encoding->second) == "gzip";
        // The HTTP library normally inflates the body already; inflate what it left compressed.
        if (recorded.wasGzip && security::isGzip(recorded.body)) {
            if (auto inflated = security::inflate(recorded.body)) recorded.body = std::move(*inflated);
        }

        ScriptedReply reply;
        Responder responder;
        std::vector<Observer> observers;
        std::function<void(const RecordedRequest&, int)> logger;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = scripted_.find(recorded.path);
            if (it != scripted_.end() && !it->second.empty()) {
                reply = std::move(it->second.front());
                it->second.pop_front();
            } else {
                reply = defaultReply_;
                // The map is ordered, so the last prefix that matches is the longest.
                for (const auto& [prefix, candidate] : responders_) {
                    if (recorded.path.compare(0, prefix.size(), prefix) == 0) responder = candidate;
                }
            }
            observers = observers_;
            logger = logger_;
        }
        if (responder) reply = responder(recorded);
        for (const auto& observer : observers) observer(recorded, reply);
        {
            std::unique_lock<std::mutex> lock(mutex_);
            requests_.push_back(recorded);
            changed_.notify_all();
            if (reply.delaySeconds > 0) {
                const uint64_t generation = releaseGeneration_;
                changed_.wait_for(lock, std::chrono::duration<double>(reply.delaySeconds),
                                  [&] { return stopping_ || releaseGeneration_ != generation; });
            }
        }
        if (logger) logger(recorded, reply.status);
        response.status = reply.status;
        for (const auto& [name, value] : reply.headers) response.set_header(name, value);
        if (!reply.body.empty() || reply.status != 204) {
            auto type = reply.headers.find("Content-Type");
            response.set_content(reply.body, type != reply.headers.end() ? type->second.c_str() : "text/plain");
        }
    };
    auto withoutBody = [answer](const httplib::Request& request, httplib::Response& response) {
        answer(request, request.body, response);
    };
    // Bodies are read through a content reader: the library's own body reading
    // refuses inflated bodies larger than 8 KiB.
    auto withBody = [answer](const httplib::Request& request, httplib::Response& response,
                             const httplib::ContentReader& reader) {
        std::string body;
        reader([&](const char* data, size_t length) {
            body.append(data, length);
            return true;
        });
        answer(request, std::move(body), response);
    };
    const std::string any = R"(.*)";
    server_->http.Get(any, withoutBody);
    server_->http.Delete(any, withoutBody);
    server_->http.Post(any, withBody);
    server_->http.Put(any, withBody);

    // Loopback only: the collector must never be reachable from elsewhere.
    int bound = port == 0 ? server_->http.bind_to_any_port("127.0.0.1")
                          : (server_->http.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0) {
        if (error) *error = "cannot bind 127.0.0.1:" + std::to_string(port);
        return false;
    }
    port_ = bound;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    thread_ = std::thread([this] { server_->http.listen_after_bind(); });
    // stop() only reaches a server whose loop has begun; the socket already
    // accepts connections, so this wait is short and never on a request.
    while (!server_->http.is_running()) std::this_thread::yield();
    return true;
}

void Collector::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) {
        server_->http.stop();
        thread_.join();
    }
}

std::string Collector::baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

void Collector::scriptReply(const std::string& path, ScriptedReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    scripted_[path].push_back(std::move(reply));
}

void Collector::setDefaultReply(ScriptedReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    defaultReply_ = std::move(reply);
}

void Collector::setResponder(const std::string& pathPrefix, Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (responder) {
        responders_[pathPrefix] = std::move(responder);
    } else {
        responders_.erase(pathPrefix);
    }
}

void Collector::addObserver(Observer observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observers_.push_back(std::move(observer));
}

void Collector::releaseHeldReplies() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++releaseGeneration_;
    changed_.notify_all();
}

std::vector<RecordedRequest> Collector::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void Collector::clearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

bool Collector::waitForRequests(size_t count, double timeoutSeconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [&] { return requests_.size() >= count; });
}

void Collector::setRequestLogger(std::function<void(const RecordedRequest&, int)> logger) {
    std::lock_guard<std::mutex> lock(mutex_);
    logger_ = std::move(logger);
}

}  // namespace tools
