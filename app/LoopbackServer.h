#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/HttpRequestReader.h"

namespace app {

struct HttpResponse {
    using Headers = std::vector<std::pair<std::string, std::string>>;
    HttpResponse() = default;
    HttpResponse(int code, std::string text, std::string mediaType = "text/plain; charset=utf-8",
                 Headers extra = {})
        : status(code), body(std::move(text)), type(std::move(mediaType)), headers(std::move(extra)) {}

    int status = 200;
    std::string body;
    std::string type = "text/plain; charset=utf-8";
    Headers headers;
};

struct LoopbackServerLimits {
    HttpLimits request;
    // From a connection's start, or from the end of its last answer, until
    // its next request is whole; and for an answer to be taken by the client.
    // Bytes that trickle in do not extend it.
    std::chrono::milliseconds requestTime{10'000};
    // Open connections at most; a new one beyond it takes the place of the
    // oldest one still sending its request, or is refused when every one is
    // being answered. With a trust test, the oldest that sent a request
    // failing it goes first, whatever it does; a trusted one goes last.
    size_t maxConnections = 128;
    // Threads that answer whole requests.
    int workers = 4;
    // How long stop() lets the answers its handlers made reach their clients.
    std::chrono::milliseconds finishTime{250};
};

// An HTTP/1.1 server on 127.0.0.1 that no client can hold: one thread reads
// and writes every connection without blocking, under the deadlines and
// limits above, and only whole requests reach the workers that answer them.
// stop() ends it at once, whatever the clients do, once the handlers that
// are running return and their answers are sent (within finishTime).
class LoopbackServer {
  public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;
    // Whether a whole request comes from a client the server knows (one that
    // holds its secret). Its requests are answered before all others, and a
    // connection that sent one is the last to be let go. Asked on the loop's
    // thread for every request: it must be quick.
    using Trust = std::function<bool(const HttpRequest&)>;

    LoopbackServer(Handler handler, LoopbackServerLimits limits = {}, Trust trusted = {});
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Listens on 127.0.0.1:port (0: a free port) and starts the threads.
    bool start(int port, std::string& error);
    int port() const { return port_; }
    // Takes no more connections or requests, lets the handlers that run
    // finish and sends what they answer (for finishTime at most), then
    // closes every connection and joins the threads. Requests not yet handed
    // to a handler get no answer.
    void stop();

    // The answer as bytes on the wire.
    static std::string serialize(const HttpResponse& response, bool keepAlive);

  private:
    struct Connection;
    using Clock = std::chrono::steady_clock;

    void run();
    void work();
    void accept();
    void readFrom(Connection& connection);
    void proceed(Connection& connection, HttpRequestReader::State state);
    void writeTo(Connection& connection);
    void answer(Connection& connection, const HttpResponse& response, bool keepAlive);
    void takeAnswers();
    void wake();

    Handler handler_;
    LoopbackServerLimits limits_;
    Trust trusted_;
    int port_ = 0;
    int listener_ = -1;
    int wakeup_ = -1;        // an eventfd: answers are ready, or the server stops
    bool stopping_ = false;  // under mutex_: no request is taken any more
    bool finishing_ = false;  // under mutex_: every handler has returned
    Clock::time_point finishBy_;  // under mutex_, set with finishing_
    std::thread loop_;
    std::vector<std::thread> workers_;

    // Owned by the loop's thread.
    std::map<uint64_t, std::unique_ptr<Connection>> connections_;
    uint64_t nextId_ = 1;

    // Shared between the loop and the workers.
    std::mutex mutex_;
    std::condition_variable work_;
    std::deque<std::pair<uint64_t, HttpRequest>> trustedRequests_;  // taken first
    std::deque<std::pair<uint64_t, HttpRequest>> requests_;
    std::deque<std::pair<uint64_t, HttpResponse>> answers_;
};

}  // namespace app
