#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace app {

// What one request may hold. A request over a limit is answered with an
// error and its connection closed, before more of it is kept in memory.
struct HttpLimits {
    size_t maxHeaderBytes = 16 * 1024;  // request line and headers together
    size_t maxHeaders = 64;
    size_t maxBodyBytes = 64 * 1024;
};

struct HttpRequest {
    std::string method;
    std::string target;  // as sent: path and query
    std::string path;    // the target up to '?'
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    bool keepAlive = false;

    // The value of the first header `name` (any case), or nothing.
    const std::string* header(std::string_view name) const;
};

// Reads HTTP/1.x requests from the bytes of one connection, as they come.
// Only bodies with a Content-Length are taken: a chunked body cannot be
// bounded before it is read, so it is refused (501) and so are conflicting
// lengths; nothing beyond the limits is ever buffered.
class HttpRequestReader {
  public:
    enum class State { incomplete, complete, failed };

    explicit HttpRequestReader(HttpLimits limits = {}) : limits_(limits) {}

    // Takes the next bytes of the connection. Once complete, request() holds
    // the request and later bytes wait for next(); once failed, status() and
    // reason() say why and the connection is to be answered and closed.
    State feed(std::string_view bytes);
    State state() const { return state_; }
    // True while not a byte of the next request has arrived.
    bool idle() const { return state_ == State::incomplete && buffer_.empty(); }

    const HttpRequest& request() const { return request_; }
    int status() const { return status_; }
    const std::string& reason() const { return reason_; }

    // Forgets the completed request and reads the bytes that followed it.
    State next();

  private:
    State fail(int status, std::string reason);
    State parse();
    bool parseHead(std::string_view head);

    HttpLimits limits_;
    State state_ = State::incomplete;
    std::string buffer_;
    size_t searched_ = 0;  // where to look on for the end of the head
    size_t headEnd_ = 0;   // 0 while the head is incomplete, else its length
    size_t bodyLength_ = 0;
    HttpRequest request_;
    int status_ = 0;
    std::string reason_;
};

}  // namespace app
