#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tools {

// One request as the collector saw it.
struct RecordedRequest {
    std::string method;
    std::string path;   // without the query
    std::string query;  // the text after '?', empty when none
    std::map<std::string, std::string> headers;  // names in lower case
    // The body after content decoding: a gzip body arrives here inflated.
    std::vector<uint8_t> body;
    bool wasGzip = false;  // the client sent it with Content-Encoding: gzip
};

// What the collector answers on one request.
struct ScriptedReply {
    int status = 200;
    std::string body;
    std::map<std::string, std::string> headers;
    double delaySeconds = 0;  // wait this long before answering (stop() cuts it short)
};

// A loopback HTTP server for tests and demonstrations. It listens on
// 127.0.0.1 only, records every request, and answers each path with its
// scripted replies in order, then with the responder of the longest path
// prefix that has one, then with the default reply (200, empty body).
class Collector {
public:
    Collector();
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    // Binds 127.0.0.1:`port` (0: a free port) and serves on a thread of its
    // own. False, with the reason in `error`, when the port cannot be bound.
    bool start(int port = 0, std::string* error = nullptr);
    void stop();
    int port() const { return port_; }
    // "http://127.0.0.1:<port>"
    std::string baseURL() const;

    // Queues a reply for the next request to `path` (a request path without query).
    void scriptReply(const std::string& path, ScriptedReply reply);
    void setDefaultReply(ScriptedReply reply);
    // Answers requests whose path begins with `pathPrefix` once that path has
    // no scripted reply left. Runs on a server thread, without the lock held.
    using Responder = std::function<ScriptedReply(const RecordedRequest&)>;
    void setResponder(const std::string& pathPrefix, Responder responder);
    // Told of every request and the reply chosen for it, before the reply's
    // delay begins; on a server thread, without the lock held.
    using Observer = std::function<void(const RecordedRequest&, const ScriptedReply&)>;
    void addObserver(Observer observer);
    // Ends the delays of the replies waiting now, so a held request is
    // answered at once (its client may be gone).
    void releaseHeldReplies();

    std::vector<RecordedRequest> requests() const;
    void clearRequests();
    // Blocks until at least `count` requests were recorded or `timeoutSeconds`
    // passed; for callers that cannot learn otherwise that a request arrived.
    bool waitForRequests(size_t count, double timeoutSeconds);

    // Receives a line per request, for the command-line tool.
    void setRequestLogger(std::function<void(const RecordedRequest&, int status)> logger);

private:
    struct Server;
    std::unique_ptr<Server> server_;
    std::thread thread_;
    int port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::vector<RecordedRequest> requests_;
    std::map<std::string, std::deque<ScriptedReply>> scripted_;
    ScriptedReply defaultReply_;
    std::map<std::string, Responder> responders_;
    std::vector<Observer> observers_;
    uint64_t releaseGeneration_ = 0;
    std::function<void(const RecordedRequest&, int)> logger_;
};

}  // namespace tools
