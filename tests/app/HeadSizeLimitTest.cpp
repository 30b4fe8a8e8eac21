// The size limit of a request's head counts every byte of it, the blank
// line that ends it included.

#include "app/HttpRequestReader.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using app::HttpLimits;
using app::HttpRequestReader;

// A head of exactly `size` bytes: the request line, a Host and a filler
// header whose value takes up the rest, and the blank line.
std::string headOfSize(size_t size) {
    const std::string start = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Fill: ";
    const std::string end = "\r\n\r\n";
    return start + std::string(size - start.size() - end.size(), 'a') + end;
}

// At the limit the head is taken, one byte more gets 431 (a count that
// leaves out its last bytes lets a few more in), whether the bytes come at
// once or one by one.
TEST(HeadSizeLimitTest, AHeadAtTheLimitIsTakenAndOneByteOverIsRefused) {
    HttpLimits limits;
    limits.maxHeaderBytes = 200;
    for (const bool byteByByte : {false, true}) {
        for (const size_t size : {size_t{199}, size_t{200}, size_t{201}, size_t{203}, size_t{204}}) {
            SCOPED_TRACE(std::to_string(size) + (byteByByte ? " bytes, one by one" : " bytes at once"));
            const std::string head = headOfSize(size);
            ASSERT_EQ(head.size(), size);
            HttpRequestReader reader(limits);
            HttpRequestReader::State state = HttpRequestReader::State::incomplete;
            if (byteByByte) {
                for (size_t i = 0; i < head.size() && state == HttpRequestReader::State::incomplete; ++i)
                    state = reader.feed(head.substr(i, 1));
            } else {
                state = reader.feed(head);
            }
            if (size <= limits.maxHeaderBytes) {
                ASSERT_EQ(state, HttpRequestReader::State::complete) << reader.status() << " " << reader.reason();
                EXPECT_EQ(reader.request().path, "/");
            } else {
                EXPECT_EQ(state, HttpRequestReader::State::failed);
                EXPECT_EQ(reader.status(), 431);
            }
        }
    }
}

}  // namespace
