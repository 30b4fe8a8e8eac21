#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace security {

using MD5Digest = std::array<uint8_t, 16>;

// MD5 through OpenSSL's EVP interface. MD5 serves here as a fingerprint, never
// for secrecy.
MD5Digest md5(const uint8_t* data, size_t length);
MD5Digest md5(const std::vector<uint8_t>& data);
MD5Digest md5(std::string_view text);

// 32 lower-case hexadecimal digits.
std::string md5Hex(std::string_view text);
std::string toHex(const uint8_t* data, size_t length);

}  // namespace security
