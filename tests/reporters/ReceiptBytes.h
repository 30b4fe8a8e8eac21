#pragma once

// Receipt files written byte for byte: DER attribute records as the store
// writes them (short-form lengths only).

#include <cstdint>
#include <string>
#include <vector>

namespace receipt {

using Bytes = std::vector<uint8_t>;

inline Bytes text(const std::string& value) { return Bytes(value.begin(), value.end()); }

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One item field: SEQUENCE { INTEGER 0x06xx, INTEGER 1, OCTET STRING { tag, content } }.
inline Bytes field(uint8_t typeLow, uint8_t tag, const Bytes& content) {
    Bytes inner = Bytes{tag, static_cast<uint8_t>(content.size())} + content;
    Bytes body = Bytes{0x02, 0x02, 0x06, typeLow, 0x02, 0x01, 0x01, 0x04, static_cast<uint8_t>(inner.size())} + inner;
    return Bytes{0x30, static_cast<uint8_t>(body.size())} + body;
}

inline Bytes productIdentifier(const std::string& v) { return field(0xA6, 0x0C, text(v)); }
inline Bytes transactionID(const std::string& v) { return field(0xA7, 0x0C, text(v)); }
inline Bytes originalTransactionID(const std::string& v) { return field(0xA9, 0x0C, text(v)); }
inline Bytes purchaseDate(const std::string& v) { return field(0xA8, 0x16, text(v)); }
inline Bytes purchaseType(uint8_t v) { return field(0xAB, 0x02, {v}); }
inline Bytes freeTrial(uint8_t v) { return field(0xB1, 0x02, {v}); }
inline Bytes introductoryOffer(uint8_t v) { return field(0xB7, 0x02, {v}); }
inline Bytes webOrderLineItemID(const Bytes& v) { return field(0xAF, 0x02, v); }

// One in-app purchase record (attribute 17) holding its fields in a SET.
inline Bytes item(const std::vector<Bytes>& fields) {
    Bytes content;
    for (const Bytes& f : fields) content = content + f;
    Bytes set = Bytes{0x31, static_cast<uint8_t>(content.size())} + content;
    Bytes body = Bytes{0x02, 0x01, 0x11, 0x02, 0x01, 0x01, 0x04, static_cast<uint8_t>(set.size())} + set;
    return Bytes{0x30, static_cast<uint8_t>(body.size())} + body;
}

// The original application version record (attribute 19).
inline Bytes originalVersion(const std::string& version, uint8_t tag = 0x0C) {
    Bytes inner = Bytes{tag, static_cast<uint8_t>(version.size())} + text(version);
    Bytes body = Bytes{0x02, 0x01, 0x13, 0x02, 0x01, 0x01, 0x04, static_cast<uint8_t>(inner.size())} + inner;
    return Bytes{0x30, static_cast<uint8_t>(body.size())} + body;
}

}  // namespace receipt
