#pragma once
// Stored raw events are read back by the thousand, and nearly every one has
// the same simple form: parameters that each carry a name and exactly one
// text, integer or double value, and the event's times. That form is read
// here straight from the bytes, without building the message. Bytes in any
// other form (nested parameters, repeated or unexpected fields, text that is
// not UTF-8, anything malformed) are refused, and the caller falls back to the
// full decode: whatever this reader answers is what MSRPBEvent::initWithBuffer
// and the accessors would give for the same bytes.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

struct MSRPBFlatEventParam {
    enum class Kind { kText, kInteger, kDouble };
    std::string_view name;  // views into the bytes read
    Kind kind = Kind::kText;
    std::string_view text;
    int64_t integer = 0;
    double real = 0;
};

struct MSRPBFlatEvent {
    int64_t previousTimestampMillis = 0;      // 0 when absent
    std::vector<MSRPBFlatEventParam> params;  // in wire order
    // Whether the parameters lead the bytes, each written exactly as the
    // encoding writes it; they are then `encodedParams`.
    bool hasEncodedParams = false;
    std::span<const uint8_t> encodedParams;
};

// False when the bytes are not in the simple form; `event` is then unspecified.
// Its list keeps its capacity from one call to the next.
bool MSRPBReadFlatEvent(std::span<const uint8_t> bytes, MSRPBFlatEvent& event);

// The encoding of an event with these parameters (in this order), name and
// times, byte for byte what MSRPBEvent::protoBuffer gives for the same
// fields; appended to `out`. Parameters need a name; the previous time is
// written only when given.
void MSRPBAppendFlatEventEncoding(std::span<const MSRPBFlatEventParam> params, std::string_view name,
                                  int64_t timestampMillis, std::optional<int64_t> previousTimestampMillis,
                                  std::vector<uint8_t>& out);
// The same for the parameters of `event`, copied as they stand when it has
// them encoded.
void MSRPBAppendFlatEventEncoding(const MSRPBFlatEvent& event, std::string_view name, int64_t timestampMillis,
                                  std::optional<int64_t> previousTimestampMillis, std::vector<uint8_t>& out);
