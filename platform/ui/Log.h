#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace ui {

// The platform's console. Messages such as a refused presentation go here;
// by default to standard error, tests may capture them.
void log(const std::string& message);
// Replaces the sink (an empty function restores standard error).
void setLogSink(std::function<void(const std::string&)> sink);

// A programming error the platform would stop on (an unknown reuse or
// storyboard identifier, an inconsistent table update). Thrown so that tests
// can see it; the launcher reports it and exits.
struct ProgrammingError : std::logic_error {
    using std::logic_error::logic_error;
};
[[noreturn]] void fatalError(const std::string& message);

}  // namespace ui
