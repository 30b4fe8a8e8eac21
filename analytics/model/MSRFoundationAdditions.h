#pragma once
// Text, digest and query helpers of the measurement engine. Every length
// limit of the engine is counted in UTF-32 code units (code points), never in
// bytes, so that a name in a non-Latin script gets the same room as an ASCII
// one.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"

// Code points of the UTF-8 text; an ill-formed byte sequence counts as one.
int64_t msr_UTF32Length(std::string_view text);
// The same, counted no further than one past `limit`: a longer text answers
// limit + 1 without being read to its end.
int64_t msr_UTF32LengthAtMost(std::string_view text, int64_t limit);
// UTF-16 code units of the text (a code point above U+FFFF counts two).
int64_t msr_UTF16Length(std::string_view text);
// The first `maxLength` code points of the text (the whole text when shorter);
// no character is split.
std::string msr_UTF32Prefix(std::string_view text, int64_t maxLength);
// Writes the text as UTF-32 little-endian into `buffer`, at most its size.
// False when the text does not fit whole.
bool msr_getUTF32Bytes(std::string_view text, std::span<uint8_t> buffer);

std::array<uint8_t, 16> msr_MD5Data(std::span<const uint8_t> data);
// The last min(length, 8) bytes read as a big-endian unsigned integer.
uint64_t msr_64LeastSignificantBits(std::span<const uint8_t> data);
// The 64-bit fingerprint of raw-event metadata and upload checksums.
uint64_t msr_64LSBMD5(std::span<const uint8_t> data);
// 32 lower-case hexadecimal digits of the MD5 of the UTF-8 bytes.
std::string msr_MD5String(std::string_view text);

// "key=value" pairs joined by "&", in the map's order. Keys and values are
// percent-encoded; "&", "=" and "+" are encoded too, so that a text holding
// them reads back as itself instead of splitting the pair or becoming a blank.
std::string msr_queryString(const std::map<std::string, std::string>& arguments);
// The arguments of a query text. Parts are walked from the last to the
// first, so the first occurrence of a repeated key wins; a part without "="
// is a key with the empty text as value.
std::map<std::string, std::string> msr_dictionaryWithHttpArgumentsString(std::string_view text);
// "+" becomes a blank, then percent-decoding; a failed decoding gives "".
std::string msr_stringByUnescapingFromURLArgument(std::string_view text);

// Whether the character at `index` of a text of "0" and "1" digits is "1".
bool isBitEnabledAtIndex(std::string_view bits, int64_t index);

// The truth of a Boolean or a number (non-zero); nothing for other kinds.
std::optional<bool> msr_truthOfNumber(const foundation::Value& value);

// Seconds since 1970 as whole milliseconds, truncated toward zero. Times come
// from server programs too, so values outside the 64-bit range saturate at
// its ends and NaN gives 0 instead of undefined behaviour.
int64_t MSRMillisecondsFromSeconds(double seconds);
// A double truncated toward zero into 64 bits with the same saturation.
int64_t MSRSaturatingInt64(double value);
