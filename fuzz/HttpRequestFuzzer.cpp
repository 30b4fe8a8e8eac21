// The bytes a client of `calvaro serve` sends: read in pieces of any size
// (the first byte picks it), request after request, each checked against
// what the live server lets through. A request never exceeds the limits,
// and what is let through is the page's own.

#include <algorithm>
#include <cstdlib>

#include "app/HttpRequestReader.h"
#include "app/LiveServer.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = 1 + data[0] % 64;
    std::string_view input = fuzz::text(data + 1, size - 1);
    app::HttpLimits limits;
    limits.maxHeaderBytes = 2048;
    limits.maxHeaders = 16;
    limits.maxBodyBytes = 512;
    app::HttpRequestReader reader(limits);
    const std::string token = "0123456789abcdef";
    auto state = app::HttpRequestReader::State::incomplete;
    while (!input.empty() && state != app::HttpRequestReader::State::failed) {
        const size_t n = std::min(piece, input.size());
        state = reader.feed(input.substr(0, n));
        input.remove_prefix(n);
        for (int requests = 0; state == app::HttpRequestReader::State::complete && requests < 64;
             ++requests) {
            const app::HttpRequest& request = reader.request();
            if (request.body.size() > limits.maxBodyBytes || request.headers.size() > limits.maxHeaders ||
                request.path.empty() || request.path[0] != '/')
                std::abort();
            const auto refused = app::LiveServer::refusal(request, 8080, token);
            if (!refused && request.method == "POST") {
                const std::string* host = request.header("Host");
                const std::string* sent = request.header(app::LiveServer::kTokenHeader);
                if (!host || (*host != "127.0.0.1:8080" && *host != "localhost:8080") || !sent ||
                    *sent != token)
                    std::abort();
            }
            state = reader.next();
        }
    }
    if (state == app::HttpRequestReader::State::failed && (reader.status() < 400 || reader.reason().empty()))
        std::abort();
    return 0;
}
