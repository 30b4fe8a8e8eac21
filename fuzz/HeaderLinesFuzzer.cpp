// HTTP response headers as the network reads them, one line at a time as
// libcurl hands them over (each line with its line end).

#include <cstdlib>

#include "fuzz/FuzzInput.h"
#include "platform/net/CurlNetwork.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    net::Headers headers;
    std::string_view input = fuzz::text(data, size);
    while (!input.empty()) {
        size_t end = input.find('\n');
        end = end == std::string_view::npos ? input.size() : end + 1;
        net::addResponseHeaderLine(input.substr(0, end), headers);
        input.remove_prefix(end);
    }
    for (const auto& [name, value] : headers) {
        if (name.find(':') != std::string::npos && name.rfind("HTTP/", 0) != 0) std::abort();
    }
    return 0;
}
