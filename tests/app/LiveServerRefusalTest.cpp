#include "app/LiveServer.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using app::HttpRequest;
using app::LiveServer;

using Headers = std::vector<std::pair<std::string, std::string>>;

constexpr int kPort = 8123;
const std::string kToken = "0123456789abcdef0123456789abcdef";
const std::string kSelf = "http://127.0.0.1:8123";
const std::string kType = LiveServer::kActionType;

struct RefusalCase {
    const char* name;
    std::string method;
    Headers headers;
    int status;  // 0: let through
};

HttpRequest request(const RefusalCase& c) {
    HttpRequest r;
    r.method = c.method;
    r.target = r.path = c.method == "POST" ? "/action" : "/";
    r.headers = c.headers;
    r.body = "tap #dsgvoAcceptButton";
    return r;
}

// What another site, a rebound name or a guessing local client may send,
// beside what the page itself sends.
TEST(LiveServerRefusalTest, OnlyThePagesOwnRequestsGetThrough) {
    const std::pair<std::string, std::string> host{"Host", "127.0.0.1:8123"};
    const std::pair<std::string, std::string> origin{"Origin", kSelf};
    const std::pair<std::string, std::string> type{"Content-Type", kType};
    const std::pair<std::string, std::string> token{LiveServer::kTokenHeader, kToken};
    const std::vector<RefusalCase> cases = {
        {"the page", "GET", {host}, 0},
        {"the page by name", "GET", {{"Host", "localhost:8123"}}, 0},
        {"the page's own fetch", "GET", {host, origin}, 0},
        {"the page's action", "POST", {host, origin, type, token}, 0},
        {"the action with a charset",
         "POST",
         {host, origin, {"Content-Type", kType + "; charset=utf-8"}, token},
         0},
        {"a rebound name", "GET", {{"Host", "evil.example:8123"}}, 421},
        {"a rebound name acting",
         "POST",
         {{"Host", "evil.example"}, {"Origin", "http://evil.example"}, type, token},
         421},
        {"another port", "GET", {{"Host", "127.0.0.1:8124"}}, 421},
        {"no port", "GET", {{"Host", "127.0.0.1"}}, 421},
        {"no host", "GET", {}, 421},
        {"another site reading", "GET", {host, {"Origin", "http://evil.example"}}, 403},
        {"a sandboxed page reading", "GET", {host, {"Origin", "null"}}, 403},
        {"another site acting", "POST", {host, {"Origin", "http://evil.example"}, type, token}, 403},
        {"a sandboxed page acting", "POST", {host, {"Origin", "null"}, type, token}, 403},
        {"the other name's origin", "POST", {host, {"Origin", "http://localhost:8123"}, type, token}, 403},
        {"an action without origin", "POST", {host, type, token}, 403},
        {"a simple text/plain action", "POST", {host, origin, {"Content-Type", "text/plain"}, token}, 415},
        {"a form's action",
         "POST",
         {host, origin, {"Content-Type", "application/x-www-form-urlencoded"}, token},
         415},
        {"an action without type", "POST", {host, origin, token}, 415},
        {"an action without token", "POST", {host, origin, type}, 403},
        {"a guessed token",
         "POST",
         {host, origin, type, {LiveServer::kTokenHeader, "0123456789abcdef0123456789abcdee"}},
         403},
        {"a short token", "POST", {host, origin, type, {LiveServer::kTokenHeader, "0123"}}, 403},
        {"an empty token", "POST", {host, origin, type, {LiveServer::kTokenHeader, ""}}, 403},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto refused = LiveServer::refusal(request(c), kPort, kToken);
        EXPECT_EQ(refused ? refused->status : 0, c.status) << (refused ? refused->body : "");
    }
    // Before the server has a token, no action gets through.
    const RefusalCase acting{"", "POST", {host, origin, type, {LiveServer::kTokenHeader, ""}}, 0};
    EXPECT_TRUE(LiveServer::refusal(request(acting), kPort, ""));
}

// Only the secret printed with the address opens the server: in the page's
// header, as the start of the path of what its elements load, or in the
// query of the first visit's GET of "/". A cookie, which every port of the
// host receives, opens nothing.
TEST(LiveServerRefusalTest, OnlyTheSecretsHolderIsServed) {
    const std::string secret = "fedcba9876543210fedcba9876543210";
    const std::string header = LiveServer::kSecretHeader;
    struct SecretCase {
        const char* name;
        std::string method, target;
        Headers headers;
        bool served;
    };
    const std::vector<SecretCase> cases = {
        {"the header", "GET", "/state", {{header, secret}}, true},
        {"the header in other letters", "POST", "/action", {{"x-calvaro-secret", secret}}, true},
        {"a library under the secret", "GET", "/s/" + secret + "/katex/katex.min.js", {}, true},
        {"the first visit", "GET", "/?secret=" + secret, {}, true},
        {"the first visit, more in the query", "GET", "/?x=1&secret=" + secret, {}, true},
        {"nothing", "GET", "/", {}, false},
        {"the old cookie", "GET", "/", {{"Cookie", "calvaro-" + std::to_string(kPort) + "=" + secret}}, false},
        {"a guessed secret", "GET", "/", {{header, std::string(32, '0')}}, false},
        {"the secret's start", "GET", "/", {{header, "fedcba"}}, false},
        {"the secret and more", "GET", "/", {{header, secret + "0"}}, false},
        {"an empty header", "GET", "/", {{header, ""}}, false},
        {"the secret in another header", "GET", "/", {{"X-Calvaro-Token", secret}}, false},
        {"a path under the secret's start", "GET", "/s/fedcba/katex/katex.min.js", {}, false},
        {"the secret as the whole path", "GET", "/s/" + secret, {}, false},
        {"the secret later in the path", "GET", "/katex/s/" + secret + "/katex.min.js", {}, false},
        {"the query of another route", "GET", "/state?secret=" + secret, {}, false},
        {"the query of an action", "POST", "/?secret=" + secret, {}, false},
        {"another query name", "GET", "/?secrets=" + secret, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpRequest r;
        r.method = c.method;
        r.target = c.target;
        r.path = c.target.substr(0, c.target.find('?'));
        r.headers = c.headers;
        EXPECT_EQ(LiveServer::holdsSecret(r, secret), c.served);
    }
    // A server without a secret yet serves no one.
    HttpRequest empty;
    empty.method = "GET";
    empty.target = empty.path = "/s//katex/katex.min.js";
    empty.headers = {{header, ""}};
    EXPECT_FALSE(LiveServer::holdsSecret(empty, ""));
}

}  // namespace
