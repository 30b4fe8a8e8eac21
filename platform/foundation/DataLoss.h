#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace foundation {

// What this process failed to store, for its exit: a run that lost data must
// not end as if it had not. Writers note a loss under a name of what was lost
// ("analytics events", a preferences file); a later write that stores the
// same thing after all takes its note back. Thread-safe.
class DataLoss {
public:
    // Adds `count` to what is lost under `what`.
    static void note(const std::string& what, int64_t count = 1);
    // Forgets what is lost under `what`: it has been stored since.
    static void recovered(const std::string& what);
    // "not stored: 12 analytics events; preferences file X", or nothing.
    static std::optional<std::string> describe();
    static void resetForTesting();
};

}  // namespace foundation
