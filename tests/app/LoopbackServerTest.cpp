#include "app/LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/LoopbackSockets.h"

#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using app::HttpRequest;
using app::HttpResponse;
using app::LoopbackServer;
using app::LoopbackServerLimits;
using namespace std::chrono_literals;

// A client socket on 127.0.0.1, closed with the object.
class Client {
  public:
    explicit Client(int port) : fd_(connectToLoopback(port)) {}
    ~Client() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    bool send(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Whatever arrives within `limit` until the server closes, or until one
    // whole answer (by its Content-Length) is in.
    std::string answer(std::chrono::milliseconds limit = 5s) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!whole(got)) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
    // True once bytes wait to be read, without reading them.
    bool readableWithin(std::chrono::milliseconds limit) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(limit.count())) > 0;
    }
    // True once the server has closed the connection, waiting up to `limit`.
    bool closedWithin(std::chrono::milliseconds limit) {
        while (!closed_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
            char buffer[4096];
            if (::recv(fd_, buffer, sizeof buffer, 0) <= 0) closed_ = true;
        }
        return true;
    }

  private:
    static bool whole(const std::string& got) {
        const size_t head = got.find("\r\n\r\n");
        if (head == std::string::npos) return false;
        const size_t at = got.find("Content-Length: ");
        return at != std::string::npos && got.size() >= head + 4 + std::stoul(got.substr(at + 16));
    }
    int fd_ = -1;
    bool closed_ = false;
};

std::string get(const std::string& path, const std::string& extra = "") {
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra + "\r\n";
}

std::string statusLine(const std::string& answer) {
    return answer.substr(0, answer.find("\r\n"));
}

// A server whose handler echoes the path; its deadlines are short so that
// the tests wait for them and no longer.
struct EchoServer {
    explicit EchoServer(LoopbackServerLimits limits)
        : server(
              [this](const HttpRequest& request) {
                  ++answered;
                  return HttpResponse{200, request.path + (request.body.empty() ? "" : " " + request.body)};
              },
              limits) {
        std::string error;
        started = server.start(0, error);
    }
    std::atomic<int> answered{0};
    LoopbackServer server;
    bool started = false;
};

LoopbackServerLimits shortLimits() {
    LoopbackServerLimits limits;
    limits.requestTime = 300ms;
    limits.maxConnections = 8;
    limits.workers = 2;
    return limits;
}

TEST(LoopbackServerTest, AnswersKeptAliveAndPipelinedRequestsInOrder) {
    EchoServer echo(shortLimits());
    ASSERT_TRUE(echo.started);
    Client client(echo.server.port());
    ASSERT_TRUE(client.ok());
    ASSERT_TRUE(client.send(get("/one")));
    std::string first = client.answer();
    EXPECT_EQ(statusLine(first), "HTTP/1.1 200 OK");
    EXPECT_NE(first.find("\r\n\r\n/one"), std::string::npos) << first;
    ASSERT_TRUE(client.send(get("/two") + "POST /three HTTP/1.1\r\nHost: h\r\nContent-Length: 1\r\n\r\nx"));
    std::string both = client.answer();
    both += client.answer();
    EXPECT_LT(both.find("/two"), both.find("/three x")) << both;
    ASSERT_TRUE(client.send(get("/last", "Connection: close\r\n")));
    EXPECT_NE(client.answer().find("Connection: close"), std::string::npos);
    EXPECT_TRUE(client.closedWithin(1s));
}

// Clients that send nothing, a part of a request, or one byte at a time hold
// a connection for the request time at most and never keep another client
// from an answer.
TEST(LoopbackServerTest, SlowAndIdleClientsLoseTheirConnectionAtTheDeadline) {
    EchoServer echo(shortLimits());
    ASSERT_TRUE(echo.started);
    std::vector<std::unique_ptr<Client>> slow;
    for (int i = 0; i < 6; ++i) {
        slow.push_back(std::make_unique<Client>(echo.server.port()));
        ASSERT_TRUE(slow.back()->ok());
        if (i % 2 == 0) {
            ASSERT_TRUE(slow.back()->send("GET / HTTP/1.1\r\nHo"));
        }
    }
    Client other(echo.server.port());
    ASSERT_TRUE(other.send(get("/other")));
    EXPECT_EQ(statusLine(other.answer(1s)), "HTTP/1.1 200 OK") << "answered while the slow ones wait";

    // A byte every 50 ms does not extend the deadline: the connection is
    // closed long before the 100 bytes of this request are in.
    Client trickle(echo.server.port());
    const std::string request = get("/trickle", "X-Pad: " + std::string(60, 'a') + "\r\n");
    bool closed = false;
    for (size_t i = 0; i < request.size() && !closed; ++i) {
        closed = !trickle.send(request.substr(i, 1)) || trickle.closedWithin(50ms);
    }
    EXPECT_TRUE(closed || trickle.closedWithin(1s));
    for (auto& client : slow) EXPECT_TRUE(client->closedWithin(2s));
    EXPECT_EQ(echo.answered, 1);
}

TEST(LoopbackServerTest, ANewConnectionBeyondTheCapTakesThePlaceOfTheOldestWaitingOne) {
    LoopbackServerLimits limits = shortLimits();
    limits.requestTime = 10s;  // no deadline helps here
    limits.maxConnections = 3;
    EchoServer echo(limits);
    ASSERT_TRUE(echo.started);
    std::vector<std::unique_ptr<Client>> idle;
    // The listener hands connections over in the order they came.
    for (int i = 0; i < 3; ++i) {
        idle.push_back(std::make_unique<Client>(echo.server.port()));
        ASSERT_TRUE(idle.back()->send("G"));
    }
    Client late(echo.server.port());
    ASSERT_TRUE(late.send(get("/late")));
    EXPECT_EQ(statusLine(late.answer(1s)), "HTTP/1.1 200 OK");
    EXPECT_TRUE(idle[0]->closedWithin(1s)) << "the oldest waiting connection is let go";
    EXPECT_FALSE(idle[2]->closedWithin(50ms));
}

// A client that asks for an answer larger than the socket buffers and never
// reads it holds its connection until the answer's deadline, not longer: a
// server that allows one connection serves the next client after it.
TEST(LoopbackServerTest, AClientThatNeverReadsLosesItsConnectionAtTheDeadline) {
    LoopbackServerLimits limits = shortLimits();
    limits.maxConnections = 1;
    const std::string large(32 * 1024 * 1024, 'x');
    LoopbackServer server([&](const HttpRequest& request) { return HttpResponse{200, request.path == "/large" ? large : "small"}; },
                          limits);
    std::string error;
    ASSERT_TRUE(server.start(0, error)) << error;
    Client stuck(server.port());
    ASSERT_TRUE(stuck.send(get("/large")));
    // Only a connection whose answer is on its way is the stuck one: before
    // that it is still a request, let go for any newcomer. The waits only
    // catch a server that keeps the stuck connection: the deadline that lets
    // it go is the server's own, and a crowded core stretches the rest.
    ASSERT_TRUE(stuck.readableWithin(60s));
    bool served = false;
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (!served && std::chrono::steady_clock::now() < end) {
        Client next(server.port());
        served = next.send(get("/small")) && statusLine(next.answer(10s)) == "HTTP/1.1 200 OK";
    }
    EXPECT_TRUE(served) << "the reader that never reads still holds the only connection";
}

// Requests that pass the trust test are answered before those queued ahead of
// them, and a trusted client finds a place when every connection is taken by
// others with requests waiting.
TEST(LoopbackServerTest, TrustedRequestsGoFirstAndFindAPlace) {
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    std::vector<std::string> order;
    std::vector<std::string> trustedSeen;  // in the order the loop read them
    LoopbackServerLimits limits = shortLimits();
    limits.requestTime = 10s;
    limits.maxConnections = 4;
    limits.workers = 1;
    LoopbackServer server(
        [&](const HttpRequest& request) {
            std::unique_lock lock(mutex);
            order.push_back(request.path);
            changed.notify_all();
            if (request.path == "/hold") changed.wait_for(lock, 5s, [&] { return released; });
            return HttpResponse{200, request.path};
        },
        limits, [&](const HttpRequest& request) {
            if (!request.header("X-Secret")) return false;
            std::lock_guard lock(mutex);
            trustedSeen.push_back(request.path);
            changed.notify_all();
            return true;
        });
    std::string error;
    ASSERT_TRUE(server.start(0, error)) << error;
    std::vector<std::unique_ptr<Client>> others;
    for (const char* path : {"/hold", "/queued1", "/queued2", "/queued3"}) {
        others.push_back(std::make_unique<Client>(server.port()));
        ASSERT_TRUE(others.back()->send(get(path)));
        if (others.size() == 1) {
            std::unique_lock lock(mutex);
            ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return !order.empty(); }));
        }
    }
    // The queued requests are whole before the trusted client comes.
    EXPECT_FALSE(others.back()->closedWithin(100ms));
    Client trusted(server.port());
    ASSERT_TRUE(trusted.send(get("/trusted", "X-Secret: 1\r\n")));
    // The loop reads one request at a time: once it has read the second
    // trusted one, the first is queued.
    Client marker(server.port());
    ASSERT_TRUE(marker.send(get("/marker", "X-Secret: 1\r\n")));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return trustedSeen.size() == 2; }));
        released = true;
        changed.notify_all();
    }
    const std::string answer = trusted.answer(5s);
    EXPECT_EQ(statusLine(answer), "HTTP/1.1 200 OK") << answer;
    std::lock_guard lock(mutex);
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[1], "/trusted");
}

// Stopping while a handler runs (a live page's wait that the end cuts
// short): its answer still reaches the client, and a client that never
// reads a large answer holds the end for the finishing time only.
TEST(LoopbackServerTest, StopSendsWhatRunningHandlersAnswerAndEndsWithinItsTime) {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, released = false;
    LoopbackServerLimits limits = shortLimits();
    limits.requestTime = 10s;
    limits.workers = 1;
    const std::string large(32 * 1024 * 1024, 'x');
    LoopbackServer server(
        [&](const HttpRequest& request) {
            if (request.path == "/large") return HttpResponse{200, large};
            std::unique_lock lock(mutex);
            entered = true;
            changed.notify_all();
            changed.wait_for(lock, 10s, [&] { return released; });
            return HttpResponse{200, request.path};
        },
        limits);
    std::string error;
    ASSERT_TRUE(server.start(0, error)) << error;
    Client stuck(server.port());
    ASSERT_TRUE(stuck.send(get("/large")));
    ASSERT_TRUE(stuck.readableWithin(60s)) << "the large answer is on its way";
    Client running(server.port());
    ASSERT_TRUE(running.send(get("/running")));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return entered; }));
    }
    auto stopped = std::async(std::launch::async, [&] { server.stop(); });
    // The answer below is due however late the stop begins; a moment's
    // start makes it begin while the handler runs, as the end of a wait does.
    std::this_thread::sleep_for(50ms);
    {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    const std::string answer = running.answer(10s);
    EXPECT_EQ(statusLine(answer), "HTTP/1.1 200 OK") << answer;
    EXPECT_NE(answer.find("\r\n\r\n/running"), std::string::npos);
    EXPECT_EQ(stopped.wait_for(10s), std::future_status::ready) << "the reader that never reads holds the end";
}

}  // namespace
