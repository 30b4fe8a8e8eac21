#include "app/LoopbackServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>

namespace app {

namespace {

// Connections taken from the listener in one turn of the loop, so a flood of
// them cannot keep the loop from the ones it has.
constexpr int kAcceptsPerTurn = 64;
constexpr size_t kReadChunk = 16 * 1024;

const char* reasonPhrase(int status) {
    static constexpr std::pair<int, const char*> kPhrases[] = {
        {200, "OK"},
        {303, "See Other"},
        {400, "Bad Request"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {408, "Request Timeout"},
        {409, "Conflict"},
        {413, "Content Too Large"},
        {415, "Unsupported Media Type"},
        {421, "Misdirected Request"},
        {431, "Request Header Fields Too Large"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {503, "Service Unavailable"},
        {505, "HTTP Version Not Supported"},
    };
    for (const auto& [code, phrase] : kPhrases)
        if (code == status) return phrase;
    return "Status";
}

void closeSocket(int fd) {
    if (fd >= 0) ::close(fd);
}

}  // namespace

struct LoopbackServer::Connection {
    // draining: answered and closed for writing, what the client still
    // sends is read and dropped so that closing does not reset the answer.
    enum class Phase { reading, answering, writing, draining };

    Connection(uint64_t number, int socket, HttpLimits limits, Clock::time_point start, Clock::time_point end)
        : id(number), fd(socket), reader(limits), since(start), deadline(end) {}
    ~Connection() { closeSocket(fd); }

    uint64_t id;
    int fd;
    HttpRequestReader reader;
    Phase phase = Phase::reading;
    Clock::time_point since;     // when it was taken or last answered, for choosing whom to let go
    Clock::time_point deadline;  // for its request, or for its answer to leave
    std::string out;
    size_t written = 0;
    bool keepAlive = true;
    bool closed = false;
    bool requested = false;  // it has sent a whole request
    bool trusted = false;    // it has sent a request the trust test passed
};

LoopbackServer::LoopbackServer(Handler handler, LoopbackServerLimits limits, Trust trusted)
    : handler_(std::move(handler)), limits_(limits), trusted_(std::move(trusted)) {}

LoopbackServer::~LoopbackServer() {
    stop();
}

std::string LoopbackServer::serialize(const HttpResponse& response, bool keepAlive) {
    std::string out =
        "HTTP/1.1 " + std::to_string(response.status) + " " + reasonPhrase(response.status) + "\r\n";
    out += "Content-Type: " + response.type + "\r\n";
    out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    for (const auto& [name, value] : response.headers) out += name + ": " + value + "\r\n";
    out += "\r\n";
    return out + response.body;
}

bool LoopbackServer::start(int port, std::string& error) {
    if (listener_ >= 0) return error = "the server runs already", false;
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    wakeup_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (listener_ < 0 || wakeup_ < 0) {
        error = std::string("cannot make a socket: ") + std::strerror(errno);
        stop();
        return false;
    }
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, SOMAXCONN) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        closeSocket(listener_);
        closeSocket(wakeup_);
        listener_ = wakeup_ = -1;
        return false;
    }
    port_ = ntohs(address.sin_port);
    for (int i = 0; i < std::max(1, limits_.workers); ++i) workers_.emplace_back([this] { work(); });
    loop_ = std::thread([this] { run(); });
    return true;
}

void LoopbackServer::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    work_.notify_all();
    if (wakeup_ >= 0) wake();
    // The loop sends what the handlers still running answer, meanwhile.
    for (auto& worker : workers_) worker.join();
    workers_.clear();
    {
        std::lock_guard lock(mutex_);
        finishing_ = true;
        finishBy_ = Clock::now() + limits_.finishTime;
    }
    if (wakeup_ >= 0) wake();
    if (loop_.joinable()) loop_.join();
    closeSocket(listener_);
    closeSocket(wakeup_);
    listener_ = wakeup_ = -1;
}

void LoopbackServer::wake() {
    const uint64_t one = 1;
    (void)!::write(wakeup_, &one, sizeof one);
}

void LoopbackServer::work() {
    for (;;) {
        std::pair<uint64_t, HttpRequest> job;
        {
            std::unique_lock lock(mutex_);
            work_.wait(lock, [this] { return stopping_ || !trustedRequests_.empty() || !requests_.empty(); });
            if (stopping_) return;
            auto& queue = trustedRequests_.empty() ? requests_ : trustedRequests_;
            job = std::move(queue.front());
            queue.pop_front();
        }
        HttpResponse response;
        try {
            response = handler_(job.second);
        } catch (const std::exception& e) {
            response = {500, std::string("failed: ") + e.what() + "\n"};
        }
        {
            // Also while the server stops: the loop sends it before it ends.
            std::lock_guard lock(mutex_);
            answers_.emplace_back(job.first, std::move(response));
        }
        wake();
    }
}

void LoopbackServer::run() {
    std::vector<pollfd> polled;
    std::vector<Connection*> polledConnections;
    for (;;) {
        bool stopping = false;
        std::optional<Clock::time_point> finishBy;
        {
            std::lock_guard lock(mutex_);
            stopping = stopping_;
            if (finishing_) finishBy = finishBy_;
        }
        // Once the handlers have returned, the loop ends when their answers
        // are sent, or when the time to send them is over.
        if (finishBy) {
            takeAnswers();
            const bool sending = std::any_of(connections_.begin(), connections_.end(), [](const auto& entry) {
                return !entry.second->closed && entry.second->phase == Connection::Phase::writing;
            });
            if (!sending || Clock::now() >= *finishBy) break;
        }
        // While it stops, no connection is taken and no request read.
        polled.assign({{wakeup_, POLLIN, 0}, {listener_, static_cast<short>(stopping ? 0 : POLLIN), 0}});
        polledConnections.clear();
        auto now = Clock::now();
        auto nearest = now + std::chrono::seconds(1);
        if (finishBy) nearest = std::min(nearest, *finishBy);
        for (auto& [id, connection] : connections_) {
            if (connection->phase == Connection::Phase::answering) continue;
            if (stopping && connection->phase != Connection::Phase::writing) continue;
            polled.push_back(
                {connection->fd,
                 static_cast<short>(connection->phase == Connection::Phase::writing ? POLLOUT : POLLIN), 0});
            polledConnections.push_back(connection.get());
            nearest = std::min(nearest, connection->deadline);
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(nearest - now).count() + 1;
        if (::poll(polled.data(), polled.size(), static_cast<int>(std::max<int64_t>(0, wait))) < 0 &&
            errno != EINTR)
            break;
        if (polled[0].revents & POLLIN) {
            uint64_t count = 0;
            (void)!::read(wakeup_, &count, sizeof count);
        }
        takeAnswers();
        for (size_t i = 2; i < polled.size(); ++i) {
            Connection& connection = *polledConnections[i - 2];
            if (connection.closed || polled[i].revents == 0) continue;
            if (connection.phase == Connection::Phase::writing)
                writeTo(connection);
            else
                readFrom(connection);
        }
        if (polled[1].revents & POLLIN) accept();
        now = Clock::now();
        for (auto it = connections_.begin(); it != connections_.end();) {
            Connection& connection = *it->second;
            // A request or an answer that takes longer than its time loses its
            // connection; a request being answered is the server's to finish.
            if (connection.phase != Connection::Phase::answering && now >= connection.deadline)
                connection.closed = true;
            it = connection.closed ? connections_.erase(it) : std::next(it);
        }
    }
    connections_.clear();
}

void LoopbackServer::accept() {
    for (int i = 0; i < kAcceptsPerTurn; ++i) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        const auto now = Clock::now();
        size_t open = 0;
        // The oldest connection still sending its request is the likeliest to
        // be one that never will. With a trust test, one that sent a request
        // without passing it goes first, whatever it does now; one that has
        // not yet sent a whole request next; one that passed it last.
        Connection* oldestUntrusted = nullptr;
        Connection* oldestWaiting = nullptr;
        Connection* oldestTrustedWaiting = nullptr;
        auto older = [](Connection* a, Connection* b) { return !b || a->since < b->since; };
        for (auto& [id, connection] : connections_) {
            if (connection->closed) continue;
            ++open;
            Connection* c = connection.get();
            const bool waiting =
                c->phase == Connection::Phase::reading || c->phase == Connection::Phase::draining;
            if (trusted_ && c->requested && !c->trusted) {
                if (older(c, oldestUntrusted)) oldestUntrusted = c;
            } else if (waiting && (c->trusted ? older(c, oldestTrustedWaiting) : older(c, oldestWaiting))) {
                (c->trusted ? oldestTrustedWaiting : oldestWaiting) = c;
            }
        }
        if (open >= limits_.maxConnections) {
            Connection* letGo = oldestUntrusted ? oldestUntrusted : oldestWaiting ? oldestWaiting : oldestTrustedWaiting;
            if (!letGo) {
                const std::string busy = serialize({503, "too many connections\n"}, false);
                (void)!::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                closeSocket(fd);
                continue;
            }
            letGo->closed = true;
            if (letGo->phase == Connection::Phase::answering) {
                // Its request need not be answered any more.
                std::lock_guard lock(mutex_);
                const uint64_t goneId = letGo->id;
                requests_.erase(std::remove_if(requests_.begin(), requests_.end(),
                                               [goneId](const auto& job) { return job.first == goneId; }),
                                requests_.end());
            }
        }
        const uint64_t id = nextId_++;
        connections_.emplace(
            id, std::make_unique<Connection>(id, fd, limits_.request, now, now + limits_.requestTime));
    }
}

void LoopbackServer::readFrom(Connection& connection) {
    char buffer[kReadChunk];
    const ssize_t n = ::recv(connection.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        connection.closed = true;
        return;
    }
    if (n < 0 || connection.phase == Connection::Phase::draining) return;
    proceed(connection, connection.reader.feed(std::string_view(buffer, static_cast<size_t>(n))));
}

void LoopbackServer::proceed(Connection& connection, HttpRequestReader::State state) {
    if (state == HttpRequestReader::State::failed) {
        answer(connection, {connection.reader.status(), connection.reader.reason() + "\n"}, false);
    } else if (state == HttpRequestReader::State::complete) {
        connection.phase = Connection::Phase::answering;
        const bool trusted = trusted_ && trusted_(connection.reader.request());
        connection.requested = true;
        if (trusted) connection.trusted = true;
        {
            std::lock_guard lock(mutex_);
            (trusted ? trustedRequests_ : requests_).emplace_back(connection.id, connection.reader.request());
        }
        work_.notify_one();
    }
}

void LoopbackServer::takeAnswers() {
    std::deque<std::pair<uint64_t, HttpResponse>> ready;
    {
        std::lock_guard lock(mutex_);
        ready.swap(answers_);
    }
    for (auto& [id, response] : ready) {
        auto it = connections_.find(id);
        if (it == connections_.end() || it->second->closed) continue;
        answer(*it->second, response, it->second->reader.request().keepAlive);
    }
}

void LoopbackServer::answer(Connection& connection, const HttpResponse& response, bool keepAlive) {
    connection.out = serialize(response, keepAlive);
    connection.written = 0;
    connection.keepAlive = keepAlive;
    connection.phase = Connection::Phase::writing;
    connection.deadline = Clock::now() + limits_.requestTime;
    writeTo(connection);
}

void LoopbackServer::writeTo(Connection& connection) {
    while (connection.written < connection.out.size()) {
        const ssize_t n = ::send(connection.fd, connection.out.data() + connection.written,
                                 connection.out.size() - connection.written, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        if (n <= 0) {
            connection.closed = true;
            return;
        }
        connection.written += static_cast<size_t>(n);
    }
    connection.out.clear();
    connection.out.shrink_to_fit();
    connection.since = Clock::now();
    connection.deadline = connection.since + limits_.requestTime;
    if (!connection.keepAlive) {
        ::shutdown(connection.fd, SHUT_WR);
        connection.phase = Connection::Phase::draining;
        // Long enough for the client to see the answer, not for it to keep
        // the connection by sending on.
        connection.deadline =
            connection.since + std::min<Clock::duration>(limits_.requestTime, std::chrono::seconds(2));
        return;
    }
    connection.phase = Connection::Phase::reading;
    // A request that followed the last one at once may be whole already.
    proceed(connection, connection.reader.next());
}

}  // namespace app
