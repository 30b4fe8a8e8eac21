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

namespace net {

// HTTP status values the callers compare against.
enum HTTPStatus : int {
    kHTTPStatusOK = 200,
    kHTTPStatusNoContent = 204,
    kHTTPStatusNotModified = 304,
    kHTTPStatusNotFound = 404,
    kHTTPStatusTooManyRequests = 429,  // the server cannot accept traffic now
    kHTTPStatusServiceUnavailable = 503,
};

// Header names compare without regard to case, as HTTP says.
struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
using Headers = std::map<std::string, std::string, CaseInsensitiveLess>;

// What came back. A transport failure (no connection, time-out, refused host)
// has statusCode 0 and comes with an Error. A body past the request's limit
// comes with kResponseTooLarge, the status and headers the server sent, and
// no body.
struct Response {
    int statusCode = 0;
    Headers headers;
    // Content-Length as announced by the server, -1 when it announced none.
    int64_t expectedContentLength = -1;
    std::string url;
};

struct Error {
    enum Code : int {
        kTransport = 1,          // any other transport failure
        kTimedOut = 2,           // the time-out passed before the answer was complete
        kCannotConnect = 3,      // connection refused or host unreachable
        kHostNotAllowed = 4,     // the configuration does not allow this scheme or host
        kBadURL = 5,             // the URL cannot be parsed
        kCompressionFailed = 6,  // the body could not be compressed
        kCancelled = 7,          // the network object went away before the answer
        kResponseTooLarge = 8,   // the body (or the headers) went past the request's limit
    };
    int code = kTransport;
    std::string description;
};

// Each request states the largest response body its caller accepts: a body
// announced or growing past it ends the transfer at once (nothing beyond the
// limit is held in memory) with kResponseTooLarge.
constexpr size_t kMaximumResponseHeaderBytes = 64 * 1024;

// Called exactly once per request that returned a non-empty session
// identifier, on the queue given with the request; never when the answer
// comes after the queues have ended (ProcessEnd.h). Such an answer goes
// unheard, as it would if the process had ended before it came, and nothing
// is said of it: a caller keeps what it sent until an answer tells it
// arrived (an upload's bundles stay queued for the next start).
using Completion =
    std::function<void(const Response& response, const std::vector<uint8_t>& body, const std::optional<Error>& error)>;

// Receives the component's own log lines (level 0-8 as the monitor counts).
class LoggerDelegate {
public:
    virtual ~LoggerDelegate() = default;
    virtual void networkLog(int level, int64_t messageCode, const std::string& message) = 0;
};

// Told when isNetworkConnected() changes.
class ReachabilityDelegate {
public:
    virtual ~ReachabilityDelegate() = default;
    virtual void reachabilityDidChange() = 0;
};

// Where requests may go. Nothing leaves the machine unless it is named here:
// by default only loopback hosts are allowed.
struct NetworkConfiguration {
    // Schemes allowed ("https", "http").
    std::vector<std::string> allowedSchemes{"https", "http"};
    // Host names allowed, without port. Empty: loopback only ("127.0.0.1",
    // "localhost", "::1").
    std::vector<std::string> allowedHosts;
    // Compress POST bodies with gzip (and say so in Content-Encoding).
    bool gzipRequestBodies = true;
    // Time-out of a request in seconds until setTimeoutInterval changes it.
    double timeoutInterval = 60;
};

// The network component: GET and POST over HTTP(S).
//
// postURL/getURL return a session identifier; the completion then runs exactly
// once on `queue`. An empty identifier means nothing was started (for example
// a host the configuration does not allow, or a null queue) and the completion
// is never called: the caller treats the empty identifier as its failure.
class Network {
public:
    virtual ~Network() = default;

    virtual std::string postURL(const std::string& url, const Headers& headers, std::vector<uint8_t> payload,
                                size_t maximumResponseBytes, std::shared_ptr<dispatch::Queue> queue,
                                bool usingBackgroundSession, Completion completionHandler) = 0;
    virtual std::string getURL(const std::string& url, const Headers& headers, size_t maximumResponseBytes,
                               std::shared_ptr<dispatch::Queue> queue, bool usingBackgroundSession,
                               Completion completionHandler) = 0;

    // Why a request to `url` would be refused before anything is sent (a
    // scheme or host the configuration does not allow, an address that does
    // not parse); nothing when it would be sent.
    virtual std::optional<std::string> refusalReason(const std::string& url) const;

    // True while a POST is in flight.
    virtual bool hasUploadInProgress() const = 0;

    virtual void setLoggerDelegate(LoggerDelegate* delegate) = 0;
    virtual void setIsDebugModeEnabled(bool enabled) = 0;

    // "Connected" unless a test says otherwise with setNetworkConnected.
    bool isNetworkConnected() const;
    // Changes the connection state; a change is told to the reachability
    // delegate on the calling thread.
    void setNetworkConnected(bool connected);
    void setReachabilityDelegate(ReachabilityDelegate* delegate);

    // Applies to requests started afterwards.
    void setTimeoutInterval(double seconds);
    double timeoutInterval() const;

    // Background sessions finish their work like foreground ones here; the
    // handler runs at once.
    void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                               const std::function<void()>& completionHandler);

protected:
    explicit Network(double timeoutInterval = 60) : timeout_(timeoutInterval) {}

private:
    mutable std::mutex mutex_;
    bool connected_ = true;
    // Held while the delegate is told, so that once setReachabilityDelegate
    // has replaced it no thread is still inside the old one.
    std::mutex delegateMutex_;
    ReachabilityDelegate* reachabilityDelegate_ = nullptr;  // under delegateMutex_
    double timeout_;
};

}  // namespace net
