#pragma once
// The wire layer reports its failures (refused field access, undecodable or
// unencodable messages) to the engine's monitor like every other part of the
// engine, at level 0: an error line on the console that the health monitor
// does not sample. Codes: 47000 field access, 45000 encoding and decoding,
// 46000 wrappers.

#include <cstdint>

// printf-style report with its message code.
void MSRPBLog(int64_t code, const char* format, ...) __attribute__((format(printf, 2, 3)));
