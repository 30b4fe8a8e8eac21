#include "platform/security/Digest.h"

#include <openssl/evp.h>

#include <memory>

namespace security {

MD5Digest md5(const uint8_t* data, size_t length) {
    MD5Digest digest{};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    unsigned int size = 0;
    // EVP fails only when out of memory; the digest then stays zero.
    if (context && EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) == 1 &&
        EVP_DigestUpdate(context.get(), data, length) == 1) {
        EVP_DigestFinal_ex(context.get(), digest.data(), &size);
    }
    return digest;
}

MD5Digest md5(const std::vector<uint8_t>& data) { return md5(data.data(), data.size()); }

MD5Digest md5(std::string_view text) { return md5(reinterpret_cast<const uint8_t*>(text.data()), text.size()); }

std::string toHex(const uint8_t* data, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        hex.push_back(kDigits[data[i] >> 4]);
        hex.push_back(kDigits[data[i] & 0x0f]);
    }
    return hex;
}

std::string md5Hex(std::string_view text) {
    MD5Digest digest = md5(text);
    return toHex(digest.data(), digest.size());
}

}  // namespace security
