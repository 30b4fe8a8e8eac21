// The command line and environment `calvaro` starts with: NUL-separated
// parts, the first two as XDG_DATA_HOME and HOME (an empty one unset), the
// rest as arguments. A refusal names its cause; an acceptance has a data root
// and a port a socket can take.

#include <cstdlib>
#include <string>
#include <vector>

#include "app/Launcher.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> parts;
    std::string_view input = fuzz::text(data, size);
    while (parts.size() < 64) {
        const size_t end = input.find('\0');
        parts.emplace_back(input.substr(0, end));
        if (end == std::string_view::npos) break;
        input.remove_prefix(end + 1);
    }
    parts.resize(std::max<size_t>(parts.size(), 2));
    for (const auto& [name, value] : {std::pair{"XDG_DATA_HOME", parts[0]}, std::pair{"HOME", parts[1]}}) {
        if (value.empty())
            unsetenv(name);
        else
            setenv(name, value.c_str(), 1);
    }
    std::vector<std::string> arguments = {"calvaro"};
    arguments.insert(arguments.end(), parts.begin() + 2, parts.end());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    app::LaunchOptions options;
    std::string error;
    if (!app::parseArguments(static_cast<int>(arguments.size()), argv.data(), options, error)) {
        if (error.empty()) std::abort();
    } else if (!options.help && (options.home.empty() || options.port < 0 || options.port > 65535)) {
        std::abort();
    }
    return 0;
}
