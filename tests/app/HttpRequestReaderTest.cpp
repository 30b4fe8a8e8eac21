#include "app/HttpRequestReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using app::HttpLimits;
using app::HttpRequestReader;
using State = HttpRequestReader::State;

HttpLimits smallLimits() {
    HttpLimits limits;
    limits.maxHeaderBytes = 256;
    limits.maxHeaders = 4;
    limits.maxBodyBytes = 16;
    return limits;
}

struct ReaderCase {
    const char* name;
    std::string bytes;
    int status;  // 0: a whole request
    std::string method = "";
    std::string path = "";
    std::string body = "";
    bool keepAlive = true;
};

// Each case is read whole and byte by byte: where the bytes break must not
// change what is read.
TEST(HttpRequestReaderTest, ReadsRequestsAndRefusesWhatCannotBeBounded) {
    const std::string host = "Host: 127.0.0.1:1\r\n";
    const std::vector<ReaderCase> cases = {
        {"get", "GET /state?x=1 HTTP/1.1\r\n" + host + "\r\n", 0, "GET", "/state"},
        {"post with a body", "POST /action HTTP/1.1\r\n" + host + "Content-Length: 5\r\n\r\ntap 7", 0, "POST",
         "/action", "tap 7"},
        {"leading empty lines", "\r\n\r\nGET / HTTP/1.1\r\n" + host + "\r\n", 0, "GET", "/"},
        {"close", "GET / HTTP/1.1\r\n" + host + "Connection: keep-alive, Close\r\n\r\n", 0, "GET", "/", "",
         false},
        {"HTTP/1.0 closes", "GET / HTTP/1.0\r\n\r\n", 0, "GET", "/", "", false},
        {"same length twice",
         "POST / HTTP/1.1\r\n" + host + "Content-Length: 2\r\ncontent-length: 2\r\n\r\nab", 0, "POST", "/",
         "ab"},
        {"head too large", "GET /" + std::string(300, 'a') + " HTTP/1.1\r\n", 431},
        {"head too large, never ending", "GET / HTTP/1.1\r\n" + std::string(300, 'a'), 431},
        {"too many headers", "GET / HTTP/1.1\r\n" + host + "A: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n", 431},
        {"body too large", "POST / HTTP/1.1\r\n" + host + "Content-Length: 17\r\n\r\n", 413},
        {"huge length", "POST / HTTP/1.1\r\n" + host + "Content-Length: 99999999999999999999\r\n\r\n", 400},
        {"chunked", "POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n\r\n",
         501},
        {"conflicting lengths",
         "POST / HTTP/1.1\r\n" + host + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400},
        {"signed length", "POST / HTTP/1.1\r\n" + host + "Content-Length: +1\r\n\r\na", 400},
        {"no host", "GET / HTTP/1.1\r\n\r\n", 400},
        {"two hosts", "GET / HTTP/1.1\r\n" + host + "Host: evil.example\r\n\r\n", 400},
        {"absolute target", "GET http://evil.example/ HTTP/1.1\r\n" + host + "\r\n", 400},
        {"space in target", "GET /a b HTTP/1.1\r\n" + host + "\r\n", 400},
        {"other version", "GET / HTTP/2.0\r\n" + host + "\r\n", 505},
        {"folded header", "GET / HTTP/1.1\r\n" + host + "X: a\r\n b\r\n\r\n", 400},
        {"control character", "GET / HTTP/1.1\r\n" + host + "X: a" + std::string(1, '\0') + "b\r\n\r\n", 400},
        {"no colon", "GET / HTTP/1.1\r\n" + host + "X\r\n\r\n", 400},
        {"bare request line", "GET\r\n\r\n", 400},
    };
    for (const auto& c : cases) {
        for (bool byteByByte : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (byteByByte ? ", byte by byte" : ", whole"));
            HttpRequestReader reader(smallLimits());
            State state = State::incomplete;
            if (byteByByte) {
                for (char b : c.bytes)
                    if ((state = reader.feed(std::string_view(&b, 1))) != State::incomplete) break;
            } else {
                state = reader.feed(c.bytes);
            }
            if (c.status != 0) {
                ASSERT_EQ(state, State::failed);
                EXPECT_EQ(reader.status(), c.status) << reader.reason();
                continue;
            }
            ASSERT_EQ(state, State::complete) << reader.reason();
            EXPECT_EQ(reader.request().method, c.method);
            EXPECT_EQ(reader.request().path, c.path);
            EXPECT_EQ(reader.request().body, c.body);
            EXPECT_EQ(reader.request().keepAlive, c.keepAlive);
        }
    }
}

TEST(HttpRequestReaderTest, PipelinedRequestsAreReadOneAfterTheOther) {
    HttpRequestReader reader(smallLimits());
    const std::string two =
        "POST /action HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabcGET /state HTTP/1.1\r\nHost: "
        "h\r\n\r\nGE";
    ASSERT_EQ(reader.feed(two), State::complete);
    EXPECT_EQ(reader.request().body, "abc");
    ASSERT_EQ(reader.next(), State::complete);
    EXPECT_EQ(reader.request().path, "/state");
    EXPECT_EQ(reader.request().header("host") ? *reader.request().header("host") : "", "h");
    EXPECT_EQ(reader.next(), State::incomplete);
    EXPECT_FALSE(reader.idle()) << "a part of a third request is kept";
    EXPECT_EQ(reader.feed("T / HTTP/1.1\r\nHost: h\r\n\r\n"), State::complete);
    EXPECT_EQ(reader.request().method, "GET");
}

}  // namespace
