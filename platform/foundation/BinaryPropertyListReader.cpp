#include "platform/foundation/BinaryPropertyListReader.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "platform/foundation/PropertyList.h"

namespace foundation {
namespace {

class BinaryPropertyListReader {
public:
    BinaryPropertyListReader(std::string_view bytes, PropertyListCharge& charge, PropertyListRefusal* refusal)
        : bytes_(bytes), charge_(&charge), refusal_(refusal) {}

    // The trailer: the sizes of offsets and references, the object count,
    // the top object and where the offset table begins.
    bool open() {
        const size_t size = bytes_.size();
        if (size < 8 + 32 || bytes_.substr(0, 8) != "bplist00") return failed("a truncated file");
        const size_t trailer = size - 32;
        offsetSize_ = byteAt(trailer + 6);
        refSize_ = byteAt(trailer + 7);
        count_ = readInt(trailer + 8, 8);
        top_ = readInt(trailer + 16, 8);
        table_ = readInt(trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return failed("a bad trailer");
        if (count_ == 0 || top_ >= count_ || table_ < 8 || table_ > trailer ||
            count_ > (trailer - table_) / offsetSize_)
            return failed("a bad object table");
        return true;
    }

    std::optional<Value> read() {
        if (!open()) return std::nullopt;
        return attempt(top_, 0);
    }

    Value::Dictionary salvage(PropertyListBounds listShare) {
        Value::Dictionary kept;
        if (!open()) return kept;
        size_t at = 0;
        uint64_t length = 0;
        uint8_t marker = 0;
        if (!objectAt(top_, &at, &marker) || (marker >> 4) != 0xD || !lengthAt(&at, marker, &length) ||
            length > (table_ - at) / refSize_ / 2)
            return kept;
        open_.insert(top_);
        for (uint64_t i = 0; i < length; ++i) {
            const uint64_t keyObject = readInt(at + i * refSize_, refSize_);
            const uint64_t valueObject = readInt(at + (length + i) * refSize_, refSize_);
            const uint64_t values = charge_->values();
            const uint64_t bytes = charge_->bytes();
            refusal_->why.clear();
            refusal_->pastBounds = false;
            auto key = buildKey(keyObject, 1);
            if (!key) {
                charge_->restore(values, bytes);
                continue;
            }
            if (auto value = attempt(valueObject, 1)) {
                kept.insert_or_assign(std::move(*key), std::move(*value));
                continue;
            }
            charge_->restore(values, bytes);
            // Of a list too large or damaged inside, its leading items.
            PropertyListRefusal listRefusal;
            PropertyListCharge listCharge(&listRefusal, listShare);
            PropertyListCharge* whole = charge_;
            charge_ = &listCharge;
            auto items = leadingItems(valueObject);
            charge_ = whole;
            if (!items) continue;
            if (!charge_->take(listCharge.values() + 1,
                               listCharge.bytes() - plistxml::fileBytes() +
                                   plistxml::keyBytes(1, plistxml::escapedLength(*key)))) {
                charge_->restore(values, bytes);
                continue;
            }
            kept.insert_or_assign(std::move(*key), Value(std::move(*items)));
        }
        return kept;
    }

private:
    // Walks the object once charging only, then builds it: what a file
    // past the bounds costs is its walk, not the copies made before the
    // walk reaches the bound.
    std::optional<Value> attempt(uint64_t object, uint64_t depth) {
        PropertyListCharge* real = charge_;
        PropertyListCharge dry = *charge_;
        charge_ = &dry;
        dryRun_ = true;
        const bool fits = build(object, depth).has_value();
        dryRun_ = false;
        charge_ = real;
        if (!fits) {
            charge_->restore(dry.values(), dry.bytes());
            return std::nullopt;
        }
        return build(object, depth);
    }

    std::nullopt_t fail(const std::string& why) {
        if (refusal_->why.empty()) refusal_->why = why;
        return std::nullopt;
    }
    bool failed(const std::string& why) {
        fail(why);
        return false;
    }

    uint8_t byteAt(size_t at) const { return static_cast<uint8_t>(bytes_[at]); }
    uint64_t readInt(size_t at, size_t width) const {
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) value = (value << 8) | byteAt(at + i);
        return value;
    }

    // Where an object begins, past its marker byte.
    bool objectAt(uint64_t object, size_t* at, uint8_t* marker) {
        if (object >= count_) return failed("a reference outside the file");
        const uint64_t offset = readInt(table_ + object * offsetSize_, offsetSize_);
        if (offset < 8 || offset >= table_) return failed("an object outside the file");
        *marker = byteAt(offset);
        *at = offset + 1;
        return true;
    }

    // The length of a variable-length object: in the marker's low nibble, or
    // an integer object after it when the nibble is 0xF. `*at` moves past it.
    bool lengthAt(size_t* at, uint8_t marker, uint64_t* length) {
        *length = marker & 0x0F;
        if (*length != 0x0F) return true;
        if (*at >= table_ || (byteAt(*at) & 0xF0) != 0x10) return failed("a bad length");
        const size_t width = size_t{1} << (byteAt(*at) & 0x0F);
        if (width > 8 || *at + 1 + width > table_) return failed("a bad length");
        *length = readInt(*at + 1, width);
        *at += 1 + width;
        return true;
    }

    // `length` units of `unit` bytes from `at`, inside the objects.
    bool within(size_t at, uint64_t length, uint64_t unit) {
        if (length > (table_ - at) / unit) return failed("an object outside the file");
        return true;
    }

    // A string object as UTF-8, charged before it is made: an ASCII string
    // as its bytes, UTF-16 converted (a lone surrogate kept as its three
    // bytes). Nothing for another kind of object, a NUL inside or a charge
    // past the bounds; `asKey` charges it as a dictionary key.
    std::optional<std::string> buildText(uint8_t marker, size_t at, uint64_t depth, bool asKey) {
        uint64_t length = 0;
        if (!lengthAt(&at, marker, &length)) return std::nullopt;
        const auto charge = [&](uint64_t escaped) {
            return charge_->take(1, asKey ? plistxml::keyBytes(depth, escaped) : plistxml::stringBytes(depth, escaped));
        };
        if ((marker >> 4) == 0x5) {
            if (!within(at, length, 1)) return std::nullopt;
            const std::string_view text = bytes_.substr(at, length);
            if (text.find('\0') != std::string_view::npos) return fail("a NUL in a string");
            if (!charge(plistxml::escapedLength(text))) return std::nullopt;
            return dryRun_ ? std::string() : std::string(text);
        }
        if (!within(at, length, 2)) return std::nullopt;
        // Counted first, then made.
        uint64_t utf8 = 0, escapes = 0;
        for (uint64_t i = 0; i < length; ++i) {
            const uint32_t unit = static_cast<uint32_t>(readInt(at + 2 * i, 2));
            if (unit == 0) return fail("a NUL in a string");
            if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < length) {
                const uint32_t low = static_cast<uint32_t>(readInt(at + 2 * i + 2, 2));
                if (low >= 0xDC00 && low < 0xE000) {
                    utf8 += 4;
                    ++i;
                    continue;
                }
            }
            utf8 += unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
            escapes += unit == '&' ? 4 : (unit == '<' || unit == '>') ? 3 : 0;
        }
        if (!charge(utf8 + escapes)) return std::nullopt;
        std::string text;
        if (dryRun_) return text;
        text.reserve(utf8);
        for (uint64_t i = 0; i < length; ++i) {
            uint32_t code = static_cast<uint32_t>(readInt(at + 2 * i, 2));
            if (code >= 0xD800 && code < 0xDC00 && i + 1 < length) {
                const uint32_t low = static_cast<uint32_t>(readInt(at + 2 * i + 2, 2));
                if (low >= 0xDC00 && low < 0xE000) {
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
            if (code < 0x80) {
                text += static_cast<char>(code);
            } else if (code < 0x800) {
                text += static_cast<char>(0xC0 | (code >> 6));
                text += static_cast<char>(0x80 | (code & 0x3F));
            } else if (code < 0x10000) {
                text += static_cast<char>(0xE0 | (code >> 12));
                text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                text += static_cast<char>(0x80 | (code & 0x3F));
            } else {
                text += static_cast<char>(0xF0 | (code >> 18));
                text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
                text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                text += static_cast<char>(0x80 | (code & 0x3F));
            }
        }
        return text;
    }

    std::optional<std::string> buildKey(uint64_t object, uint64_t depth) {
        size_t at = 0;
        uint8_t marker = 0;
        if (!objectAt(object, &at, &marker)) return std::nullopt;
        if ((marker >> 4) != 0x5 && (marker >> 4) != 0x6) return fail("a dictionary key that is no string");
        return buildText(marker, at, depth, true);
    }

    std::optional<Value> build(uint64_t object, uint64_t depth) {
        size_t at = 0;
        uint8_t marker = 0;
        if (!objectAt(object, &at, &marker)) return std::nullopt;
        Value value;
        switch (marker >> 4) {
            case 0x0:
                if (marker != 0x08 && marker != 0x09) return fail("an object without a property-list form");
                value = Value(marker == 0x09);
                break;
            case 0x1: {
                const size_t width = size_t{1} << (marker & 0x0F);
                if (width > 16 || at + width > table_) return fail("a bad integer");
                // Of a 128-bit integer, its low 64 bits.
                const size_t low = width > 8 ? width - 8 : 0;
                value = Value(static_cast<int64_t>(readInt(at + low, width - low)));
                break;
            }
            case 0x2: {
                const size_t width = size_t{1} << (marker & 0x0F);
                if ((width != 4 && width != 8) || at + width > table_) return fail("a bad real");
                const uint64_t bits = readInt(at, width);
                if (width == 4) {
                    float f;
                    const auto narrow = static_cast<uint32_t>(bits);
                    std::memcpy(&f, &narrow, sizeof f);
                    value = Value(static_cast<double>(f));
                } else {
                    double d;
                    std::memcpy(&d, &bits, sizeof d);
                    value = Value(d);
                }
                break;
            }
            case 0x3: {
                if (marker != 0x33 || at + 8 > table_) return fail("a bad date");
                const uint64_t bits = readInt(at, 8);
                double since2001;
                std::memcpy(&since2001, &bits, sizeof since2001);
                value = Value(Date{propertyListDate(since2001)});
                break;
            }
            case 0x4: {
                uint64_t length = 0;
                if (!lengthAt(&at, marker, &length) || !within(at, length, 1)) return std::nullopt;
                if (!charge_->take(1, plistxml::dataBytes(depth, length))) return std::nullopt;
                if (dryRun_) return Value();
                const auto* begin = reinterpret_cast<const uint8_t*>(bytes_.data() + at);
                return Value(Value::Bytes(begin, begin + length));
            }
            case 0x5:
            case 0x6: {
                auto text = buildText(marker, at, depth, false);
                if (!text) return std::nullopt;
                return Value(std::move(*text));
            }
            case 0xA:
            case 0xC:
            case 0xD:
                return buildContainer(object, marker, at, depth);
            default:
                return fail("an object without a property-list form");
        }
        if (!charge_->take(1, plistxml::scalarBytes(depth, value))) return std::nullopt;
        return value;
    }

    // A list (or set, read as a list) or a dictionary: keys, then values.
    std::optional<Value> buildContainer(uint64_t object, uint8_t marker, size_t at, uint64_t depth) {
        const bool dictionary = (marker >> 4) == 0xD;
        uint64_t length = 0;
        if (!lengthAt(&at, marker, &length)) return std::nullopt;
        if (!within(at, length, refSize_ * (dictionary ? 2 : 1))) return std::nullopt;
        if (!charge_->mayNest(depth)) return std::nullopt;
        if (!open_.insert(object).second) return fail("a reference cycle");
        auto value = dictionary ? buildDictionary(at, length, depth) : buildList(at, length, depth);
        open_.erase(object);
        return value;
    }

    bool chargeContainer(uint64_t depth, uint64_t length, bool dictionary) {
        return charge_->take(1, plistxml::containerBytes(depth, length == 0, dictionary));
    }

    std::optional<Value> buildList(size_t at, uint64_t length, uint64_t depth) {
        if (!chargeContainer(depth, length, false)) return std::nullopt;
        Value::List list;
        for (uint64_t i = 0; i < length; ++i) {
            auto item = build(readInt(at + i * refSize_, refSize_), depth + 1);
            if (!item) return std::nullopt;
            if (!dryRun_) list.push_back(std::move(*item));
        }
        return Value(std::move(list));
    }

    std::optional<Value> buildDictionary(size_t at, uint64_t length, uint64_t depth) {
        if (!chargeContainer(depth, length, true)) return std::nullopt;
        Value::Dictionary dictionary;
        for (uint64_t i = 0; i < length; ++i) {
            auto key = buildKey(readInt(at + i * refSize_, refSize_), depth + 1);
            if (!key) return std::nullopt;
            auto item = build(readInt(at + (length + i) * refSize_, refSize_), depth + 1);
            if (!item) return std::nullopt;
            if (!dryRun_) dictionary.emplace(std::move(*key), std::move(*item));
        }
        return Value(std::move(dictionary));
    }

    // The items of the list `object` (an entry of the root) that read
    // before the first that does not; nothing when it is no list.
    std::optional<Value::List> leadingItems(uint64_t object) {
        size_t at = 0;
        uint8_t marker = 0;
        uint64_t length = 0;
        if (!objectAt(object, &at, &marker) || (marker >> 4) != 0xA || !lengthAt(&at, marker, &length) ||
            !within(at, length, refSize_) || !open_.insert(object).second)
            return std::nullopt;
        Value::List items;
        if (chargeContainer(1, length, false)) {
            for (uint64_t i = 0; i < length; ++i) {
                auto item = build(readInt(at + i * refSize_, refSize_), 2);
                if (!item) break;
                items.push_back(std::move(*item));
            }
        }
        open_.erase(object);
        return items;
    }

    std::string_view bytes_;
    PropertyListCharge* charge_;
    PropertyListRefusal* refusal_;
    size_t offsetSize_ = 0;
    size_t refSize_ = 0;
    uint64_t count_ = 0;
    uint64_t top_ = 0;
    size_t table_ = 0;
    bool dryRun_ = false;
    // The lists and dictionaries being built: at most one a level.
    std::unordered_set<uint64_t> open_;
};

}  // namespace

std::optional<Value> readBinaryPropertyList(std::string_view bytes, PropertyListCharge& charge,
                                            PropertyListRefusal* refusal) {
    return BinaryPropertyListReader(bytes, charge, refusal).read();
}

Value::Dictionary salvageBinaryPropertyListDictionary(std::string_view bytes, PropertyListCharge& charge,
                                                      PropertyListBounds listShare) {
    PropertyListRefusal refusal;
    return BinaryPropertyListReader(bytes, charge, &refusal).salvage(listShare);
}

}  // namespace foundation
