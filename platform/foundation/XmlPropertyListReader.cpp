#include "platform/foundation/XmlPropertyListReader.h"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <vector>

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
// value past 64 bits held at the largest. A value past int64's range without
// a minus stays unsigned, so that it is written back as it was read.
Value xmlReaderInteger(const std::string& text) {
    const char* s = text.c_str();
    while (xmlReaderSpace(*s)) ++s;
    if (*s == '-') return Value(static_cast<int64_t>(0 - std::strtoull(s + 1, nullptr, 0)));
    return Value::unsignedInteger(std::strtoull(s, nullptr, 0));
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

// A value a dictionary or list passed over: where its entry began, where
// the reading went on, and whether the container ended there.
struct XmlPassedOver {
    size_t begin;
    size_t resume;
    bool end;
};

class XmlPropertyListReader {
public:
    // The charging pass (`dry`) finds the values to pass over and lists them
    // in `passed`; the building pass steps over each without reading it.
    XmlPropertyListReader(std::string_view xml, PropertyListCharge& charge, PropertyListRefusal* refusal, bool dry,
                          std::vector<XmlPassedOver>& passed)
        : xml_(xml), charge_(charge), refusal_(refusal), dry_(dry), passed_(passed) {}
    ~XmlPropertyListReader() { propertyListNoteTextScanned(scanned_); }

    // The values passed over by this pass.
    uint64_t passedOver() const { return passedOver_; }
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
        size_t begin = 0;
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
    // The first `text` at or after `from`. The last answer for each text
    // is kept: a reading that goes on past damage asks again from further
    // on, and a file of many unclosed sections is still scanned once.
    struct Found {
        size_t from = std::string_view::npos;
        size_t at = std::string_view::npos;
    };
    size_t find(std::string_view text, size_t from, Found& last) const {
        if (last.from <= from && (last.at == std::string_view::npos || last.at >= from)) return last.at;
        last = {from, xml_.find(text, from)};
        return last.at;
    }
    Found& foundFor(std::string_view text) {
        for (auto& [name, found] : found_)
            if (name == text) return found;
        found_.push_back({text, Found{}});
        return found_.back().second;
    }
    // Moves past the first `end` from here; false when there is none.
    bool skipPast(std::string_view end, const char* why) {
        const size_t found = find(end, at_, foundFor(end));
        if (found == std::string_view::npos) return failed(why);
        at_ = found + end.size();
        return true;
    }
    bool skipQuoted() {
        const std::string_view quote = xml_.substr(at_, 1);
        const size_t end = find(quote, at_ + 1, foundFor(quote));
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
        tag = Tag{};
        tag.begin = at_++;
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
            if (!take(1, plistxml::containerBytes(depth, true, dictionary))) return std::nullopt;
            if (tag.empty) return dictionary ? Value(Value::Dictionary{}) : Value(Value::List{});
            return dictionary ? readDictionary(depth, tag.begin) : readList(depth, tag.begin);
        }
        std::string text;
        if (name == "string" || name == "key") {
            if (!scalarText(tag, text)) return std::nullopt;
            if (!take(1, plistxml::stringBytes(depth, plistxml::escapedLength(text)))) return std::nullopt;
            return Value(std::move(text));
        }
        if (name == "data") {
            if (!scalarText(tag, text, false)) return std::nullopt;
            Value::Bytes bytes = xmlReaderBase64(text);
            if (!take(1, plistxml::dataBytes(depth, bytes.size()))) return std::nullopt;
            return Value(std::move(bytes));
        }
        Value value;
        if (name == "true" || name == "false") {
            if (!scalarText(tag, text)) return std::nullopt;
            value = Value(name == "true");
        } else if (name == "integer") {
            if (!scalarText(tag, text)) return std::nullopt;
            value = xmlReaderInteger(text);
        } else if (name == "real") {
            if (!scalarText(tag, text)) return std::nullopt;
            value = Value(std::strtod(text.c_str(), nullptr));
        } else if (name == "date") {
            if (!scalarText(tag, text)) return std::nullopt;
            value = Value(Date{xmlReaderDate(text)});
        } else {
            return fail("an element that is no property-list value");
        }
        if (!take(1, plistxml::scalarBytes(depth, value))) return std::nullopt;
        return value;
    }

    // The writer gives a list or dictionary with items more lines than an
    // empty one: charged with its first item.
    bool chargeFirstItem(uint64_t depth, bool dictionary) {
        return take(0, plistxml::containerBytes(depth, false, dictionary) -
                           plistxml::containerBytes(depth, true, dictionary));
    }

    // A charge past the file's bounds refuses the file; anything else that
    // fails inside a container costs the item or entry that holds it.
    bool take(uint64_t values, uint64_t bytes) {
        if (charge_.take(values, bytes)) return true;
        stopped_ = true;
        return false;
    }

    enum class Resync { kNext, kEnd, kCut };

    // Items in turn. An item that cannot be taken is passed over (resync()),
    // unless it nests past the bound.
    std::optional<Value> readList(uint64_t depth, size_t open) {
        Value::List list;
        bool first = true;
        const bool lined = writerLine(open, depth);
        for (;;) {
            skipSpace();
            const size_t begin = at_;
            const uint64_t values = charge_.values(), bytes = charge_.bytes();
            std::optional<Value> item;
            bool closed = false;
            if (passedHere(begin, closed)) {
                if (closed) return Value(std::move(list));
                continue;
            }
            if (skipMisc()) {
                Tag tag;
                if (readTag(tag)) {
                    if (tag.closing && tag.name == "array") return Value(std::move(list));
                    if (!tag.closing && (!first || chargeFirstItem(depth, false))) item = readValue(tag, depth + 1);
                }
            }
            if (item) {
                first = false;
                if (!dry_) list.push_back(std::move(*item));
                continue;
            }
            // Nesting past the bound is a bound of the key that holds it:
            // the entry of the dictionary around is passed over.
            if (refusal_->pastBounds) return std::nullopt;
            if (!passOver(begin, depth, lined, false, values, bytes, closed)) return std::nullopt;
            if (closed) return Value(std::move(list));
        }
    }

    // Keys and values in turn; a key without a value before the end is
    // dropped, and of a key given twice the first value counts. An entry
    // whose key or value cannot be taken is passed over (resync()).
    std::optional<Value> readDictionary(uint64_t depth, size_t open) {
        Value::Dictionary dictionary;
        bool first = true;
        const bool lined = writerLine(open, depth);
        for (;;) {
            skipSpace();
            const size_t begin = at_;
            const uint64_t values = charge_.values(), bytes = charge_.bytes();
            bool closed = false;
            if (passedHere(begin, closed)) {
                if (closed) return Value(std::move(dictionary));
                continue;
            }
            std::string key;
            std::optional<Value> item;
            if (skipMisc()) {
                Tag tag;
                if (readTag(tag)) {
                    if (tag.closing && tag.name == "dict") return Value(std::move(dictionary));
                    if (!tag.closing && tag.name == "key" && scalarText(tag, key) &&
                        (!first || chargeFirstItem(depth, true)) &&
                        take(1, plistxml::keyBytes(depth + 1, plistxml::escapedLength(key))) && skipMisc() &&
                        readTag(tag)) {
                        if (tag.closing && tag.name == "dict") return Value(std::move(dictionary));
                        if (!tag.closing && tag.name != "key") item = readValue(tag, depth + 1);
                    }
                }
            }
            if (item) {
                first = false;
                // A key met again is not the key's: its first entry stands, as
                // in the binary form.
                if (!dry_) dictionary.emplace(std::move(key), std::move(*item));
                continue;
            }
            if (!passOver(begin, depth, lined, true, values, bytes, closed)) return std::nullopt;
            if (closed) return Value(std::move(dictionary));
        }
    }

    // In the building pass, whether the charging pass passed over an entry
    // beginning at `begin`: the reading goes on where it went on, without
    // reading it.
    bool passedHere(size_t begin, bool& closed) {
        if (dry_ || next_ >= passed_.size() || passed_[next_].begin != begin) return false;
        at_ = passed_[next_].resume;
        closed = passed_[next_].end;
        ++next_;
        ++passedOver_;
        return true;
    }

    // The entry or item from `begin` could not be taken: what it charged is
    // given back and the reading goes on at the container's next entry, or
    // at its end (`closed`). False when the file is past its bounds or cut
    // short there.
    bool passOver(size_t begin, uint64_t depth, bool lined, bool dictionary, uint64_t values, uint64_t bytes,
                  bool& closed) {
        if (stopped_) return false;
        // Lines are followed only where the entry itself begins one as the
        // writer writes it: a file laid out otherwise is read by its tags.
        const bool byLines = lined && writerLine(begin, depth + 1);
        const Resync resync = byLines ? resyncByLines(begin, depth, dictionary) : resyncByTags(begin);
        if (resync == Resync::kCut) {
            // Cut short: what follows is lost, and no container around
            // looks for its end again.
            stopped_ = true;
            return failed("a value cut short");
        }
        charge_.restore(values, bytes);
        refusal_->why.clear();
        refusal_->pastBounds = false;
        closed = resync == Resync::kEnd;
        if (!dry_) return true;
        // What was passed over inside it (a list nested past the bound
        // holding damage) goes with it.
        while (!passed_.empty() && passed_.back().begin >= begin) passed_.pop_back();
        passed_.push_back({begin, at_, closed});
        ++passedOver_;
        return true;
    }

    // Whether the container opening at `open`, `depth` levels deep, stands
    // as the writer writes it: its tag at the start of a line, after one tab
    // for each level.
    bool writerLine(size_t open, uint64_t depth) const {
        if (open < depth + 1) return false;
        for (uint64_t i = 1; i <= depth; ++i)
            if (xml_[open - i] != '\t') return false;
        return xml_[open - depth - 1] == '\n';
    }

    // In a container as the writer writes it, each entry or item begins a
    // line indented one tab more than the container's own lines, and a text
    // holds no '<' (the writer escapes it): the first such line after the
    // one where the damage begins is the next entry, wherever the damage
    // ends, and a line indented no deeper than the container that opens a
    // tag of no text is its end (at the start of a line, only a closing
    // tag: nothing else the writer writes stands there). Damage costs the
    // entry that holds it, and the next one only where it falls on that
    // entry's own line.
    Resync resyncByLines(size_t begin, uint64_t depth, bool dictionary) {
        static constexpr std::string_view kTextEnds[] = {"</string>", "</key>",  "</data>",
                                                         "</integer>", "</real>", "</date>"};
        const std::string_view close = dictionary ? "</dict>" : "</array>";
        for (size_t line = xml_.find('\n', begin); line != std::string_view::npos; line = xml_.find('\n', line)) {
            size_t at = ++line;
            while (at < xml_.size() && xml_[at] == '\t') ++at;
            if (at >= xml_.size() || xml_[at] != '<') continue;
            const std::string_view tag = xml_.substr(at);
            const uint64_t tabs = at - line;
            if (tabs == depth + 1) {
                const bool entry = dictionary ? tag.substr(0, 5) == "<key>" || tag.substr(0, 6) == "<key/>"
                                              : tag.substr(0, 2) != "</";
                if (entry) {
                    at_ = at;
                    return Resync::kNext;
                }
            } else if (tabs <= depth) {
                // A text that ends with a line break puts its closing tag
                // at the start of a line.
                bool text = false;
                for (std::string_view end : kTextEnds) text = text || tag.substr(0, end.size()) == end;
                if (text) continue;
                // Only the top's own tags stand at the start of a line; a tag
                // that opens there is the damage's, not what follows it.
                if (tabs == 0 && tag.substr(0, 2) != "</") continue;
                at_ = at;
                if (tabs == depth && tag.substr(0, close.size()) == close) at_ += close.size();
                return Resync::kEnd;
            }
        }
        return Resync::kCut;
    }

    // Elsewhere the element at `begin` is passed over by its tags, each
    // taken from its last '<' before its '>' (a bare '<' in a text opens
    // nothing) and a section without its end taken as a tag: a list or
    // dictionary to where its tags balance, any other element (it holds no
    // element) to its first closing tag, or up to the first element that
    // opens after it. A closing tag first is the container's end, and text
    // before any tag is passed over alone.
    Resync resyncByTags(size_t begin) {
        if (begin >= xml_.size()) return Resync::kCut;
        if (xml_[begin] != '<') {
            at_ = xml_.find('<', begin);
            return at_ == std::string_view::npos ? Resync::kCut : Resync::kNext;
        }
        const auto opens = [&](std::string_view name) {
            const std::string_view tag = xml_.substr(begin + 1, name.size() + 1);
            return tag.substr(0, name.size()) == name && tag.size() > name.size() &&
                   (tag.back() == '>' || xmlReaderSpace(tag.back()));
        };
        const bool container = opens("dict") || opens("array");
        static constexpr std::string_view kSections[][2] = {{"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}};
        uint64_t open = 0;
        for (size_t at = begin;;) {
            size_t tag = xml_.find('<', at);
            if (tag == std::string_view::npos) return Resync::kCut;
            bool section = false;
            for (const auto& [head, end] : kSections) {
                if (xml_.substr(tag, head.size()) != head) continue;
                const size_t found = find(end, tag + head.size(), foundFor(end));
                if (found != std::string_view::npos) {
                    at = found + end.size();
                    section = true;
                }
                break;
            }
            if (section) {
                if (tag == begin) {
                    at_ = at;
                    return Resync::kNext;
                }
                continue;
            }
            size_t gt = xml_.find_first_of("<>", tag + 1);
            while (gt != std::string_view::npos && xml_[gt] == '<') {
                tag = gt;
                gt = xml_.find_first_of("<>", tag + 1);
            }
            if (gt == std::string_view::npos) return Resync::kCut;
            at = gt + 1;
            const char second = xml_[tag + 1];
            const bool closing = second == '/';
            const bool opening = !closing && second != '!' && second != '?' && xml_[gt - 1] != '/';
            if (tag == begin) {
                if (closing) {
                    at_ = at;
                    return Resync::kEnd;
                }
                if (!opening || !container) {
                    open = opening ? 1 : 0;
                    if (open == 0) {
                        at_ = at;
                        return Resync::kNext;
                    }
                    continue;
                }
            }
            if (!container) {
                if (closing || opening || xml_[gt - 1] == '/') {
                    at_ = closing ? at : tag;
                    return Resync::kNext;
                }
                continue;
            }
            if (closing) --open;
            if (opening) ++open;
            if (open == 0) {
                at_ = at;
                return Resync::kNext;
            }
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
    // Past the file's bounds or cut short: nothing more is passed over, the
    // file is refused.
    bool stopped_ = false;
    std::vector<XmlPassedOver>& passed_;
    size_t next_ = 0;
    uint64_t passedOver_ = 0;
    std::vector<std::pair<std::string_view, Found>> found_;
};

}  // namespace

std::optional<Value> readXmlPropertyList(std::string_view xml, PropertyListCharge& charge,
                                         PropertyListRefusal* refusal) {
    // Read once charging only, then built: what a file past the bounds
    // costs is its pass, not the values built before the pass reaches the
    // bound.
    PropertyListCharge dry = charge;
    dry.setCountingOnly();
    std::vector<XmlPassedOver> passed;
    if (!XmlPropertyListReader(xml, dry, refusal, true, passed).read()) return std::nullopt;
    XmlPropertyListReader reader(xml, charge, refusal, false, passed);
    auto value = reader.read();
    if (value) refusal->passedOver = reader.passedOver();
    return value;
}

}  // namespace foundation
