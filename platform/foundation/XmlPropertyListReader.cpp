#include "platform/foundation/XmlPropertyListReader.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Text.h"

namespace foundation {
namespace {

// Property-list dates count from 2001-01-01 00:00 UTC.
constexpr double kXmlReaderReferenceDate = 978307200.0;

bool xmlReaderSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Integers as files of the platform hold them: decimal, hexadecimal after
// "0x" or octal after "0", a leading minus negating the unsigned value, a
// value past 64 bits held at the largest.
int64_t xmlReaderInteger(const std::string& text) {
    const char* s = text.c_str();
    while (xmlReaderSpace(*s)) ++s;
    if (*s == '-') return static_cast<int64_t>(0 - std::strtoull(s + 1, nullptr, 0));
    return static_cast<int64_t>(std::strtoull(s, nullptr, 0));
}

// Whole seconds within what the writer writes (propertyListDate). As the
// platform reads dates: a text shorter than
// a day and an hour is 1970's start, and a longer one gives the fields that
// read before the first that does not (the rest are zero).
double xmlReaderDate(const std::string& text) {
    double since1970 = 0;
    if (text.size() >= 11) {
        std::tm parts{};
        (void)strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts);
        since1970 = static_cast<double>(timegm(&parts));
    }
    return propertyListDate(since1970 - kXmlReaderReferenceDate);
}

int xmlReaderBase64Digit(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Base64 in groups of four, whatever is not base64 between them ignored. A
// group with padding gives the bytes before it, and a group cut short at
// the end gives none.
Value::Bytes xmlReaderBase64(std::string_view text) {
    Value::Bytes bytes;
    bytes.reserve(text.size() / 4 * 3);
    char group[4];
    size_t filled = 0;
    for (char c : text) {
        if (c != '=' && xmlReaderBase64Digit(c) < 0) continue;
        group[filled++] = c;
        if (filled < 4) continue;
        filled = 0;
        int d[4];
        for (int i = 0; i < 4; ++i) d[i] = xmlReaderBase64Digit(group[i]);
        if (d[0] < 0 || d[1] < 0) continue;
        bytes.push_back(static_cast<uint8_t>((d[0] << 2) | (d[1] >> 4)));
        if (d[2] < 0) continue;
        bytes.push_back(static_cast<uint8_t>(((d[1] & 0xF) << 4) | (d[2] >> 2)));
        if (d[3] < 0) continue;
        bytes.push_back(static_cast<uint8_t>(((d[2] & 0x3) << 6) | d[3]));
    }
    return bytes;
}

class XmlPropertyListReader {
public:
    XmlPropertyListReader(std::string_view xml, PropertyListCharge& charge, PropertyListRefusal* refusal, bool dry)
        : xml_(xml), charge_(charge), refusal_(refusal), dry_(dry) {}
    ~XmlPropertyListReader() { propertyListNoteTextScanned(scanned_); }
    XmlPropertyListReader(const XmlPropertyListReader&) = delete;
    XmlPropertyListReader& operator=(const XmlPropertyListReader&) = delete;

    std::optional<Value> read() {
        if (xml_.find('\0') != std::string_view::npos) return fail("a NUL byte");
        if (!skipProlog()) return std::nullopt;
        Tag tag;
        if (!readTag(tag)) return std::nullopt;
        if (tag.closing) return fail("a closing tag before any value");
        if (tag.name == "plist") {
            if (tag.empty) return fail("a plist element without a value");
            if (!skipMisc()) return std::nullopt;
            if (!readTag(tag)) return std::nullopt;
            if (tag.closing) return fail("a plist element without a value");
        }
        auto value = readValue(tag, 0);
        // What follows the value is not read, as the platform does not read
        // it; a comment left open there is still refused.
        if (value && !skipMisc()) return std::nullopt;
        return value;
    }

private:
    struct Tag {
        std::string_view name;
        bool closing = false;
        bool empty = false;
    };

    std::nullopt_t fail(const char* why) {
        if (refusal_->why.empty()) refusal_->why = why;
        return std::nullopt;
    }
    bool failed(const char* why) {
        fail(why);
        return false;
    }

    bool at(std::string_view text) const { return xml_.substr(at_, text.size()) == text; }
    void skipSpace() {
        while (at_ < xml_.size() && xmlReaderSpace(xml_[at_])) ++at_;
    }
    // Moves past the first `end` from here; false when there is none.
    bool skipPast(std::string_view end, const char* why) {
        const size_t found = xml_.find(end, at_);
        if (found == std::string_view::npos) return failed(why);
        at_ = found + end.size();
        return true;
    }
    bool skipQuoted() {
        const char quote = xml_[at_];
        const size_t end = xml_.find(quote, at_ + 1);
        if (end == std::string_view::npos) return failed("an unterminated quoted text");
        at_ = end + 1;
        return true;
    }

    // Blanks, comments and processing instructions.
    bool skipMisc() {
        for (;;) {
            skipSpace();
            if (at("<!--")) {
                at_ += 4;
                if (!skipPast("-->", "an unterminated comment")) return false;
            } else if (at("<?")) {
                at_ += 2;
                if (!skipPast("?>", "an unterminated processing instruction")) return false;
            } else {
                return true;
            }
        }
    }

    // The declaration, comments, processing instructions and the DOCTYPE
    // before the first element. Inside the DOCTYPE, quoted texts and the
    // internal subset (with its own quotes, comments and instructions) are
    // followed to their ends: a "<!--" in a quoted identifier hides nothing.
    bool skipProlog() {
        for (;;) {
            if (!skipMisc()) return false;
            if (!at("<!DOCTYPE")) break;
            at_ += 9;
            for (;;) {
                if (at_ >= xml_.size()) return failed("an unterminated DOCTYPE");
                const char c = xml_[at_];
                if (c == '"' || c == '\'') {
                    if (!skipQuoted()) return false;
                } else if (c == '[') {
                    ++at_;
                    if (!skipInternalSubset()) return false;
                } else if (c == '>') {
                    ++at_;
                    break;
                } else {
                    ++at_;
                }
            }
        }
        if (at_ >= xml_.size() || xml_[at_] != '<') return failed("no element");
        return true;
    }

    bool skipInternalSubset() {
        for (;;) {
            if (at_ >= xml_.size()) return failed("an unterminated DOCTYPE");
            const char c = xml_[at_];
            if (c == ']') {
                ++at_;
                return true;
            }
            if (c == '"' || c == '\'') {
                if (!skipQuoted()) return false;
            } else if (at("<!--")) {
                at_ += 4;
                if (!skipPast("-->", "an unterminated comment")) return false;
            } else if (at("<?")) {
                at_ += 2;
                if (!skipPast("?>", "an unterminated processing instruction")) return false;
            } else {
                ++at_;
            }
        }
    }

    // A tag from its '<' to its '>', attribute values followed to their
    // closing quote.
    bool readTag(Tag& tag) {
        if (at_ >= xml_.size() || xml_[at_] != '<') return failed("text where an element belongs");
        ++at_;
        tag = Tag{};
        if (at_ < xml_.size() && xml_[at_] == '/') {
            tag.closing = true;
            ++at_;
        }
        const size_t name = at_;
        while (at_ < xml_.size() && !xmlReaderSpace(xml_[at_]) && xml_[at_] != '>' && xml_[at_] != '/') ++at_;
        tag.name = xml_.substr(name, at_ - name);
        if (tag.name.empty()) return failed("a tag without a name");
        bool slash = false;
        for (;;) {
            if (at_ >= xml_.size()) return failed("an unterminated tag");
            const char c = xml_[at_];
            if (c == '>') {
                ++at_;
                break;
            }
            if (c == '"' || c == '\'') {
                if (tag.closing) return failed("a closing tag with attributes");
                if (!skipQuoted()) return false;
                slash = false;
                continue;
            }
            if (c == '<') return failed("a tag inside a tag");
            slash = c == '/';
            ++at_;
        }
        tag.empty = slash;
        if (tag.closing && tag.empty) return failed("a malformed closing tag");
        return true;
    }

    // A character or entity reference after its '&'.
    bool readReference(std::string& out) {
        ++at_;
        if (at_ < xml_.size() && xml_[at_] == '#') {
            ++at_;
            const bool hex = at_ < xml_.size() && xml_[at_] == 'x';
            if (hex) ++at_;
            const size_t digits = at_;
            uint32_t code = 0;
            bool tooLarge = false;
            for (; at_ < xml_.size(); ++at_) {
                const char c = xml_[at_];
                int digit;
                if (c >= '0' && c <= '9') digit = c - '0';
                else if (hex && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
                else break;
                code = code * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
                if (code > 0x10FFFF) {
                    tooLarge = true;
                    code = 0x110000;
                }
            }
            scanned_ += at_ - digits;
            if (at_ == digits || at_ >= xml_.size() || xml_[at_] != ';') return failed("a malformed character reference");
            ++at_;
            if (tooLarge) return failed("a reference to no character");
            if (code == 0) return failed("a reference to character 0");
            if (code >= 0xD800 && code < 0xE000) return failed("a reference to a surrogate");
            appendUtf8(out, code);
            return true;
        }
        static constexpr struct {
            std::string_view name;
            char c;
        } kEntities[] = {{"amp;", '&'}, {"lt;", '<'}, {"gt;", '>'}, {"quot;", '"'}, {"apos;", '\''}};
        for (const auto& entity : kEntities) {
            if (at(entity.name)) {
                at_ += entity.name.size();
                out += entity.c;
                return true;
            }
        }
        return failed("an unknown entity");
    }

    // The text of the element `name` up to its closing tag, references
    // decoded (left as they are when `decode` is false, as base64 is read)
    // and CDATA sections taken as they are.
    bool readText(std::string_view name, std::string& out, bool decode = true) {
        for (;;) {
            const size_t next = xml_.find_first_of("<&", at_);
            if (next == std::string_view::npos) return failed("an unterminated element");
            // Each byte of the text is looked at once, in this scan or in
            // its reference's.
            scanned_ += next - at_ + 1;
            out.append(xml_.substr(at_, next - at_));
            at_ = next;
            if (xml_[at_] == '&') {
                if (!decode) {
                    out += '&';
                    ++at_;
                } else if (!readReference(out)) {
                    return false;
                }
            } else if (at("<![CDATA[")) {
                const size_t begin = at_ + 9;
                at_ = begin;
                if (!skipPast("]]>", "an unterminated CDATA section")) return false;
                out.append(xml_.substr(begin, at_ - 3 - begin));
            } else if (at("<!--")) {
                at_ += 4;
                if (!skipPast("-->", "an unterminated comment")) return false;
            } else if (at("<?")) {
                at_ += 2;
                if (!skipPast("?>", "an unterminated processing instruction")) return false;
            } else {
                Tag tag;
                if (!readTag(tag)) return false;
                if (!tag.closing) return failed("an element inside text");
                if (tag.name != name) return failed("a mismatched closing tag");
                // A text that is not UTF-8 is damaged: no XML reader takes it.
                if (decode && !isUtf8(out)) return failed("a text that is not UTF-8");
                return true;
            }
        }
    }

    // The text of a scalar element (nothing for an empty tag).
    bool scalarText(const Tag& tag, std::string& text, bool decode = true) {
        return tag.empty || readText(tag.name, text, decode);
    }

    std::optional<Value> readValue(const Tag& tag, uint64_t depth) {
        if (tag.closing) return fail("a closing tag where a value belongs");
        const std::string_view name = tag.name;
        if (name == "dict" || name == "array") {
            if (!charge_.mayNest(depth)) return std::nullopt;
            const bool dictionary = name == "dict";
            if (!charge_.take(1, plistxml::containerBytes(depth, true, dictionary))) return std::nullopt;
            if (tag.empty) return dictionary ? Value(Value::Dictionary{}) : Value(Value::List{});
            return dictionary ? readDictionary(depth) : readList(depth);
        }
        std::string text;
        if (name == "string" || name == "key") {
            if (!scalarText(tag, text)) return std::nullopt;
            if (!charge_.take(1, plistxml::stringBytes(depth, plistxml::escapedLength(text)))) return std::nullopt;
            return Value(std::move(text));
        }
        if (name == "data") {
            if (!scalarText(tag, text, false)) return std::nullopt;
            Value::Bytes bytes = xmlReaderBase64(text);
            if (!charge_.take(1, plistxml::dataBytes(depth, bytes.size()))) return std::nullopt;
            return Value(std::move(bytes));
        }
        Value value;
        if (name == "true" || name == "false") {
            if (!scalarText(tag, text)) return std::nullopt;
            value = Value(name == "true");
        } else if (name == "integer") {
            if (!scalarText(tag, text)) return std::nullopt;
            value = Value(xmlReaderInteger(text));
        } else if (name == "real") {
            if (!scalarText(tag, text)) return std::nullopt;
            value = Value(std::strtod(text.c_str(), nullptr));
        } else if (name == "date") {
            if (!scalarText(tag, text)) return std::nullopt;
            value = Value(Date{xmlReaderDate(text)});
        } else {
            return fail("an element that is no property-list value");
        }
        if (!charge_.take(1, plistxml::scalarBytes(depth, value))) return std::nullopt;
        return value;
    }

    // The writer gives a list or dictionary with items more lines than an
    // empty one: charged with its first item.
    bool chargeFirstItem(uint64_t depth, bool dictionary) {
        return charge_.take(0, plistxml::containerBytes(depth, false, dictionary) -
                                   plistxml::containerBytes(depth, true, dictionary));
    }

    std::optional<Value> readList(uint64_t depth) {
        Value::List list;
        bool first = true;
        for (;;) {
            if (!skipMisc()) return std::nullopt;
            Tag tag;
            if (!readTag(tag)) return std::nullopt;
            if (tag.closing) {
                if (tag.name != "array") return fail("a mismatched closing tag");
                return Value(std::move(list));
            }
            if (first && !chargeFirstItem(depth, false)) return std::nullopt;
            first = false;
            auto item = readValue(tag, depth + 1);
            if (!item) return std::nullopt;
            if (!dry_) list.push_back(std::move(*item));
        }
    }

    // Keys and values in turn; a key without a value before the end is
    // dropped, and of a key given twice the last value counts.
    std::optional<Value> readDictionary(uint64_t depth) {
        Value::Dictionary dictionary;
        bool first = true;
        for (;;) {
            if (!skipMisc()) return std::nullopt;
            Tag tag;
            if (!readTag(tag)) return std::nullopt;
            if (tag.closing) {
                if (tag.name != "dict") return fail("a mismatched closing tag");
                return Value(std::move(dictionary));
            }
            if (tag.name != "key") return fail("a dictionary value without its key");
            std::string key;
            if (!scalarText(tag, key)) return std::nullopt;
            if (first && !chargeFirstItem(depth, true)) return std::nullopt;
            first = false;
            if (!charge_.take(1, plistxml::keyBytes(depth + 1, plistxml::escapedLength(key)))) return std::nullopt;
            if (!skipMisc()) return std::nullopt;
            if (!readTag(tag)) return std::nullopt;
            if (tag.closing) {
                if (tag.name != "dict") return fail("a mismatched closing tag");
                return Value(std::move(dictionary));
            }
            if (tag.name == "key") return fail("a key without its value");
            auto item = readValue(tag, depth + 1);
            if (!item) return std::nullopt;
            // A key met again is not the key's: its first entry stands, as
            // in the binary form.
            if (!dry_) dictionary.emplace(std::move(key), std::move(*item));
        }
    }

    std::string_view xml_;
    size_t at_ = 0;
    // The bytes of text looked at, added to the thread's count at the end.
    uint64_t scanned_ = 0;
    PropertyListCharge& charge_;
    PropertyListRefusal* refusal_;
    // Charging only: each text is decoded and dropped, nothing is kept.
    const bool dry_;
};

}  // namespace

std::optional<Value> readXmlPropertyList(std::string_view xml, PropertyListCharge& charge,
                                         PropertyListRefusal* refusal) {
    // Read once charging only, then built: what a file past the bounds
    // costs is its pass, not the values built before the pass reaches the
    // bound.
    PropertyListCharge dry = charge;
    dry.setCountingOnly();
    if (!XmlPropertyListReader(xml, dry, refusal, true).read()) return std::nullopt;
    return XmlPropertyListReader(xml, charge, refusal, false).read();
}

}  // namespace foundation
