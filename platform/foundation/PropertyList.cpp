#include "platform/foundation/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace foundation {
namespace {

// Property-list dates count from 2001-01-01 00:00 UTC.
constexpr double kReferenceDateOffset = 978307200.0;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Whether a write stopped at the nesting bound (its values are counted
// before any node is built).
struct Building {
    bool pastBounds = false;
};

plist_t toNode(const Value& value, int depth, Building& building) {
    switch (value.type()) {
        case Value::Type::Absent:
        case Value::Type::Null:
            return nullptr;
        case Value::Type::Bool:
            return plist_new_bool(*value.boolValue() ? 1 : 0);
        case Value::Type::Integer:
            return plist_new_uint(static_cast<uint64_t>(*value.integerValue()));
        case Value::Type::Double:
            return plist_new_real(*value.doubleValue());
        case Value::Type::String:
            return plist_new_string(value.string()->c_str());
        case Value::Type::Bytes: {
            const auto& bytes = *value.bytes();
            return plist_new_data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        }
        case Value::Type::Date: {
            double since2001 = std::floor(value.date()->secondsSince1970 - kReferenceDateOffset);
            if (!std::isfinite(since2001) || std::fabs(since2001) > 2147483647.0) return nullptr;
            return plist_new_date(static_cast<int32_t>(since2001), 0);
        }
        case Value::Type::List: {
            if (depth >= kMaximumNestingDepth) {
                building.pastBounds = true;
                return nullptr;
            }
            PlistPtr array(plist_new_array());
            for (const Value& item : *value.list()) {
                plist_t node = toNode(item, depth + 1, building);
                if (!node) return nullptr;
                plist_array_append_item(array.get(), node);
            }
            return array.release();
        }
        case Value::Type::Dictionary: {
            if (depth >= kMaximumNestingDepth) {
                building.pastBounds = true;
                return nullptr;
            }
            PlistPtr dict(plist_new_dict());
            for (const auto& [key, item] : *value.dictionary()) {
                plist_t node = toNode(item, depth + 1, building);
                if (!node) return nullptr;
                plist_dict_set_item(dict.get(), key.c_str(), node);
            }
            return dict.release();
        }
    }
    return nullptr;
}

std::optional<Value> fromNode(plist_t node, int depth) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return Value(b != 0);
        }
        case PLIST_UINT: {
            // libplist keeps every integer as 64 bits; values written from
            // negative numbers come back in two's complement.
            uint64_t u = 0;
            plist_get_uint_val(node, &u);
            return Value(static_cast<int64_t>(u));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return Value(d);
        }
        case PLIST_STRING: {
            // The pointer form: the copying getter asserts (and aborts) on a
            // string with a NUL inside, which such a string is refused for here.
            uint64_t length = 0;
            const char* s = plist_get_string_ptr(node, &length);
            if (!s) return Value(std::string());
            if (std::memchr(s, 0, length)) return std::nullopt;
            return Value(std::string(s, length));
        }
        case PLIST_DATA: {
            char* d = nullptr;
            uint64_t length = 0;
            plist_get_data_val(node, &d, &length);
            Value::Bytes bytes(reinterpret_cast<uint8_t*>(d), reinterpret_cast<uint8_t*>(d) + length);
            free(d);
            return Value(std::move(bytes));
        }
        case PLIST_DATE: {
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return Value(Date{sec + usec / 1e6 + kReferenceDateOffset});
        }
        case PLIST_ARRAY: {
            if (depth >= kMaximumNestingDepth) return std::nullopt;
            Value::List list;
            uint32_t n = plist_array_get_size(node);
            list.reserve(n);
            for (uint32_t i = 0; i < n; ++i) {
                auto item = fromNode(plist_array_get_item(node, i), depth + 1);
                if (!item) return std::nullopt;
                list.push_back(std::move(*item));
            }
            return Value(std::move(list));
        }
        case PLIST_DICT: {
            if (depth >= kMaximumNestingDepth) return std::nullopt;
            Value::Dictionary dict;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                if (!item) {
                    free(key);
                    break;
                }
                auto converted = fromNode(item, depth + 1);
                std::string name(key ? key : "");
                free(key);
                if (!converted) {
                    free(it);
                    return std::nullopt;
                }
                dict.emplace(std::move(name), std::move(*converted));
            }
            free(it);
            return Value(std::move(dict));
        }
        default:
            return std::nullopt;  // UID and others have no place in preferences
    }
}

// What the bytes must pass before libplist sees them. libplist aborts on a
// string with a NUL inside (an assertion in its getters) and its binary reader
// recurses once per level of nesting; both would end the process on every
// start for a damaged file. Its trees cost some two hundred bytes a value, so
// the values are counted on the bytes first.
//
// The XML form: no NUL byte and no character reference to NUL; nesting of
// <array> and <dict> no deeper than the limit; no more elements than the
// values bound. One pass, nothing allocated.
bool xmlAcceptable(std::string_view xml, PropertyListRefusal* refusal) {
    if (xml.find('\0') != std::string_view::npos) {
        refusal->why = "a NUL byte";
        return false;
    }
    int depth = 0;
    uint64_t values = 0;
    for (size_t at = xml.find_first_of("<&"); at != std::string_view::npos; at = xml.find_first_of("<&", at + 1)) {
        std::string_view rest = xml.substr(at);
        if (rest[0] == '&') {
            // &#0; &#x00; and their longer spellings.
            if (rest.size() < 3 || rest[1] != '#') continue;
            size_t i = 2;
            const bool hex = i < rest.size() && (rest[i] == 'x' || rest[i] == 'X');
            if (hex) ++i;
            const size_t digits = i;
            while (i < rest.size() && rest[i] == '0') ++i;
            if (i > digits && i < rest.size() && rest[i] == ';') {
                refusal->why = "a reference to character 0";
                return false;
            }
            continue;
        }
        if (rest.substr(0, 4) == "<!--") {
            size_t end = xml.find("-->", at + 4);
            if (end == std::string_view::npos) break;
            at = end + 2;
            continue;
        }
        if (rest.substr(0, 9) == "<![CDATA[") {
            size_t end = xml.find("]]>", at + 9);
            if (end == std::string_view::npos) break;
            at = end + 2;
            continue;
        }
        const bool closing = rest.size() > 1 && rest[1] == '/';
        std::string_view name = rest.substr(closing ? 2 : 1);
        const bool markup = !name.empty() && (name[0] == '?' || name[0] == '!');
        if (!closing && !markup && name.substr(0, 5) != "plist" && ++values > kMaximumPropertyListValues) {
            refusal->pastBounds = true;
            refusal->why = "more than " + std::to_string(kMaximumPropertyListValues) + " values";
            return false;
        }
        const bool container = name.substr(0, 5) == "array" || name.substr(0, 4) == "dict";
        if (!container) continue;
        // The tag ends before the next one begins (a search bounded so, so
        // that many unclosed tags cost no more than one pass).
        size_t end = rest.find_first_of("<>", 1);
        if (end == std::string_view::npos || rest[end] != '>') continue;
        if (closing) {
            if (depth > 0) --depth;
        } else if (rest[end - 1] != '/' && ++depth > kMaximumNestingDepth) {
            refusal->pastBounds = true;
            refusal->why = "nesting deeper than " + std::to_string(kMaximumNestingDepth) + " levels";
            return false;
        }
    }
    return true;
}

// The binary form: every object inside the file, strings without NUL, no
// reference cycle, nesting no deeper than the limit, and no more values once
// every reference is copied out than the values bound (libplist copies a
// shared object for each reference, so twenty levels of a thousand references
// each would never end). Each object is walked once (an explicit stack,
// depths and value counts remembered), so the check costs what the file's
// size does.
class BinaryCheck {
public:
    explicit BinaryCheck(std::string_view bytes) : bytes_(bytes) {}

    bool run(PropertyListRefusal* refusal) {
        refusal_ = refusal;
        const size_t size = bytes_.size();
        if (size < 8 + 32) return fail("a truncated file");
        const size_t trailer = size - 32;
        offsetSize_ = byteAt(trailer + 6);
        refSize_ = byteAt(trailer + 7);
        const uint64_t count = readInt(trailer + 8, 8);
        const uint64_t top = readInt(trailer + 16, 8);
        const uint64_t table = readInt(trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return fail("a bad trailer");
        if (count == 0 || top >= count || table < 8 || table > trailer || count > (trailer - table) / offsetSize_)
            return fail("a bad object table");
        table_ = table;
        count_ = count;
        depth_.assign(count, kUnvisited);
        values_.assign(count, 1);
        return walk(top);
    }

private:
    static constexpr int kUnvisited = -1;
    static constexpr int kInProgress = -2;

    bool fail(const std::string& what, bool pastBounds = false) {
        refusal_->why = what;
        refusal_->pastBounds = pastBounds;
        return false;
    }
    uint8_t byteAt(size_t at) const { return static_cast<uint8_t>(bytes_[at]); }
    uint64_t readInt(size_t at, size_t width) const {
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) value = (value << 8) | byteAt(at + i);
        return value;
    }
    bool offsetOf(uint64_t object, size_t* offset) {
        const uint64_t at = readInt(table_ + object * offsetSize_, offsetSize_);
        if (at < 8 || at >= table_) return fail("an object outside the file");
        *offset = at;
        return true;
    }
    // The length of a variable-length object: in the marker's low nibble, or
    // an integer object after it when the nibble is 0xF. `*at` moves past it.
    bool lengthAt(size_t* at, uint8_t marker, uint64_t* length) {
        *length = marker & 0x0F;
        if (*length != 0x0F) return true;
        if (*at >= table_ || (byteAt(*at) & 0xF0) != 0x10) return fail("a bad length");
        const size_t width = size_t{1} << (byteAt(*at) & 0x0F);
        if (width > 8 || *at + 1 + width > table_) return fail("a bad length");
        *length = readInt(*at + 1, width);
        *at += 1 + width;
        return true;
    }

    struct Frame {
        uint64_t object;
        size_t refs;       // where the references start
        uint64_t count;    // how many
        uint64_t next = 0; // the next to visit
        int deepest = 0;   // the deepest child so far
        uint64_t values = 1;  // itself and its children's values so far
    };

    // Opens `object`: a container is pushed, anything else is checked and
    // done at depth 0.
    bool open(uint64_t object, std::vector<Frame>& stack) {
        size_t at;
        if (!offsetOf(object, &at)) return false;
        const uint8_t marker = byteAt(at++);
        uint64_t length = 0;
        switch (marker >> 4) {
            case 0x4:  // data
            case 0x5:  // ASCII string
            case 0x6: {  // UTF-16 string
                if (!lengthAt(&at, marker, &length)) return false;
                const uint64_t bytes = (marker >> 4) == 0x6 ? length * 2 : length;
                if (length > table_ || bytes > table_ - at) return fail("an object outside the file");
                if ((marker >> 4) == 0x5 && std::memchr(bytes_.data() + at, 0, bytes))
                    return fail("a string with a NUL byte");
                if ((marker >> 4) == 0x6) {
                    for (uint64_t i = 0; i < length; ++i) {
                        if (readInt(at + 2 * i, 2) == 0) return fail("a string with a NUL character");
                    }
                }
                depth_[object] = 0;
                return true;
            }
            case 0xA:  // array
            case 0xC:  // set
            case 0xD: {  // dictionary: keys, then values
                if (!lengthAt(&at, marker, &length)) return false;
                const uint64_t refs = (marker >> 4) == 0xD ? length * 2 : length;
                if (length > table_ || refs > (table_ - at) / refSize_) return fail("an object outside the file");
                if (stack.size() >= static_cast<size_t>(kMaximumNestingDepth))
                    return fail("nesting deeper than " + std::to_string(kMaximumNestingDepth) + " levels", true);
                depth_[object] = kInProgress;
                stack.push_back(Frame{object, at, refs});
                return true;
            }
            default:  // numbers, dates, UIDs, booleans: no references, no strings
                depth_[object] = 0;
                return true;
        }
    }

    bool walk(uint64_t top) {
        std::vector<Frame> stack;
        if (!open(top, stack)) return false;
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.next == frame.count) {
                const int depth = frame.deepest + 1;
                const uint64_t values = frame.values;
                depth_[frame.object] = depth;
                values_[frame.object] = values;
                stack.pop_back();
                if (!stack.empty() && !add(stack.back(), depth, values)) return false;
                continue;
            }
            const uint64_t child = readInt(frame.refs + frame.next * refSize_, refSize_);
            ++frame.next;
            if (child >= count_) return fail("a reference outside the file");
            const int known = depth_[child];
            if (known == kInProgress) return fail("a reference cycle");
            if (known >= 0) {
                if (stack.size() + known > static_cast<size_t>(kMaximumNestingDepth))
                    return fail("nesting deeper than " + std::to_string(kMaximumNestingDepth) + " levels", true);
                if (!add(frame, known, values_[child])) return false;
                continue;
            }
            if (!open(child, stack)) return false;
            if (depth_[child] >= 0 && !add(stack.back(), 0, 1)) return false;
        }
        return true;
    }

    // Counts a finished child into its parent's frame.
    bool add(Frame& parent, int childDepth, uint64_t childValues) {
        parent.deepest = std::max(parent.deepest, childDepth);
        parent.values += childValues;
        if (parent.values > kMaximumPropertyListValues)
            return fail("more than " + std::to_string(kMaximumPropertyListValues) + " values once references are copied",
                        true);
        return true;
    }

    std::string_view bytes_;
    PropertyListRefusal* refusal_ = nullptr;
    size_t offsetSize_ = 0;
    size_t refSize_ = 0;
    size_t table_ = 0;
    uint64_t count_ = 0;
    std::vector<int> depth_;
    std::vector<uint64_t> values_;
};

}  // namespace

namespace {

// The bounds every reader checks before it builds anything, on either form.
bool withinBounds(std::string_view bytes, PropertyListRefusal* refusal) {
    if (bytes.size() > kMaximumPropertyListBytes) {
        refusal->pastBounds = true;
        refusal->why = std::to_string(bytes.size()) + " bytes, more than " +
                       std::to_string(kMaximumPropertyListBytes >> 20) + " MiB";
        return false;
    }
    return bytes.substr(0, 8) == "bplist00" ? BinaryCheck(bytes).run(refusal) : xmlAcceptable(bytes, refusal);
}

// Escaped as libplist's XML writer escapes.
uint64_t escapedBytes(std::string_view text) {
    uint64_t bytes = text.size();
    for (char c : text) bytes += c == '&' ? 4 : (c == '<' || c == '>') ? 3 : 0;
    return bytes;
}

// libplist's layout: one line per element, indented by its depth in tabs;
// a scalar's tags and number take at most 20 + 24 bytes, data is base64 in
// lines of 68 characters.
void addSize(const Value& value, uint64_t depth, PropertyListSize& size) {
    ++size.values;
    const uint64_t line = depth + 1;
    switch (value.type()) {
        case Value::Type::String:
            size.bytes += line + 17 + escapedBytes(*value.string());
            return;
        case Value::Type::Bytes: {
            const uint64_t base64 = (value.bytes()->size() + 2) / 3 * 4;
            size.bytes += 2 * line + 14 + base64 + (base64 / 68 + 1) * line;
            return;
        }
        case Value::Type::List:
            size.bytes += 2 * line + 15;
            for (const Value& item : *value.list()) addSize(item, depth + 1, size);
            return;
        case Value::Type::Dictionary:
            size.bytes += 2 * line + 13;
            for (const auto& [key, item] : *value.dictionary()) {
                ++size.values;
                size.bytes += line + 1 + 11 + escapedBytes(key);
                addSize(item, depth + 1, size);
            }
            return;
        default:
            size.bytes += line + 20 + 24;
            return;
    }
}

}  // namespace

PropertyListSize propertyListSize(const Value& value, uint64_t depth) {
    // A root brings the file's head: the XML declaration, the DOCTYPE and
    // the plist element, 173 bytes.
    PropertyListSize size{0, depth == 0 ? 192u : 0u};
    addSize(value, depth, size);
    return size;
}

std::optional<std::string> propertyListXml(const Value& value, PropertyListRefusal* refusal) {
    PropertyListRefusal ignored;
    if (!refusal) refusal = &ignored;
    // Counted before libplist holds anything: a refused write costs a walk.
    Building building;
    building.pastBounds = propertyListSize(value).values > kMaximumPropertyListValues;
    PlistPtr root(building.pastBounds ? nullptr : toNode(value, 0, building));
    if (!root) {
        refusal->pastBounds = building.pastBounds;
        refusal->why = building.pastBounds ? "more than " + std::to_string(kMaximumPropertyListValues) +
                                                 " values or nesting deeper than " +
                                                 std::to_string(kMaximumNestingDepth) + " levels"
                                           : "a value without a property-list form";
        return std::nullopt;
    }
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    root.reset();
    if (!xml) {
        refusal->why = "no XML form";
        return std::nullopt;
    }
    std::string out(xml, length);
    plist_to_xml_free(xml);
    // What the reader would refuse is not written: the same check on the
    // very bytes it would read.
    if (!withinBounds(out, refusal)) return std::nullopt;
    return out;
}

std::optional<Value> parsePropertyList(std::string_view bytes, PropertyListRefusal* refusal) {
    PropertyListRefusal ignored;
    if (!refusal) refusal = &ignored;
    if (bytes.empty()) {
        refusal->why = "an empty file";
        return std::nullopt;
    }
    if (!withinBounds(bytes, refusal)) {
        std::fprintf(stderr, "property list: refused: %s\n", refusal->why.c_str());
        return std::nullopt;
    }
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) {
        refusal->why = "not a property list";
        return std::nullopt;
    }
    PlistPtr owner(root);
    auto value = fromNode(root, 0);
    if (!value) {
        refusal->why = "a NUL in a string or nesting too deep";
        std::fprintf(stderr, "property list: refused: %s\n", refusal->why.c_str());
    }
    return value;
}

namespace {

// One tag of an XML text: where it begins and ends (past its '>') and what
// kind it is. Text between tags never holds '<' (the writer escapes it).
struct Tag {
    enum Kind { kOpen, kClose, kEmpty, kOther } kind;
    size_t begin, end;
};

std::optional<Tag> nextTag(std::string_view xml, size_t from) {
    const size_t begin = xml.find('<', from);
    if (begin == std::string_view::npos) return std::nullopt;
    const size_t close = xml.find('>', begin);
    if (close == std::string_view::npos) return std::nullopt;
    Tag tag{Tag::kOpen, begin, close + 1};
    if (begin + 1 < xml.size() && (xml[begin + 1] == '?' || xml[begin + 1] == '!')) tag.kind = Tag::kOther;
    else if (begin + 1 < xml.size() && xml[begin + 1] == '/') tag.kind = Tag::kClose;
    else if (xml[close - 1] == '/') tag.kind = Tag::kEmpty;
    return tag;
}

bool tagNamed(std::string_view xml, const Tag& tag, std::string_view name) {
    std::string_view text = xml.substr(tag.begin, tag.end - tag.begin);
    const size_t skip = tag.kind == Tag::kClose ? 2 : 1;
    return text.size() > skip + name.size() && text.substr(skip, name.size()) == name &&
           (text[skip + name.size()] == '>' || text[skip + name.size()] == '/' || text[skip + name.size()] == ' ');
}

// The end of the element that opens at `first` and how many elements it
// holds, itself included; nothing when it is cut short (or nested deeper
// than any file of ours).
struct Element {
    size_t end;
    uint64_t values;
};

std::optional<Element> elementEnd(std::string_view xml, const Tag& first) {
    if (first.kind == Tag::kEmpty) return Element{first.end, 1};
    if (first.kind != Tag::kOpen) return std::nullopt;
    int depth = 1;
    uint64_t values = 1;
    for (size_t at = first.end; depth > 0;) {
        auto tag = nextTag(xml, at);
        if (!tag) return std::nullopt;
        at = tag->end;
        if (tag->kind == Tag::kOpen || tag->kind == Tag::kEmpty) ++values;
        if (tag->kind == Tag::kOpen && ++depth > 256) return std::nullopt;
        if (tag->kind == Tag::kClose && --depth == 0) return Element{at, values};
    }
    return std::nullopt;
}

std::optional<Value> readAlone(std::string_view wrapped) {
    return parsePropertyList("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" +
                             std::string(wrapped) + "</plist>");
}

// What is still free of a share of the bounds.
struct Budget {
    uint64_t values, bytes;
    bool fits(uint64_t v, uint64_t b) const { return v <= values && b <= bytes; }
    void take(uint64_t v, uint64_t b) {
        values -= v;
        bytes -= b;
    }
};

// The leading items of the list opening at `open` that came whole and fit
// in `budget`, up to the first that did not end or did not fit. Read in one
// piece when they can be, one by one when one of them is damaged.
Value::List salvageListItems(std::string_view xml, const Tag& open, Budget budget) {
    std::vector<std::pair<size_t, size_t>> ranges;
    for (size_t at = open.end;;) {
        auto tag = nextTag(xml, at);
        if (!tag || tag->kind == Tag::kClose) break;
        auto element = elementEnd(xml, *tag);
        if (!element || !budget.fits(element->values, element->end - tag->begin)) break;
        budget.take(element->values, element->end - tag->begin);
        ranges.emplace_back(tag->begin, element->end);
        at = element->end;
    }
    if (ranges.empty()) return {};
    const std::string_view whole = xml.substr(ranges.front().first, ranges.back().second - ranges.front().first);
    if (auto all = readAlone("<array>" + std::string(whole) + "</array>"); all && all->list() &&
                                                                           all->list()->size() == ranges.size())
        return std::move(*all->list());
    Value::List items;
    for (const auto& [begin, end] : ranges) {
        auto item = readAlone("<array>" + std::string(xml.substr(begin, end - begin)) + "</array>");
        if (item && item->list() && item->list()->size() == 1) items.push_back(item->list()->front());
    }
    return items;
}

}  // namespace

Value::Dictionary salvagePropertyListDictionary(std::string_view xml) {
    Value::Dictionary kept;
    Budget budget{kMaximumPropertyListValues / 2, kMaximumPropertyListBytes / 2};
    std::optional<Tag> tag = nextTag(xml, 0);
    while (tag && !(tag->kind == Tag::kOpen && tagNamed(xml, *tag, "plist"))) tag = nextTag(xml, tag->end);
    if (tag) tag = nextTag(xml, tag->end);
    if (!tag || tag->kind != Tag::kOpen || !tagNamed(xml, *tag, "dict")) return kept;
    for (size_t at = tag->end;;) {
        auto key = nextTag(xml, at);
        if (!key || key->kind != Tag::kOpen || !tagNamed(xml, *key, "key")) break;
        auto keyEnd = elementEnd(xml, *key);
        if (!keyEnd) break;
        auto value = nextTag(xml, keyEnd->end);
        if (!value || (value->kind != Tag::kOpen && value->kind != Tag::kEmpty)) break;
        const std::string keyText(xml.substr(key->begin, keyEnd->end - key->begin));
        auto valueEnd = elementEnd(xml, *value);
        const uint64_t values = valueEnd ? 1 + valueEnd->values : 0;
        const uint64_t bytes = valueEnd ? valueEnd->end - key->begin : 0;
        std::optional<Value> entry;
        if (valueEnd && budget.fits(values, bytes))
            entry = readAlone("<dict>" + keyText +
                              std::string(xml.substr(value->begin, valueEnd->end - value->begin)) + "</dict>");
        if (entry && entry->dictionary()) {
            budget.take(values, bytes);
            for (auto& [name, read] : *entry->dictionary()) kept[name] = read;
        } else if (value->kind == Tag::kOpen && tagNamed(xml, *value, "array")) {
            // Too large, damaged or cut short inside this list: its leading
            // items that read.
            auto name = readAlone("<dict>" + keyText + "<true/></dict>");
            if (name && name->dictionary() && name->dictionary()->size() == 1) {
                Budget share{std::min(budget.values, kSalvagedListBound.values),
                             std::min(budget.bytes, kSalvagedListBound.bytes)};
                Value list(salvageListItems(xml, *value, share));
                const PropertyListSize size = propertyListSize(list);
                const std::string& listName = name->dictionary()->begin()->first;
                if (valueEnd)
                    std::fprintf(stderr, "property list: of \"%s\" (%llu values) the first %zu items are kept\n",
                                 listName.c_str(), static_cast<unsigned long long>(valueEnd->values),
                                 list.list()->size());
                budget.take(std::min(budget.values, size.values + 1), std::min(budget.bytes, size.bytes));
                kept[listName] = std::move(list);
            }
        } else if (valueEnd && !budget.fits(values, bytes)) {
            std::fprintf(stderr, "property list: an entry of %llu values and %llu bytes is left out\n",
                         static_cast<unsigned long long>(values), static_cast<unsigned long long>(bytes));
        }
        if (!valueEnd) break;
        at = valueEnd->end;
    }
    return kept;
}

}  // namespace foundation
