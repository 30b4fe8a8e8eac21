#pragma once

// A time read back from storage and compared with the clock. A clock set
// back after the time was stored leaves it ahead of the clock, and another
// program may leave any number at all: a wait measured from such a time
// would outlast the clock, and a comparison with NaN is never true. So a
// time ahead of the clock reads as now, and NaN or an infinity as absent (0).
//
// A time that gates work ("the last failure was at T, retry after T + x")
// is settled where it is read: what it reads as is stored in its place, so
// that a time ahead of the clock stays the moment it was first read instead
// of moving on with the clock, and the wait ends.

#include <cstdint>
#include <functional>

// How one stored time is read against the clock, by what its reader does
// with it:
// - kMirrored: the reader compares |now - t|, so a time ahead of the clock
//   waits for nothing; it is read as stored, and only one that is no number
//   is absent.
// - kAheadIsNow: a time ahead of the clock reads as now (a failure).
// - kAheadIsNone: a time ahead of the clock is absent (a back-off: one taken
//   now would hold every upload for its whole interval).
enum class MSRStoredTimeRule { kMirrored, kAheadIsNow, kAheadIsNone };

// A stored time that is no number (NaN or an infinity) as absent (0), else as stored.
double MSRFiniteStoredTime(double stored);
// `stored` read against `now` by `rule`.
double MSRStoredTimeByRule(double stored, double now, MSRStoredTimeRule rule);
// Seconds since 1970.
double MSRStoredTimeAgainstClock(double stored, double now);
// Milliseconds since 1970: no NaN to meet, only times ahead of the clock.
int64_t MSRStoredMillisAgainstClock(int64_t stored, int64_t nowMillis);

// Reads the time `read` answers against `now` by `rule`; when that differs
// from what is stored, `write` stores it. Answers what it read.
double MSRSettleStoredTime(const std::function<double()>& read, const std::function<void(double)>& write,
                           double now, MSRStoredTimeRule rule = MSRStoredTimeRule::kAheadIsNow);
