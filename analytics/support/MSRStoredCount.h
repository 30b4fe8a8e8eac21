#pragma once

// A count kept in storage (a session number, a number of retries). Another
// program may leave any number under its key, and a count that has run a long
// time may stand at its type's maximum: what the engine adds to it saturates
// there instead of overflowing into a negative count.

#include <cstdint>
#include <limits>

// `count` + `added`, held within int64_t.
inline int64_t MSRCountPlus(int64_t count, int64_t added) {
    int64_t sum = 0;
    if (!__builtin_add_overflow(count, added, &sum)) return sum;
    return added > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

// The count after one more, staying at the maximum once there.
inline int64_t MSRNextCount(int64_t count) {
    return MSRCountPlus(count, 1);
}
