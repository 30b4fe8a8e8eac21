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
    // Adds `count` to what is lost under `what`; `counted` says what the
    // count counts ("events whose write failed"). Without it the count is
    // not shown: the name says all there is.
    static void note(const std::string& what, int64_t count = 1, const std::string& counted = "");
    // Forgets what is lost under `what`: it has been stored since.
    static void recovered(const std::string& what);
    // "not stored: analytics events (events whose write failed: 12);
    // preferences file X (failed writes of its latest values: 2)", or nothing.
    static std::optional<std::string> describe();
    static void resetForTesting();
};

}  // namespace foundation
