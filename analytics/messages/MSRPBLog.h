#pragma once
// The wire-message layer reports failures through one settable sink so that
// the analytics monitor, which sits above this target, can collect them.
// Without a sink nothing is written.

#include <cstdint>
#include <functional>
#include <string>

// Levels follow the monitor's scale; the wire layer only reports errors.
inline constexpr int kMSRPBLogLevelError = 2;

// (level, code, text). The wire layer carries no monitor codes of its own and
// passes 0.
using MSRPBLogSink = std::function<void(int level, int64_t code, const std::string& text)>;

// Installs the sink (an empty function removes it). Safe from any thread.
void MSRPBSetLogSink(MSRPBLogSink sink);

// printf-style report to the installed sink.
void MSRPBLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
