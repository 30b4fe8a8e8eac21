#include "platform/foundation/PropertyList.h"

#include <plist/plist.h>

#include "platform/foundation/BinaryPropertyListReader.h"
#include "platform/foundation/PropertyListCharge.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/XmlPropertyListReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
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
        case Value::Type::Integer: {
            // libplist keeps an integer unsigned only as its XML reader
            // makes one: a value past int64's range is made that way.
            if (const auto past = value.unsignedPastInt64()) {
                const std::string xml = "<plist><integer>" + std::to_string(*past) + "</integer></plist>";
                plist_t node = nullptr;
                plist_from_xml(xml.c_str(), static_cast<uint32_t>(xml.size()), &node);
                return node;
            }
            return plist_new_uint(static_cast<uint64_t>(*value.integerValue()));
        }
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

// The writer's bytes for a value `depth` levels deep, as the readers charge
// them (plistxml), and its values, dictionary keys included.
void addSize(const Value& value, uint64_t depth, PropertyListSize& size) {
    ++size.values;
    switch (value.type()) {
        case Value::Type::String:
            size.bytes += plistxml::stringBytes(depth, plistxml::escapedLength(*value.string()));
            return;
        case Value::Type::Bytes:
            size.bytes += plistxml::dataBytes(depth, value.bytes()->size());
            return;
        case Value::Type::List:
            size.bytes += plistxml::containerBytes(depth, value.list()->empty(), false);
            for (const Value& item : *value.list()) addSize(item, depth + 1, size);
            return;
        case Value::Type::Dictionary:
            size.bytes += plistxml::containerBytes(depth, value.dictionary()->empty(), true);
            for (const auto& [key, item] : *value.dictionary()) {
                ++size.values;
                size.bytes += plistxml::keyBytes(depth + 1, plistxml::escapedLength(key));
                addSize(item, depth + 1, size);
            }
            return;
        default:
            size.bytes += plistxml::scalarBytes(depth, value);
            return;
    }
}

}  // namespace

PropertyListSize propertyListSize(const Value& value, uint64_t depth) {
    // A root brings the file's head and tail: the XML declaration, the
    // DOCTYPE and the plist element.
    PropertyListSize size{0, depth == 0 ? plistxml::fileBytes() : 0u};
    addSize(value, depth, size);
    return size;
}

namespace {

// The XML form as libplist writes it, byte for byte, into one buffer of the
// size charged. (libplist's own writer reserves what it estimates before
// escaping, then grows a page at a time: a text of many '&' is copied
// afresh for every page under a sanitizer's allocator, minutes for a file at
// the bounds.)
class PropertyListXmlWriter {
public:
    enum class Result { kWritten, kNoForm, kTooDeep, kNul };

    explicit PropertyListXmlWriter(std::string& out) : out_(out) {}

    Result write(const Value& value, uint64_t depth) {
        out_.append(depth, '\t');
        switch (value.type()) {
            case Value::Type::Absent:
            case Value::Type::Null:
                return Result::kNoForm;
            case Value::Type::Bool:
                out_ += *value.boolValue() ? "<true/>\n" : "<false/>\n";
                return Result::kWritten;
            case Value::Type::Integer:
                // An unsigned value past int64's range is written as read.
                out_ += "<integer>" +
                        (value.unsignedPastInt64() ? std::to_string(*value.unsignedPastInt64())
                                                   : std::to_string(*value.integerValue())) +
                        "</integer>\n";
                return Result::kWritten;
            case Value::Type::Double: {
                char text[40];
                const size_t length = plistxml::realText(*value.doubleValue(), text);
                out_ += "<real>";
                out_.append(text, length);
                out_ += "</real>\n";
                return Result::kWritten;
            }
            case Value::Type::String:
                return element("string", *value.string());
            case Value::Type::Bytes:
                data(*value.bytes(), depth);
                return Result::kWritten;
            case Value::Type::Date: {
                const double since2001 = std::floor(value.date()->secondsSince1970 - kReferenceDateOffset);
                if (!std::isfinite(since2001) || std::fabs(since2001) > 2147483647.0) return Result::kNoForm;
                const time_t since1970 = static_cast<time_t>(since2001) + static_cast<time_t>(kReferenceDateOffset);
                struct tm parts {};
                char text[32];
                const size_t length =
                    gmtime_r(&since1970, &parts) ? std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) : 0;
                out_ += "<date>";
                out_.append(text, length);
                out_ += "</date>\n";
                return Result::kWritten;
            }
            case Value::Type::List:
                return container("array", *value.list(), depth,
                                 [&](const Value& item) { return write(item, depth + 1); });
            case Value::Type::Dictionary:
                return container("dict", *value.dictionary(), depth, [&](const auto& entry) {
                    out_.append(depth + 1, '\t');
                    if (const Result key = element("key", entry.first); key != Result::kWritten) return key;
                    return write(entry.second, depth + 1);
                });
        }
        return Result::kNoForm;
    }

private:
    // "<tag/>" for no items, else "<tag>", each item by `each` and the
    // closing tag at `depth`'s indent.
    template <typename Items, typename Each>
    Result container(const char* tag, const Items& items, uint64_t depth, Each each) {
        if (depth >= kMaximumNestingDepth) return Result::kTooDeep;
        if (items.empty()) {
            out_ += '<';
            out_ += tag;
            out_ += "/>\n";
            return Result::kWritten;
        }
        out_ += '<';
        out_ += tag;
        out_ += ">\n";
        for (const auto& item : items)
            if (const Result result = each(item); result != Result::kWritten) return result;
        out_.append(depth, '\t');
        out_ += "</";
        out_ += tag;
        out_ += ">\n";
        return Result::kWritten;
    }

    // <name>text</name>, '&', '<' and '>' escaped. libplist ends a text at
    // its first NUL: such a text is left to it.
    Result element(std::string_view name, std::string_view text) {
        if (text.find('\0') != std::string_view::npos) return Result::kNul;
        // What no XML reader takes back is not written.
        if (!isUtf8(text)) return Result::kNoForm;
        out_ += '<';
        out_ += name;
        out_ += '>';
        for (size_t at = 0;;) {
            const size_t next = text.find_first_of("&<>", at);
            out_.append(text.substr(at, next - at));
            if (next == std::string_view::npos) break;
            out_ += text[next] == '&' ? "&amp;" : text[next] == '<' ? "&lt;" : "&gt;";
            at = next + 1;
        }
        out_ += "</";
        out_ += name;
        out_ += ">\n";
        return Result::kWritten;
    }

    // Base64 in lines of 76 characters less 8 for each tab of their indent,
    // which stops at 8 tabs.
    void data(const Value::Bytes& bytes, uint64_t depth) {
        static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        out_ += "<data>\n";
        const uint64_t indent = std::min<uint64_t>(depth, 8);
        const size_t perLine = (76 - 8 * indent) / 4 * 3;
        for (size_t line = 0; line < bytes.size(); line += perLine) {
            out_.append(indent, '\t');
            const size_t end = std::min(bytes.size(), line + perLine);
            for (size_t at = line; at < end; at += 3) {
                const uint32_t left = static_cast<uint32_t>(end - at);
                const uint32_t triple = (uint32_t{bytes[at]} << 16) | (left > 1 ? uint32_t{bytes[at + 1]} << 8 : 0) |
                                        (left > 2 ? uint32_t{bytes[at + 2]} : 0);
                out_ += kDigits[(triple >> 18) & 63];
                out_ += kDigits[(triple >> 12) & 63];
                out_ += left > 1 ? kDigits[(triple >> 6) & 63] : '=';
                out_ += left > 2 ? kDigits[triple & 63] : '=';
            }
            out_ += '\n';
        }
        out_.append(depth, '\t');
        out_ += "</data>\n";
    }

    std::string& out_;
};

// The size `value` is written at, or nothing (with why) past `bounds`.
std::optional<PropertyListSize> sizeWithinBounds(const Value& value, const PropertyListBounds& bounds,
                                                 PropertyListRefusal& refusal) {
    const PropertyListSize size = propertyListSize(value);
    if (size.values <= bounds.values && size.bytes <= bounds.bytes) return size;
    refusal.pastBounds = true;
    refusal.why =
        "more than " + std::to_string(bounds.values) + " values or " + std::to_string(bounds.bytes) + " bytes";
    return std::nullopt;
}

}  // namespace

std::optional<std::string> propertyListXml(const Value& value, PropertyListRefusal* refusal) {
    PropertyListRefusal ignored;
    if (!refusal) refusal = &ignored;
    // Counted before anything is written, as the readers charge it: a
    // refused write costs a walk, and what is written reads back.
    const PropertyListBounds bounds = propertyListBounds();
    const std::optional<PropertyListSize> size = sizeWithinBounds(value, bounds, *refusal);
    if (!size) return std::nullopt;
    std::string out;
    out.reserve(size->bytes);
    out += plistxml::kFileHead;
    switch (PropertyListXmlWriter(out).write(value, 0)) {
        case PropertyListXmlWriter::Result::kWritten:
            break;
        case PropertyListXmlWriter::Result::kNoForm:
            refusal->why = "a value without a property-list form";
            return std::nullopt;
        case PropertyListXmlWriter::Result::kTooDeep:
            refusal->pastBounds = true;
            refusal->why = "nesting deeper than " + std::to_string(kMaximumNestingDepth) + " levels";
            return std::nullopt;
        case PropertyListXmlWriter::Result::kNul:
            return propertyListXmlThroughLibrary(value, refusal);
    }
    out += plistxml::kFileTail;
    // The size charged is the writer's to the byte; should the two ever
    // part, the larger file is not written.
    if (out.size() > bounds.bytes) {
        refusal->pastBounds = true;
        refusal->why = std::to_string(out.size()) + " bytes";
        return std::nullopt;
    }
    return out;
}

std::optional<std::string> propertyListXmlThroughLibrary(const Value& value, PropertyListRefusal* refusal) {
    PropertyListRefusal ignored;
    if (!refusal) refusal = &ignored;
    const PropertyListBounds bounds = propertyListBounds();
    const std::optional<PropertyListSize> size = sizeWithinBounds(value, bounds, *refusal);
    if (!size) return std::nullopt;
    Building building;
    PlistPtr root(toNode(value, 0, building));
    if (!root) {
        refusal->pastBounds = building.pastBounds;
        refusal->why = building.pastBounds ? "nesting deeper than " + std::to_string(kMaximumNestingDepth) + " levels"
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
    if (out.size() > bounds.bytes) {
        refusal->pastBounds = true;
        refusal->why = std::to_string(out.size()) + " bytes";
        return std::nullopt;
    }
    return out;
}

namespace {

// parsePropertyList without saying what it passed over.
std::optional<Value> readPropertyList(std::string_view bytes, PropertyListRefusal* refusal) {
    if (bytes.empty()) {
        refusal->why = "an empty file";
        return std::nullopt;
    }
    const PropertyListBounds bounds = propertyListBounds();
    if (bytes.size() > bounds.bytes) {
        refusal->pastBounds = true;
        refusal->why = std::to_string(bytes.size()) + " bytes, more than " + std::to_string(bounds.bytes);
        std::fprintf(stderr, "property list: refused: %s\n", refusal->why.c_str());
        return std::nullopt;
    }
    PropertyListCharge charge(refusal, bounds);
    auto value = bytes.substr(0, 8) == "bplist00" ? readBinaryPropertyList(bytes, charge, refusal)
                                                  : readXmlPropertyList(bytes, charge, refusal);
    if (!value) {
        if (refusal->why.empty()) refusal->why = "not a property list";
        if (refusal->pastBounds) std::fprintf(stderr, "property list: refused: %s\n", refusal->why.c_str());
    }
    return value;
}

}  // namespace

std::optional<Value> parsePropertyList(std::string_view bytes, PropertyListRefusal* refusal) {
    PropertyListRefusal ignored;
    if (!refusal) refusal = &ignored;
    auto value = readPropertyList(bytes, refusal);
    if (value && refusal->passedOver)
        std::fprintf(stderr, "property list: %llu damaged or too deeply nested values passed over\n",
                     static_cast<unsigned long long>(refusal->passedOver));
    return value;
}

namespace {

// One tag of an XML text: where it begins and ends (past its '>') and what
// kind it is. Text between tags never holds '<' (the writer escapes it).
struct Tag {
    enum Kind { kOpen, kClose, kEmpty, kOther } kind;
    size_t begin, end;
};

// The texts the tag reader reads: a string, or an XML file walked a block at
// a time (XmlFileWalk), each with find(c, from) (npos when absent), size()
// and [at].
template <typename Text>
std::optional<Tag> nextTag(Text& xml, size_t from) {
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

template <typename Text>
bool tagNamed(Text& xml, const Tag& tag, std::string_view name) {
    const size_t skip = tag.kind == Tag::kClose ? 2 : 1;
    if (tag.end - tag.begin <= skip + name.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (xml[tag.begin + skip + i] != name[i]) return false;
    const char after = xml[tag.begin + skip + name.size()];
    return after == '>' || after == '/' || after == ' ';
}

// The end of the element that opens at `first`, how many elements it holds,
// itself included, and where its last tag begins; nothing when it is cut
// short. However deep it nests, it is counted to its end: a value nested
// past the readers' bound is passed over, not taken for the end of the file.
struct Element {
    size_t end;
    uint64_t values;
    size_t lastTag;
};

template <typename Text>
std::optional<Element> elementEnd(Text& xml, const Tag& first) {
    if (first.kind == Tag::kEmpty) return Element{first.end, 1, first.begin};
    if (first.kind != Tag::kOpen) return std::nullopt;
    int depth = 1;
    uint64_t values = 1;
    for (size_t at = first.end; depth > 0;) {
        auto tag = nextTag(xml, at);
        if (!tag) return std::nullopt;
        at = tag->end;
        if (tag->kind == Tag::kOpen || tag->kind == Tag::kEmpty) ++values;
        if (tag->kind == Tag::kOpen) ++depth;
        if (tag->kind == Tag::kClose && --depth == 0) return Element{at, values, tag->begin};
    }
    return std::nullopt;
}

std::optional<Value> readAlone(std::string_view wrapped) {
    PropertyListRefusal refusal;
    return readPropertyList("<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">" +
                             std::string(wrapped) + "</plist>",
                            &refusal);
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
// in `budget`, up to the first that did not end or did not fit; an item
// past the whole budget on its own is none of ours, and is passed over.
// Read in one piece when they can be, one by one when one of them is
// damaged.
Value::List salvageListItems(std::string_view xml, const Tag& open, Budget budget) {
    const Budget share = budget;
    std::vector<std::pair<size_t, size_t>> ranges;
    size_t passed = 0;
    for (size_t at = open.end;;) {
        auto tag = nextTag(xml, at);
        if (!tag || tag->kind == Tag::kClose) break;
        auto element = elementEnd(xml, *tag);
        if (!element) break;
        at = element->end;
        if (!share.fits(element->values, element->end - tag->begin)) {
            ++passed;
            continue;
        }
        if (!budget.fits(element->values, element->end - tag->begin)) break;
        budget.take(element->values, element->end - tag->begin);
        ranges.emplace_back(tag->begin, element->end);
    }
    if (passed)
        std::fprintf(stderr, "property list: %zu items past the share of their list on their own passed over\n", passed);
    if (ranges.empty()) return {};
    std::string whole;
    for (const auto& [begin, end] : ranges) whole += xml.substr(begin, end - begin);
    Value::List items;
    if (auto all = readAlone("<array>" + whole + "</array>"); all && all->list() &&
                                                                           all->list()->size() == ranges.size()) {
        items = std::move(*all->list());
    } else {
        for (const auto& [begin, end] : ranges) {
            auto item = readAlone("<array>" + std::string(xml.substr(begin, end - begin)) + "</array>");
            if (item && item->list() && item->list()->size() == 1) items.push_back(item->list()->front());
        }
    }
    // Within the share as the writer will write them, two levels deep.
    PropertyListSize used{0, plistxml::containerBytes(1, false, false)};
    for (size_t kept = 0; kept < items.size(); ++kept) {
        const PropertyListSize size = propertyListSize(items[kept], 2);
        used.values += size.values;
        used.bytes += size.bytes;
        if (used.values > share.values || used.bytes > share.bytes) {
            items.erase(items.begin() + static_cast<std::ptrdiff_t>(kept), items.end());
            break;
        }
    }
    return items;
}

// What a salvage keeps of one list. A file held to its owner's bound keeps
// what the readers' bounds would (the newest records of a whole history),
// within half of the file's bound.
PropertyListBounds salvagedListShare(const PropertyListBounds& bounds) {
    if (propertyListScopeBounds())
        return {std::min(bounds.values / 2, kSalvagedListBound.values),
                std::min(bounds.bytes / 2, kSalvagedListBound.bytes)};
    return {bounds.values / 16, bounds.bytes / 16};
}

// The type of the value whose first tag is `tag`, by its name; Absent for
// a tag of no property-list value.
template <typename Text>
Value::Type xmlValueType(Text& xml, const Tag& tag) {
    static constexpr std::pair<std::string_view, Value::Type> kTypes[] = {
        {"true", Value::Type::Bool},      {"false", Value::Type::Bool},  {"integer", Value::Type::Integer},
        {"real", Value::Type::Double},    {"string", Value::Type::String}, {"data", Value::Type::Bytes},
        {"date", Value::Type::Date},      {"array", Value::Type::List},  {"dict", Value::Type::Dictionary}};
    for (const auto& [name, type] : kTypes)
        if (tagNamed(xml, tag, name)) return type;
    return Value::Type::Absent;
}

// One entry of an XML dictionary as a salvage finds it: its key's text
// (from the start of its tag), its value's first tag and where the value
// ends, when it does.
struct XmlEntry {
    size_t keyBegin;
    Tag value;
    std::optional<Element> valueEnd;
};

// The text of the key element [begin, end): as it stands when it holds no
// reference or markup, else as the reader reads it.
std::optional<std::string> xmlKeyText(std::string_view xml, const Tag& key, size_t end) {
    if (key.kind == Tag::kEmpty) return std::string();
    const size_t close = xml.rfind('<', end - 1);
    if (close == std::string_view::npos || close < key.end) return std::nullopt;
    const std::string_view text = xml.substr(key.end, close - key.end);
    // A key that is not UTF-8 is damaged: no writer writes it back.
    if (text.find_first_of("&<") == std::string_view::npos)
        return isUtf8(text) ? std::optional<std::string>(text) : std::nullopt;
    auto name = readAlone("<dict>" + std::string(xml.substr(key.begin, end - key.begin)) + "<true/></dict>");
    if (!name || !name->dictionary() || name->dictionary()->size() != 1) return std::nullopt;
    return name->dictionary()->begin()->first;
}


// The entries of an XML text's root dictionary as a salvage finds them (their
// sizes as the file gives them, each element a line of its own as the writer
// writes it, its indent and end of line counted), up to the first that does
// not end. `rest`: where the text ends inside the dictionary (a file read in
// part), the first entry that did not end.
struct XmlEntries {
    std::vector<XmlEntry> found;
    std::vector<PropertyListEntry> entries;
    std::optional<size_t> rest;
};

// Walks a dictionary's entries from `from` (past its opening tag or an
// entry) as a salvage finds them, up to the first that does not end:
// `visit(key, keyEnd, value, valueEnd)` for each, its value's end nothing
// when it is cut short, answering whether to go on. Answers where the text
// ends inside the dictionary, at the entry it cuts short, if it does.
template <typename Text, typename Visit>
std::optional<size_t> walkXmlEntries(Text& xml, size_t from, Visit visit) {
    for (size_t at = from;;) {
        auto key = nextTag(xml, at);
        if (!key) return at;
        if (!(key->kind == Tag::kOpen || key->kind == Tag::kEmpty) || !tagNamed(xml, *key, "key")) return std::nullopt;
        auto keyEnd = elementEnd(xml, *key);
        auto value = keyEnd ? nextTag(xml, keyEnd->end) : std::nullopt;
        if (!value) return key->begin;
        if (value->kind != Tag::kOpen && value->kind != Tag::kEmpty) return std::nullopt;
        auto valueEnd = elementEnd(xml, *value);
        if (!visit(*key, *keyEnd, *value, valueEnd)) return std::nullopt;
        if (!valueEnd) return key->begin;
        at = valueEnd->end;
    }
}

XmlEntries xmlEntries(std::string_view xml) {
    XmlEntries dictionary;
    std::optional<Tag> tag = nextTag(xml, 0);
    while (tag && !(tag->kind == Tag::kOpen && tagNamed(xml, *tag, "plist"))) tag = nextTag(xml, tag->end);
    if (tag) tag = nextTag(xml, tag->end);
    if (!tag || tag->kind != Tag::kOpen || !tagNamed(xml, *tag, "dict")) return dictionary;
    dictionary.rest = walkXmlEntries(xml, tag->end,
                                     [&](const Tag& key, const Element& keyEnd, const Tag& value,
                                         const std::optional<Element>& valueEnd) {
                                         if (auto name = xmlKeyText(xml, key, keyEnd.end)) {
                                             const uint64_t values = valueEnd ? 1 + valueEnd->values : 0;
                                             const uint64_t bytes =
                                                 valueEnd ? valueEnd->end - key.begin + 2 * values : 0;
                                             dictionary.entries.push_back({std::move(*name),
                                                                           {values, bytes},
                                                                           valueEnd.has_value(),
                                                                           xmlValueType(xml, value)});
                                             dictionary.found.push_back({key.begin, value, valueEnd});
                                         }
                                         return true;
                                     });
    return dictionary;
}

// An XML file read a block at a time, for the tag reader: what a salvage
// walks of a file too large to hold.
class XmlFileWalk {
public:
    // The file `fd` up to `end`.
    XmlFileWalk(int fd, uint64_t end) : fd_(fd), end_(end) {}

    bool failed() const { return failed_; }
    uint64_t size() const { return end_; }
    char operator[](uint64_t at) { return load(at) ? block_[at - blockAt_] : '\0'; }

    uint64_t find(char c, uint64_t from) {
        for (uint64_t at = from; load(at);) {
            const char* begin = block_.data() + (at - blockAt_);
            const size_t length = block_.size() - (at - blockAt_);
            if (const void* found = std::memchr(begin, c, length))
                return at + static_cast<uint64_t>(static_cast<const char*>(found) - begin);
            at += length;
        }
        return std::string_view::npos;
    }

    // The bytes [at, at + length), or as many as can be read.
    std::string read(uint64_t at, uint64_t length) {
        std::string bytes(std::min(length, end_ > at ? end_ - at : 0), '\0');
        size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::pread(fd_, bytes.data() + got, bytes.size() - got, static_cast<off_t>(at + got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                failed_ = true;
                break;
            }
            got += static_cast<size_t>(n);
        }
        bytes.resize(got);
        return bytes;
    }

private:
    static constexpr uint64_t kBlockBytes = 1 << 20;

    // The block holding `at`; false past the end or when it cannot be read.
    bool load(uint64_t at) {
        if (at >= end_) return false;
        if (at >= blockAt_ && at < blockAt_ + block_.size()) return true;
        blockAt_ = at - at % kBlockBytes;
        block_ = read(blockAt_, kBlockBytes);
        return at < blockAt_ + block_.size();
    }

    int fd_;
    uint64_t end_;
    bool failed_ = false;
    uint64_t blockAt_ = 0;
    std::string block_;
};

// The entries of the root dictionary of an XML file read in part, from
// `from` (where the part read ends inside the dictionary, at an entry) on,
// that the plan puts before keys it does not know, as the text of a
// dictionary's entries: the user's values while they fit in `room` bytes,
// then the owner's keys while they fit. The first of the user's lists that
// does not fit whole comes last, cut to its own bound in what the others
// leave, for its leading items. A key met again is passed over. The file is
// walked up to `reach` bytes past `from`.
std::string xmlEntriesStandingFirst(int fd, uint64_t from, uint64_t size, uint64_t reach,
                                    const PropertyListSalvagePlan& plan, uint64_t room) {
    XmlFileWalk walk(fd, std::min(size, from + reach));
    struct Found {
        uint64_t begin, end;
    };
    std::vector<Found> first[2];
    uint64_t taken[2] = {0, 0};
    std::optional<Found> cut;
    uint64_t cutBytes = 0;
    std::unordered_set<std::string> met;
    walkXmlEntries(walk, from, [&](const Tag& key, const Element& keyEnd, const Tag& value,
                                   const std::optional<Element>& valueEnd) {
        // The key as the reader reads it, or its first bytes when it is long.
        std::string name;
        if (key.kind == Tag::kOpen) {
            const uint64_t inner = keyEnd.lastTag - key.end;
            for (uint64_t i = 0; i < std::min<uint64_t>(inner, 16 * kPropertyListKeyPeekBytes); ++i)
                name += walk[key.end + i];
            if (inner <= 16 * kPropertyListKeyPeekBytes && name.find_first_of("&<") != std::string::npos) {
                const std::string element = walk.read(key.begin, keyEnd.end - key.begin);
                name = xmlKeyText(element, {key.kind, 0, key.end - key.begin}, element.size()).value_or("");
            }
            if (name.size() > kPropertyListKeyPeekBytes) name.resize(kPropertyListKeyPeekBytes);
        }
        const Value::Type type = xmlValueType(walk, value);
        const int rank = plan.standing(name, type);
        if (rank >= 2 || !met.insert(name).second) return !walk.failed();
        const Found entry{key.begin, valueEnd ? valueEnd->end : walk.size()};
        const uint64_t bytes = entry.end - entry.begin;
        const uint64_t own = plan.entryBound ? plan.entryBound(name).bytes : room;
        if (rank == 0) {
            if (valueEnd && bytes <= own && taken[0] + bytes <= room) {
                first[0].push_back(entry);
                taken[0] += bytes;
            } else if (!cut && type == Value::Type::List) {
                cut = entry;
                cutBytes = std::min(bytes, own);
            }
        } else if (valueEnd && taken[0] + taken[1] + bytes <= room) {
            first[1].push_back(entry);
            taken[1] += bytes;
        }
        return !walk.failed();
    });
    // The user's values first, the owner's keys in what they and the
    // user's list leave, the list last (its text ends cut short).
    std::string text;
    uint64_t left = room;
    for (const Found& entry : first[0]) {
        text += walk.read(entry.begin, entry.end - entry.begin);
        left -= entry.end - entry.begin;
    }
    const uint64_t listBytes = cut ? std::min(cutBytes, left) : 0;
    left -= listBytes;
    for (const Found& entry : first[1]) {
        if (entry.end - entry.begin > left) continue;
        text += walk.read(entry.begin, entry.end - entry.begin);
        left -= entry.end - entry.begin;
    }
    if (cut) text += walk.read(cut->begin, listBytes);
    if (walk.failed()) return {};
    return text;
}

}  // namespace

Value::Dictionary salvagePropertyListDictionary(std::string_view xml, const PropertyListSalvagePlan& plan) {
    const PropertyListBounds bounds = propertyListBounds();
    const PropertyListBounds listShare = salvagedListShare(bounds);
    if (xml.substr(0, 8) == "bplist00") {
        PropertyListRefusal refusal;
        PropertyListCharge charge(&refusal, {bounds.values / 2, bounds.bytes / 2});
        return salvageBinaryPropertyListDictionary(xml, charge, listShare, plan);
    }
    Value::Dictionary kept;
    Budget budget{bounds.values / 2, bounds.bytes / 2};
    XmlEntries dictionary = xmlEntries(xml);
    const std::vector<XmlEntry>& found = dictionary.found;
    const std::vector<PropertyListEntry>& entries = dictionary.entries;
    std::vector<PropertyListKeepStep> steps;
    if (plan) {
        steps = plan.choose(entries, {budget.values, budget.bytes});
    } else {
        for (size_t i = 0; i < entries.size(); ++i) steps.push_back({i});
    }
    for (const PropertyListKeepStep& step : steps) {
        if (step.entry >= found.size()) continue;
        const XmlEntry& entry = found[step.entry];
        const std::string& name = entries[step.entry].key;
        // A key met again: the first of its entries to stay is the one it keeps.
        if (kept.count(name)) continue;
        const Tag& value = entry.value;
        const std::optional<Element>& valueEnd = entry.valueEnd;
        const uint64_t values = valueEnd ? 1 + valueEnd->values : 0;
        const uint64_t bytes = valueEnd ? valueEnd->end - entry.keyBegin : 0;
        std::optional<Value> read;
        if (!step.leading && valueEnd && budget.fits(values, bytes))
            read = readAlone("<array>" + std::string(xml.substr(value.begin, valueEnd->end - value.begin)) +
                             "</array>");
        // Charged as the writer will write it, one level deep.
        PropertyListSize entrySize{0, 0};
        const bool whole = read && read->list() && read->list()->size() == 1;
        if (whole) {
            const PropertyListSize size = propertyListSize(read->list()->front(), 1);
            entrySize.values = 1 + size.values;
            entrySize.bytes = plistxml::keyBytes(1, plistxml::escapedLength(name)) + size.bytes;
        }
        if (whole && budget.fits(entrySize.values, entrySize.bytes)) {
            budget.take(entrySize.values, entrySize.bytes);
            kept[name] = std::move(read->list()->front());
        } else if (value.kind == Tag::kOpen && tagNamed(xml, value, "array")) {
            // Too large, damaged or cut short inside this list: its leading
            // items that read.
            const PropertyListBounds room = step.leading ? step.room : listShare;
            Budget share{std::min({budget.values, room.values, listShare.values}),
                         std::min({budget.bytes, room.bytes, listShare.bytes})};
            Value list(salvageListItems(xml, value, share));
            PropertyListSize size = propertyListSize(list, 1);
            size.bytes += plistxml::keyBytes(1, plistxml::escapedLength(name));
            if (valueEnd)
                std::fprintf(stderr, "property list: of \"%s\" (%llu values) the first %zu items are kept\n",
                             name.c_str(), static_cast<unsigned long long>(valueEnd->values), list.list()->size());
            budget.take(std::min(budget.values, size.values + 1), std::min(budget.bytes, size.bytes));
            kept[name] = std::move(list);
        } else if (valueEnd && !budget.fits(values, bytes)) {
            std::fprintf(stderr, "property list: an entry of %llu values and %llu bytes is left out\n",
                         static_cast<unsigned long long>(values), static_cast<unsigned long long>(bytes));
        }
    }
    if (steps.size() < entries.size())
        std::fprintf(stderr, "property list: %zu of %zu entries give way to what stays first\n",
                     entries.size() - steps.size(), entries.size());
    return kept;
}

Value::Dictionary salvagePropertyListFile(const std::filesystem::path& file, const PropertyListSalvagePlan& plan) {
    // As FileSystem reads files: never through a link, never waiting on a pipe.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {};
    struct stat status {};
    char magic[8] = {};
    const bool binary = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                        ::pread(fd, magic, sizeof magic, 0) == static_cast<ssize_t>(sizeof magic) &&
                        std::string_view(magic, sizeof magic) == "bplist00";
    const PropertyListBounds bounds = propertyListBounds();
    if (binary) {
        PropertyListRefusal refusal;
        PropertyListCharge charge(&refusal, {bounds.values / 2, bounds.bytes / 2});
        auto kept = salvageBinaryPropertyListFile(fd, static_cast<uint64_t>(status.st_size), charge,
                                                  salvagedListShare(bounds), plan);
        ::close(fd);
        return kept;
    }
    std::string head;
    if (!FileSystem::readFileHead(file, head, bounds.bytes)) {
        ::close(fd);
        return {};
    }
    // What the part read cut short: the entries that stand first, from the
    // rest of the file, in its place.
    if (const uint64_t size = static_cast<uint64_t>(status.st_size); plan.standing && size > head.size()) {
        if (const std::optional<size_t> rest = xmlEntries(head).rest) {
            head.resize(*rest);
            head += xmlEntriesStandingFirst(fd, *rest, size, kPropertyListSalvageReach * bounds.bytes, plan,
                                            bounds.bytes / 2);
        }
    }
    ::close(fd);
    return salvagePropertyListDictionary(head, plan);
}

}  // namespace foundation
