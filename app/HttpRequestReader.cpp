#include "app/HttpRequestReader.h"

#include <algorithm>
#include <cctype>

namespace app {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The characters of a header name or method (a token).
bool isToken(std::string_view text) {
    if (text.empty()) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return std::isalnum(u) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    });
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// Whether the comma-separated `list` names `token`.
bool listHas(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        const size_t comma = list.find(',');
        if (equalsIgnoringCase(trimmed(list.substr(0, comma)), token)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace

const std::string* HttpRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (equalsIgnoringCase(key, name)) return &value;
    return nullptr;
}

HttpRequestReader::State HttpRequestReader::feed(std::string_view bytes) {
    if (state_ == State::failed) return state_;
    // A completed request keeps what follows it for next(); the caller reads
    // no more from the connection until then, so this stays small.
    buffer_.append(bytes);
    return state_ == State::complete ? state_ : parse();
}

HttpRequestReader::State HttpRequestReader::next() {
    if (state_ != State::complete) return state_;
    buffer_.erase(0, headEnd_ + bodyLength_);
    request_ = HttpRequest{};
    state_ = State::incomplete;
    searched_ = headEnd_ = bodyLength_ = 0;
    return parse();
}

HttpRequestReader::State HttpRequestReader::fail(int status, std::string reason) {
    state_ = State::failed;
    status_ = status;
    reason_ = std::move(reason);
    buffer_.clear();
    buffer_.shrink_to_fit();
    return state_;
}

HttpRequestReader::State HttpRequestReader::parse() {
    if (headEnd_ == 0) {
        // Empty lines before a request are allowed (after a body some
        // clients add one).
        while (buffer_.size() >= 2 && buffer_[0] == '\r' && buffer_[1] == '\n') buffer_.erase(0, 2);
        const size_t end = buffer_.find("\r\n\r\n", searched_);
        if (end == std::string::npos) {
            if (buffer_.size() > limits_.maxHeaderBytes)
                return fail(431, "the request's headers are too large");
            searched_ = buffer_.size() < 3 ? 0 : buffer_.size() - 3;
            return state_;
        }
        if (end + 4 > limits_.maxHeaderBytes) return fail(431, "the request's headers are too large");
        if (!parseHead(std::string_view(buffer_).substr(0, end + 2))) return state_;
        headEnd_ = end + 4;
    }
    if (buffer_.size() < headEnd_ + bodyLength_) return state_;
    request_.body = buffer_.substr(headEnd_, bodyLength_);
    return state_ = State::complete;
}

// The request line and the header lines, each ending in CRLF.
bool HttpRequestReader::parseHead(std::string_view head) {
    auto takeLine = [&head]() {
        const size_t end = head.find("\r\n");
        std::string_view line = head.substr(0, end);
        head.remove_prefix(end + 2);
        return line;
    };
    const std::string_view line = takeLine();
    const size_t first = line.find(' ');
    const size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos)
        return fail(400, "malformed request line"), false;
    const std::string_view method = line.substr(0, first);
    const std::string_view target = line.substr(first + 1, second - first - 1);
    const std::string_view version = line.substr(second + 1);
    if (!isToken(method)) return fail(400, "malformed method"), false;
    if (target.empty() || target[0] != '/' || std::any_of(target.begin(), target.end(), [](char c) {
            return static_cast<unsigned char>(c) <= ' ' || c == 0x7f;
        }))
        return fail(400, "malformed target"), false;
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return fail(505, "only HTTP/1.0 and HTTP/1.1 are spoken"), false;
    request_.method = method;
    request_.target = target;
    request_.path = target.substr(0, target.find('?'));

    while (!head.empty()) {
        const std::string_view header = takeLine();
        const size_t colon = header.find(':');
        if (colon == std::string_view::npos || !isToken(header.substr(0, colon)))
            return fail(400, "malformed header line"), false;
        const std::string_view value = trimmed(header.substr(colon + 1));
        if (std::any_of(value.begin(), value.end(), [](char c) {
                const auto u = static_cast<unsigned char>(c);
                return (u < ' ' && c != '\t') || u == 0x7f;
            }))
            return fail(400, "control character in a header"), false;
        if (request_.headers.size() >= limits_.maxHeaders) return fail(431, "too many headers"), false;
        request_.headers.emplace_back(header.substr(0, colon), value);
    }

    int hosts = 0;
    bool lengthSeen = false;
    for (const auto& [name, value] : request_.headers) {
        if (equalsIgnoringCase(name, "Host")) ++hosts;
        if (equalsIgnoringCase(name, "Transfer-Encoding"))
            return fail(501, "only bodies with a Content-Length are taken"), false;
        if (!equalsIgnoringCase(name, "Content-Length")) continue;
        if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos)
            return fail(400, "malformed Content-Length"), false;
        const size_t length = std::stoull(value);
        if (lengthSeen && length != bodyLength_) return fail(400, "conflicting Content-Length"), false;
        if (length > limits_.maxBodyBytes) return fail(413, "the request's body is too large"), false;
        bodyLength_ = length;
        lengthSeen = true;
    }
    if (hosts > 1 || (hosts == 0 && version == "HTTP/1.1"))
        return fail(400, "exactly one Host header is needed"), false;
    const std::string* connection = request_.header("Connection");
    request_.keepAlive = version == "HTTP/1.1" ? !(connection && listHas(*connection, "close"))
                                               : connection && listHas(*connection, "keep-alive");
    return true;
}

}  // namespace app
