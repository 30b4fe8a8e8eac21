#include "platform/foundation/BinaryPropertyListReader.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <errno.h>
#include <unistd.h>

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Text.h"

namespace foundation {
namespace {

// The bytes of a binary file held whole in memory: a file within the
// readers' bounds, read as it always was.
class BinaryReaderMemory {
public:
    explicit BinaryReaderMemory(std::string_view bytes) : bytes_(bytes) {}

    uint64_t size() const { return bytes_.size(); }
    bool failed() const { return false; }
    uint8_t byteAt(uint64_t at) const { return static_cast<uint8_t>(bytes_[at]); }
    uint64_t readInt(uint64_t at, size_t width) const {
        const auto* bytes = reinterpret_cast<const uint8_t*>(bytes_.data() + at);
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) value = (value << 8) | bytes[i];
        return value;
    }
    // `length` bytes from `at`; the caller has charged them first.
    std::string_view span(uint64_t at, uint64_t length) const { return bytes_.substr(at, length); }

private:
    std::string_view bytes_;
};

// The bytes of an open file too large to hold whole (its trailer and offset
// table are at its end), read a block at a time as a walk reaches them. A
// read that fails reads as zeros and marks the source failed.
class BinaryReaderFile {
public:
    BinaryReaderFile(int fd, uint64_t size) : fd_(fd), size_(size) {}

    uint64_t size() const { return size_; }
    bool failed() const { return failed_; }

    uint8_t byteAt(uint64_t at) {
        const uint64_t block = at / kBlockBytes;
        const Block* slot = &blocks_[last_];
        if (slot->number != block) slot = &fetch(block);
        return static_cast<uint8_t>(slot->bytes[at % kBlockBytes]);
    }
    uint64_t readInt(uint64_t at, size_t width) {
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) value = (value << 8) | byteAt(at + i);
        return value;
    }

    // `length` bytes from `at`, valid until the next call. The caller has
    // charged them first.
    std::string_view span(uint64_t at, uint64_t length) {
        span_.resize(length);
        if (!readAt(at, span_.data(), length)) {
            std::fill(span_.begin(), span_.end(), '\0');
            failed_ = true;
        }
        return span_;
    }

private:
    static constexpr uint64_t kBlockBytes = 64 * 1024;
    static constexpr size_t kBlocks = 16;
    struct Block {
        uint64_t number = UINT64_MAX;
        uint64_t used = 0;
        std::string bytes;
    };

    // The block held, or read in place of the one used least recently: a
    // walk reads a few places of the file at once (references, objects,
    // the offset table), each in order.
    const Block& fetch(uint64_t block) {
        size_t victim = 0;
        for (size_t i = 0; i < kBlocks; ++i) {
            if (blocks_[i].number == block) {
                victim = i;
                break;
            }
            if (blocks_[i].used < blocks_[victim].used) victim = i;
        }
        Block& slot = blocks_[victim];
        slot.used = ++clock_;
        last_ = victim;
        if (slot.number != block) {
            slot.number = block;
            slot.bytes.resize(kBlockBytes);
            const uint64_t length = std::min<uint64_t>(kBlockBytes, size_ - block * kBlockBytes);
            if (!readAt(block * kBlockBytes, slot.bytes.data(), length)) {
                std::fill(slot.bytes.begin(), slot.bytes.end(), '\0');
                failed_ = true;
            }
        }
        return slot;
    }

    bool readAt(uint64_t at, char* out, uint64_t length) {
        while (length > 0) {
            const ssize_t n = ::pread(fd_, out, length, static_cast<off_t>(at));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            out += n;
            at += static_cast<uint64_t>(n);
            length -= static_cast<uint64_t>(n);
        }
        return true;
    }

    int fd_;
    uint64_t size_;
    bool failed_ = false;
    Block blocks_[kBlocks];
    size_t last_ = 0;
    uint64_t clock_ = 0;
    std::string span_;
};

// The keys a salvage has met, each noted by the place that holds it (an
// entry it keeps, a key of the file) rather than by a copy: a file of many
// keys would cost their copies twice over. Keys are told apart by a hash
// and, where hashes meet, by the keys themselves.
class BinaryPropertyListMetKeys {
public:
    // Whether `key` was met before; noted as met at `place` when not.
    // `keyAt(place)` gives the key noted at a place.
    template <typename KeyAt>
    bool metBefore(std::string_view key, uint64_t place, KeyAt keyAt) {
        if (4 * (count_ + 1) > 3 * slots_.size()) grow();
        const auto hash = static_cast<uint32_t>(std::hash<std::string_view>()(key));
        size_t at = hash & (slots_.size() - 1);
        for (; slots_[at].taken; at = (at + 1) & (slots_.size() - 1))
            if (slots_[at].hash == hash && std::string_view(keyAt(slots_[at].place)) == key) return true;
        slots_[at] = {hash, static_cast<uint32_t>(place), true};
        ++count_;
        return false;
    }

private:
    struct Slot {
        uint32_t hash = 0;
        uint32_t place : 31 = 0;
        uint32_t taken : 1 = 0;
    };
    void grow() {
        std::vector<Slot> old(std::max<size_t>(16, 2 * slots_.size()));
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (!slot.taken) continue;
            size_t at = slot.hash & (slots_.size() - 1);
            while (slots_[at].taken) at = (at + 1) & (slots_.size() - 1);
            slots_[at] = slot;
        }
    }
    std::vector<Slot> slots_;
    size_t count_ = 0;
};

// Reads from `Source`; `kSalvage` readers keep what they can of a file
// refused whole, within one budget of work (salvage()), others read a file
// whole or not at all (read()) without a salvage's bookkeeping.
template <typename Source, bool kSalvage>
class BinaryPropertyListReader {
public:
    BinaryPropertyListReader(Source& source, PropertyListCharge& charge, PropertyListRefusal* refusal)
        : source_(source), charge_(&charge), refusal_(refusal) {}

    // The trailer: the sizes of offsets and references, the object count,
    // the top object and where the offset table begins.
    bool open() {
        const uint64_t size = source_.size();
        if (size < 8 + 32 || source_.span(0, 8) != "bplist00") return failed("a truncated file");
        const uint64_t trailer = size - 32;
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
        // An object past the values bound is never built: a read that
        // reaches one is past the bounds whatever the table says of it.
        checkOffsets(propertyListBounds().values);
        auto value = attempt(top_, 0);
        if (source_.failed()) return fail("a file that cannot be read");
        sayLeftOut();
        return value;
    }

    // Each entry is sized against the whole of `charge` on its own, then
    // those the plan keeps are built against what is left of it (given back
    // when one is not kept). Every walk is charged against one budget of
    // work that is never given back: an object refused once is not walked
    // again where it could fare no better, so a shared object costs its
    // walk once, however many entries refer to it.
    Value::Dictionary salvage(PropertyListBounds listShare, const PropertyListSalvagePlan& plan) {
        static_assert(kSalvage, "a salvage keeps its own bookkeeping");
        Value::Dictionary kept;
        const PropertyListBounds bounds = propertyListBounds();
        if (!openOrWalk(kPropertyListSalvageReach * bounds.values)) return kept;
        PropertyListRefusal workRefusal;
        PropertyListCharge work(&workRefusal, {4 * bounds.values, 4 * bounds.bytes});
        work.setCountingOnly();
        work_ = &work;
        size_t at = 0;
        uint64_t length = 0;
        uint8_t marker = 0;
        if (!objectAt(top_, &at, &marker) || (marker >> 4) != 0xD || !lengthAt(&at, marker, &length) ||
            length > (table_ - at) / refSize_ / 2)
            return kept;
        open_.insert(top_);
        // The sizes: each key built, each value walked without being built;
        // the entries that stand first before the rest, so that the work
        // bound costs only what stands last.
        std::vector<PropertyListEntry> entries;
        std::vector<uint64_t> valueObjects;
        // Room for as many entries as the work can size, made at once: what
        // is never filled is never touched, and a list that doubles would
        // hold two copies of many entries for a moment.
        const uint64_t sizable = std::min<uint64_t>(length, 4 * bounds.values);
        entries.reserve(sizable);
        valueObjects.reserve(sizable);
        PropertyListCharge* whole = charge_;
        // A key of the plan's met again stands as foreign and never before
        // its first entry: it is left out for the read of its key.
        BinaryPropertyListMetKeys met;
        const auto metBefore = [&](const std::string& key) {
            return plan.standing && plan.standing(key, Value::Type::Absent) < 2 &&
                   met.metBefore(key, entries.size(),
                                 [&](uint64_t place) -> const std::string& { return entries[place].key; });
        };
        const auto sizeEntry = [&](uint64_t i) {
            // Each entry looked at is work, however soon it is refused.
            if (!takeWork(1, 0)) return false;
            PropertyListCharge alone = *whole;
            alone.setCountingOnly();
            charge_ = &alone;
            refusal_->why.clear();
            refusal_->pastBounds = false;
            auto key = buildKey(readInt(at + i * refSize_, refSize_), 1);
            if (!key || metBefore(*key)) {
                charge_ = whole;
                return true;
            }
            const uint64_t valueObject = readInt(at + (length + i) * refSize_, refSize_);
            dryRun_ = true;
            const bool sized = build(valueObject, 1).has_value();
            dryRun_ = false;
            charge_ = whole;
            entries.push_back({std::move(*key), {alone.values() - whole->values(), alone.bytes() - whole->bytes()},
                               sized, typeOf(valueObject)});
            valueObjects.push_back(valueObject);
            return true;
        };
        const std::vector<uint64_t> first = entriesStandingFirst(at, length, plan, bounds);
        for (uint64_t i : first)
            if (outOfWork_ || source_.failed() || !sizeEntry(i)) break;
        std::vector<uint64_t> done(first);
        std::sort(done.begin(), done.end());
        auto next = done.begin();
        for (uint64_t i = 0; i < length && !outOfWork_ && !source_.failed(); ++i) {
            if (next != done.end() && *next == i) {
                ++next;
                continue;
            }
            if (!sizeEntry(i)) break;
        }
        std::vector<PropertyListKeepStep> steps;
        if (plan) {
            steps = plan.choose(entries, charge_->left());
        } else {
            for (size_t i = 0; i < entries.size(); ++i) steps.push_back({i});
        }
        // Built: an entry sized whole is built only when it fits what is
        // left (its walk is paid, and it cannot fail), a list that is not
        // for its leading items while work is left.
        for (const PropertyListKeepStep& step : steps) {
            if (source_.failed()) break;
            if (step.entry >= entries.size()) continue;
            const PropertyListEntry& entry = entries[step.entry];
            const std::string& key = entry.key;
            // A key met again: the first of its entries to stay is the one it keeps.
            if (kept.count(key)) continue;
            const uint64_t valueObject = valueObjects[step.entry];
            const uint64_t values = charge_->values();
            const uint64_t bytes = charge_->bytes();
            const PropertyListBounds left = charge_->left();
            if (!step.leading && entry.sized && entry.size.values <= left.values && entry.size.bytes <= left.bytes &&
                charge_->take(1, plistxml::keyBytes(1, plistxml::escapedLength(key)))) {
                rebuilding_ = true;
                auto value = build(valueObject, 1);
                rebuilding_ = false;
                if (value) {
                    kept.emplace(key, std::move(*value));
                    continue;
                }
            }
            charge_->restore(values, bytes);
            if (outOfWork_) continue;
            // Of a list too large or damaged inside, its leading items.
            PropertyListBounds room = listShare;
            if (step.leading) {
                // What is left for it, less its key; the charge begins at
                // the file's head and tail, which it gives back below.
                const uint64_t keyBytes = plistxml::keyBytes(1, plistxml::escapedLength(key));
                room = {std::min(step.room.values, listShare.values), std::min(step.room.bytes, listShare.bytes)};
                room = {room.values > 0 ? room.values - 1 : 0,
                        (room.bytes > keyBytes ? room.bytes - keyBytes : 0) + plistxml::fileBytes()};
            }
            PropertyListRefusal listRefusal;
            PropertyListCharge listCharge(&listRefusal, room);
            charge_ = &listCharge;
            auto items = leadingItems(valueObject, listRefusal);
            charge_ = whole;
            if (!items) continue;
            if (!charge_->take(listCharge.values() + 1,
                               listCharge.bytes() - plistxml::fileBytes() +
                                   plistxml::keyBytes(1, plistxml::escapedLength(key)))) {
                charge_->restore(values, bytes);
                continue;
            }
            kept.emplace(key, Value(std::move(*items)));
        }
        if (outOfWork_)
            std::fprintf(stderr, "property list: salvage stopped after %llu values and %llu bytes of work\n",
                         static_cast<unsigned long long>(work.values()), static_cast<unsigned long long>(work.bytes()));
        // What a failed read of the file gave is not trusted.
        if (source_.failed()) kept.clear();
        else
            sayLeftOut();
        work_ = nullptr;
        return kept;
    }

private:
    // The trailer, or where it is missing or names objects outside the file
    // (a file cut short, a damaged offset table), the objects found by a walk
    // from the header (see walkFromHead()).
    bool openOrWalk(uint64_t most) {
        if (open()) {
            checkOffsets(most);
            return !source_.failed();
        }
        const uint64_t size = source_.size();
        if (size < 9 || source_.span(0, 8) != "bplist00") return false;
        refusal_->why.clear();
        return walkFromHead({1, 2, 4, 8}, size, most);
    }

    // The offset table checked against the walk from the header, which
    // meets the objects in the order a writer numbers them, each beginning
    // where the one before it ends: on a clean file the two agree object by
    // object and nothing is kept. Where they disagree the walk decides,
    // unless the walk's object is not whole, or only the table's ends where
    // the table's next begins (a damaged length sends the walk astray, not
    // the table); where the walk cannot go on, the table's next offset
    // takes it up again. The first `most` objects (at most one a byte) are
    // checked; the table stands for the rest.
    void checkOffsets(uint64_t most) {
        const uint64_t checked = std::min({count_, most, static_cast<uint64_t>(table_ - 8)});
        uint64_t at = 8, length = 0, refs = 0, i = 0;
        for (; i < checked && !source_.failed(); ++i) {
            if (tableOffset(i) != at || !objectLength(at, table_, refSize_, &length, &refs)) break;
            at += length;
        }
        if (i == checked || source_.failed()) return;
        walked_.assign(checked, 0);
        for (uint64_t agreed = 0; agreed < i; ++agreed) walked_[agreed] = tableOffset(agreed);
        // Where the walk expects object i; 0 where it cannot tell.
        uint64_t expected = at;
        for (; i < checked && !source_.failed(); ++i) {
            const uint64_t listed = tableOffset(i);
            const uint64_t next = i + 1 < count_ ? tableOffset(i + 1) : table_;
            uint64_t walkedLength = 0, listedLength = 0;
            const bool walkedWhole =
                expected != 0 && objectLength(expected, table_, refSize_, &walkedLength, &refs);
            const bool listedWhole = listed != expected && listed >= 8 && listed < table_ &&
                                     objectLength(listed, table_, refSize_, &listedLength, &refs);
            if (listedWhole &&
                (!walkedWhole || (listed + listedLength == next && expected + walkedLength != next))) {
                walked_[i] = listed;
                expected = listed + listedLength;
            } else if (walkedWhole) {
                walked_[i] = expected;
                expected += walkedLength;
            } else {
                expected = 0;
            }
        }
    }

    uint64_t tableOffset(uint64_t object) { return readInt(table_ + object * offsetSize_, offsetSize_); }

    // The objects from the header to `end` in the order of the file, each
    // sized by its marker, under the one of `refSizes` whose walk is
    // consistent and whose references reach the most objects it found (a
    // writer takes the least size that numbers its objects, so under a
    // larger one references read past them, and under a smaller one the
    // walk soon meets a byte that is no marker), then the one that finds the
    // most objects. Consistent: the top object (the first written) a
    // dictionary, and each key of a dictionary found a string. The walk
    // ends at the first object that is not whole before `end` or has no
    // property-list form, or after `most` objects; what lies past it is
    // outside the file.
    bool walkFromHead(const std::vector<size_t>& refSizes, uint64_t end, uint64_t most) {
        std::vector<uint64_t> best;
        uint64_t bestEnd = 0, bestReached = 0;
        size_t bestRefSize = 0;
        for (size_t refSize : refSizes) {
            std::vector<uint64_t> offsets;
            uint64_t at = 8, length = 0, refs = 0;
            while (at < end && offsets.size() < most && !source_.failed()) {
                if (!objectLength(at, end, refSize, &length, &refs) || length > end - at) break;
                if (offsets.empty() && (byteAt(at) >> 4) != 0xD) break;
                offsets.push_back(at);
                at += length;
            }
            // The references of each container found, sized again.
            bool sound = !offsets.empty();
            uint64_t reached = 0;
            for (uint64_t object : offsets) {
                objectLength(object, end, refSize, &length, &refs);
                const uint64_t from = object + length - refs * refSize;
                const uint64_t keys = (byteAt(object) >> 4) == 0xD ? refs / 2 : 0;
                for (uint64_t i = 0; i < refs && sound; ++i) {
                    const uint64_t ref = readInt(from + i * refSize, refSize);
                    if (ref >= offsets.size()) continue;
                    const uint8_t kind = byteAt(offsets[ref]) >> 4;
                    sound = i >= keys || kind == 0x5 || kind == 0x6;
                    reached += ref > 0;
                }
                if (!sound) break;
            }
            if (!sound || reached < bestReached || (reached == bestReached && offsets.size() <= best.size())) continue;
            best = std::move(offsets);
            bestEnd = at;
            bestReached = reached;
            bestRefSize = refSize;
        }
        if (best.empty() || source_.failed()) return failed("no objects from the header");
        walked_ = std::move(best);
        refSize_ = bestRefSize;
        count_ = walked_.size();
        top_ = 0;
        table_ = bestEnd;
        return true;
    }

    // The bytes of the object at `at` by its marker, and how many
    // references end it; false for a marker without a property-list form
    // or a length that runs past `end`.
    bool objectLength(uint64_t at, uint64_t end, size_t refSize, uint64_t* length, uint64_t* refs) {
        const uint8_t marker = byteAt(at);
        const uint8_t low = marker & 0x0F;
        *refs = 0;
        const auto counted = [&](uint64_t unit) {
            uint64_t head = 1, count = low;
            if (low == 0x0F) {
                if (at + 1 >= end || (byteAt(at + 1) & 0xF0) != 0x10) return false;
                const size_t width = size_t{1} << (byteAt(at + 1) & 0x0F);
                if (width > 8 || at + 2 + width > end) return false;
                count = readInt(at + 2, width);
                head = 2 + width;
            }
            if (count > (end - at) / unit) return false;
            *length = head + count * unit;
            if (marker >> 4 >= 0xA) *refs = count * unit / refSize;
            return true;
        };
        switch (marker >> 4) {
            case 0x0:
                *length = 1;
                return marker == 0x08 || marker == 0x09;
            case 0x1:
                *length = 1 + (uint64_t{1} << std::min<uint8_t>(low, 5));
                return low <= 4;
            case 0x2:
                *length = 1 + (uint64_t{1} << std::min<uint8_t>(low, 5));
                return low == 2 || low == 3;
            case 0x3:
                *length = 9;
                return marker == 0x33;
            case 0x4:
            case 0x5:
                return counted(1);
            case 0x6:
                return counted(2);
            case 0xA:
            case 0xC:
                return counted(refSize);
            case 0xD:
                return counted(2 * refSize);
            default:
                return false;
        }
    }

    // The entries of the top dictionary (its keys from `at`) that the plan
    // puts before keys it does not know: where they stand, then in the
    // order of the file, at most as many of each standing as the bounds
    // hold values. Each key is peeked at, nothing built or charged, within
    // the salvage's reach.
    std::vector<uint64_t> entriesStandingFirst(size_t at, uint64_t length, const PropertyListSalvagePlan& plan,
                                               PropertyListBounds bounds) {
        if (!plan.standing) return {};
        std::vector<uint64_t> standing[2];
        // A key met again stands with the keys nobody writes: its repeats
        // cost a peek each, never the salvage's work.
        BinaryPropertyListMetKeys met;
        std::string key, before;
        const auto keyOf = [&](uint64_t place) -> const std::string& {
            peekKey(readInt(at + place * refSize_, refSize_), before);
            return before;
        };
        const uint64_t peeked = std::min(length, kPropertyListSalvageReach * bounds.values);
        for (uint64_t i = 0; i < peeked && !source_.failed(); ++i) {
            if (!peekKey(readInt(at + i * refSize_, refSize_), key)) continue;
            const int rank = plan.standing(key, typeOf(readInt(at + (length + i) * refSize_, refSize_)));
            if (rank < 0 || rank >= 2 || met.metBefore(key, i, keyOf)) continue;
            if (standing[rank].size() < bounds.values) standing[rank].push_back(i);
        }
        refusal_->why.clear();
        standing[0].insert(standing[0].end(), standing[1].begin(), standing[1].end());
        return std::move(standing[0]);
    }

    // The type of the value `object` by its marker, nothing built; Absent
    // for an object without a property-list form.
    Value::Type typeOf(uint64_t object) {
        size_t at = 0;
        uint8_t marker = 0;
        if (!objectAt(object, &at, &marker)) return Value::Type::Absent;
        switch (marker >> 4) {
            case 0x0:
                return marker == 0x08 || marker == 0x09 ? Value::Type::Bool : Value::Type::Absent;
            case 0x1:
                return Value::Type::Integer;
            case 0x2:
                return Value::Type::Double;
            case 0x3:
                return Value::Type::Date;
            case 0x4:
                return Value::Type::Bytes;
            case 0x5:
            case 0x6:
                return Value::Type::String;
            case 0xA:
            case 0xC:
                return Value::Type::List;
            case 0xD:
                return Value::Type::Dictionary;
            default:
                return Value::Type::Absent;
        }
    }

    // The first kPropertyListKeyPeekBytes bytes of the key `object` (or
    // a few more, to end a character) as UTF-8; false when it is no string.
    bool peekKey(uint64_t object, std::string& key) {
        key.clear();
        size_t at = 0;
        uint8_t marker = 0;
        uint64_t length = 0;
        if (!objectAt(object, &at, &marker) || ((marker >> 4) != 0x5 && (marker >> 4) != 0x6) ||
            !lengthAt(&at, marker, &length))
            return false;
        if ((marker >> 4) == 0x5) {
            if (!within(at, length, 1)) return false;
            // Byte by byte from the source's blocks: a span of a large file
            // is a read of its own.
            for (uint64_t i = 0; i < std::min<uint64_t>(length, kPropertyListKeyPeekBytes); ++i)
                key += static_cast<char>(byteAt(at + i));
            return true;
        }
        if (!within(at, length, 2)) return false;
        for (uint64_t i = 0; i < length && key.size() < kPropertyListKeyPeekBytes; ++i)
            appendUtf8(key, utf16CodeAt(at, length, &i));
        return true;
    }

    // The code point of the UTF-16 unit at `*i` of the `length` from `at`,
    // with the unit after it when they are a pair (`*i` then moves to it).
    uint32_t utf16CodeAt(size_t at, uint64_t length, uint64_t* i) {
        const uint32_t code = static_cast<uint32_t>(readInt(at + 2 * *i, 2));
        if (code >= 0xD800 && code < 0xDC00 && *i + 1 < length) {
            const uint32_t low = static_cast<uint32_t>(readInt(at + 2 * *i + 2, 2));
            if (low >= 0xDC00 && low < 0xE000) {
                ++*i;
                return 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            }
        }
        return code;
    }

    // Walks the object once charging only, then builds it: what a file
    // past the bounds costs is its walk, not the copies made before the
    // walk reaches the bound.
    std::optional<Value> attempt(uint64_t object, uint64_t depth) {
        PropertyListCharge* real = charge_;
        PropertyListCharge dry = *charge_;
        dry.setCountingOnly();
        charge_ = &dry;
        dryRun_ = true;
        const bool fits = build(object, depth).has_value();
        dryRun_ = false;
        charge_ = real;
        if (!fits) {
            charge_->restore(dry.values(), dry.bytes());
            return std::nullopt;
        }
        // Built as walked: its work is paid.
        rebuilding_ = true;
        auto value = build(object, depth);
        rebuilding_ = false;
        return value;
    }

    // A salvage's work, taken beside every charge of a walk.
    bool takeWork(uint64_t values, uint64_t bytes) {
        if constexpr (!kSalvage) return true;
        if (!work_ || rebuilding_) return true;
        if (work_->take(values, bytes)) return true;
        outOfWork_ = true;
        ++boundRefusals_;
        return failed("more work than a salvage may do");
    }
    bool take(uint64_t values, uint64_t bytes) {
        if (!takeWork(values, bytes)) return false;
        if (charge_->take(values, bytes)) return true;
        ++boundRefusals_;
        return false;
    }
    // In a salvage, refuses as past the bounds a value of at least `bytes`
    // that cannot fit, before it is read (a read of the whole file in
    // memory scans it once anyway). Called as `kSalvage && !mayFit(...)`:
    // a plain read spends nothing on it.
    bool mayFit(uint64_t bytes) {
        if (!work_ || charge_->mayTake(1, bytes)) return true;
        ++boundRefusals_;
        return false;
    }

    // In a salvage: whether `object` was refused before at this depth or
    // above with at least as much left as now (and so fails again), and
    // noting a refusal.
    bool refusedBefore(uint64_t object, uint64_t depth) {
        if (!work_) return false;
        const auto found = refused_.find(object);
        if (found == refused_.end()) return false;
        const PropertyListBounds left = charge_->left();
        if (found->second.depth > depth || left.values > found->second.left.values ||
            left.bytes > found->second.left.bytes)
            return false;
        // Refused again for what it was refused for.
        if (found->second.pastBounds) ++boundRefusals_;
        return true;
    }
    void noteRefused(uint64_t object, uint64_t depth, PropertyListBounds left, bool pastBounds) {
        if (work_ && !outOfWork_) refused_.insert_or_assign(object, Refused{depth, left, pastBounds});
    }

    std::nullopt_t fail(const std::string& why) {
        if (refusal_->why.empty()) refusal_->why = why;
        return std::nullopt;
    }
    bool failed(const std::string& why) {
        fail(why);
        return false;
    }

    uint8_t byteAt(size_t at) { return source_.byteAt(at); }
    uint64_t readInt(size_t at, size_t width) { return source_.readInt(at, width); }

    // Where an object begins, past its marker byte.
    bool objectAt(uint64_t object, size_t* at, uint8_t* marker) {
        if (object >= count_) return failed("a reference outside the file");
        const uint64_t offset = object < walked_.size() ? walked_[object] : tableOffset(object);
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
    // as its bytes, UTF-16 converted. Nothing for another kind of object, a
    // NUL inside, a text that is not UTF-8 (bytes outside a sequence, a lone
    // surrogate: no XML reader takes it back) or a charge past the bounds;
    // `asKey` charges it as a dictionary key.
    std::optional<std::string> buildText(uint8_t marker, size_t at, uint64_t depth, bool asKey) {
        uint64_t length = 0;
        if (!lengthAt(&at, marker, &length)) return std::nullopt;
        const auto bytesOf = [&](uint64_t escaped) {
            return asKey ? plistxml::keyBytes(depth, escaped) : plistxml::stringBytes(depth, escaped);
        };
        const auto charge = [&](uint64_t escaped) { return take(1, bytesOf(escaped)); };
        if ((marker >> 4) == 0x5) {
            if (!within(at, length, 1)) return std::nullopt;
            // Escaping only lengthens a text: one that cannot fit is not read.
            if (kSalvage && !mayFit(bytesOf(length))) return std::nullopt;
            const std::string_view text = source_.span(at, length);
            if (text.find('\0') != std::string_view::npos) return fail("a NUL in a string");
            if (!isUtf8(text)) return fail("a string that is not UTF-8");
            if (!charge(plistxml::escapedLength(text))) return std::nullopt;
            return dryRun_ ? std::string() : std::string(text);
        }
        if (!within(at, length, 2)) return std::nullopt;
        if (kSalvage && !mayFit(bytesOf(length))) return std::nullopt;
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
            if (unit >= 0xD800 && unit < 0xE000) return fail("a lone surrogate in a string");
            utf8 += unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
            escapes += unit == '&' ? 4 : (unit == '<' || unit == '>') ? 3 : 0;
        }
        if (!charge(utf8 + escapes)) return std::nullopt;
        std::string text;
        if (dryRun_) return text;
        text.reserve(utf8);
        for (uint64_t i = 0; i < length; ++i) appendUtf8(text, utf16CodeAt(at, length, &i));
        return text;
    }

    // What `walk` builds of `object`; in a salvage, an object refused once is
    // not walked again.
    template <typename Walk>
    auto walkedOnce(uint64_t object, uint64_t depth, Walk walk) -> decltype(walk()) {
        if constexpr (kSalvage) {
            if (work_) {
                if (refusedBefore(object, depth)) return fail("an object refused before");
                const PropertyListBounds left = charge_->left();
                const uint64_t refusals = boundRefusals_;
                auto built = walk();
                if (!built) noteRefused(object, depth, left, boundRefusals_ != refusals);
                return built;
            }
        }
        return walk();
    }

    std::optional<std::string> buildKey(uint64_t object, uint64_t depth) {
        return walkedOnce(object, depth, [&] { return buildKeyText(object, depth); });
    }

    std::optional<std::string> buildKeyText(uint64_t object, uint64_t depth) {
        size_t at = 0;
        uint8_t marker = 0;
        if (!objectAt(object, &at, &marker)) return std::nullopt;
        if ((marker >> 4) != 0x5 && (marker >> 4) != 0x6) return fail("a dictionary key that is no string");
        return textOnce(object, marker, at, depth, true);
    }

    // A text object as buildText() reads it; one found damaged (which takes
    // a scan of it) is refused from then on without a scan, however many
    // entries share it.
    std::optional<std::string> textOnce(uint64_t object, uint8_t marker, size_t at, uint64_t depth,
                                        bool asKey) {
        if (object < damaged_.size() && damaged_[object]) return fail("a damaged string");
        const uint64_t refusals = boundRefusals_;
        auto text = buildText(marker, at, depth, asKey);
        if (!text && boundRefusals_ == refusals && !source_.failed()) {
            if (damaged_.empty()) damaged_.resize(count_);
            if (object < damaged_.size()) damaged_[object] = true;
        }
        return text;
    }

    std::optional<Value> build(uint64_t object, uint64_t depth) {
        return walkedOnce(object, depth, [&] { return buildObject(object, depth); });
    }

    std::optional<Value> buildObject(uint64_t object, uint64_t depth) {
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
                const uint64_t bytes = plistxml::dataBytes(depth, length);
                if ((kSalvage && !mayFit(bytes)) || !take(1, bytes)) return std::nullopt;
                if (dryRun_) return Value();
                const std::string_view data = source_.span(at, length);
                const auto* begin = reinterpret_cast<const uint8_t*>(data.data());
                return Value(Value::Bytes(begin, begin + length));
            }
            case 0x5:
            case 0x6: {
                auto text = textOnce(object, marker, at, depth, false);
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
        if (!take(1, plistxml::scalarBytes(depth, value))) return std::nullopt;
        return value;
    }

    // A list (or set, read as a list) or a dictionary: keys, then values.
    std::optional<Value> buildContainer(uint64_t object, uint8_t marker, size_t at, uint64_t depth) {
        const bool dictionary = (marker >> 4) == 0xD;
        uint64_t length = 0;
        if (!lengthAt(&at, marker, &length)) return std::nullopt;
        if (!within(at, length, refSize_ * (dictionary ? 2 : 1))) return std::nullopt;
        if (!charge_->mayNest(depth)) {
            ++boundRefusals_;
            return std::nullopt;
        }
        if (!open_.insert(object).second) return fail("a reference cycle");
        auto value = dictionary ? buildDictionary(at, length, depth) : buildList(at, length, depth);
        open_.erase(object);
        return value;
    }

    bool chargeContainer(uint64_t depth, uint64_t length, bool dictionary) {
        return take(1, plistxml::containerBytes(depth, length == 0, dictionary));
    }

    std::optional<Value> buildList(size_t at, uint64_t length, uint64_t depth) {
        if (!chargeContainer(depth, length, false)) return std::nullopt;
        Value::List list;
        for (uint64_t i = 0; i < length; ++i) {
            const Entry entry = beginEntry();
            auto item = build(readInt(at + i * refSize_, refSize_), depth + 1);
            if (!item) {
                if (!leaveOut(entry)) return std::nullopt;
                continue;
            }
            if (!dryRun_) list.push_back(std::move(*item));
        }
        return Value(std::move(list));
    }

    std::optional<Value> buildDictionary(size_t at, uint64_t length, uint64_t depth) {
        if (!chargeContainer(depth, length, true)) return std::nullopt;
        Value::Dictionary dictionary;
        uint64_t read = 0;
        for (uint64_t i = 0; i < length; ++i) {
            const Entry entry = beginEntry();
            auto key = buildKey(readInt(at + i * refSize_, refSize_), depth + 1);
            std::optional<Value> item;
            if (key) item = build(readInt(at + (length + i) * refSize_, refSize_), depth + 1);
            if (!item) {
                if (!leaveOut(entry)) return std::nullopt;
                continue;
            }
            ++read;
            if (!dryRun_) dictionary.emplace(std::move(*key), std::move(*item));
        }
        // A root none of whose entries reads is damaged where they all meet
        // (the trailer's sizes, say), not in each: the file is refused, so
        // that its reader sets it aside whole and salvages it, rather than
        // taking it for an empty one and writing over it.
        if (depth == 0 && length > 0 && read == 0) return fail("no entry of the root reads");
        return Value(std::move(dictionary));
    }

    // An entry of a list or dictionary whose key or value cannot be read
    // (damaged, a reference cycle) costs that entry alone: what it took is
    // given back but one value, which pays for the look at it (a container
    // copied many times would otherwise look at its damaged entries again
    // at no cost), and its container goes on. One past the bounds, or a
    // read that failed or ran out of work, ends the container.
    struct Entry {
        uint64_t values, bytes, refusals;
    };
    Entry beginEntry() const { return {charge_->values(), charge_->bytes(), boundRefusals_}; }
    bool leaveOut(const Entry& entry) {
        if (boundRefusals_ != entry.refusals || outOfWork_ || source_.failed()) return false;
        charge_->restore(entry.values, entry.bytes);
        if (!take(1, 0)) return false;
        if (!dryRun_) ++leftOut_;
        return true;
    }
    // Once a read: how many damaged entries it left out.
    void sayLeftOut() {
        if (leftOut_ > 0)
            std::fprintf(stderr, "property list: %llu damaged entries left out\n",
                         static_cast<unsigned long long>(leftOut_));
        leftOut_ = 0;
    }

    // The items of the list `object` that read whole, in order, up to the
    // first past the bounds of its charge (`bounds` says so); an item
    // damaged inside is left out and the items after it still read.
    std::optional<Value::List> leadingItems(uint64_t object, const PropertyListRefusal& bounds) {
        size_t at = 0;
        uint8_t marker = 0;
        uint64_t length = 0;
        if (!objectAt(object, &at, &marker) || (marker >> 4) != 0xA || !lengthAt(&at, marker, &length) ||
            !within(at, length, refSize_) || !open_.insert(object).second)
            return std::nullopt;
        Value::List items;
        if (chargeContainer(1, length, false)) {
            for (uint64_t i = 0; i < length; ++i) {
                // The item that does not fit is not charged.
                const uint64_t values = charge_->values(), bytes = charge_->bytes();
                auto item = build(readInt(at + i * refSize_, refSize_), 2);
                if (!item) {
                    charge_->restore(values, bytes);
                    if (bounds.pastBounds || outOfWork_ || source_.failed()) break;
                    continue;
                }
                items.push_back(std::move(*item));
            }
        }
        open_.erase(object);
        return items;
    }

    struct Refused {
        uint64_t depth;
        PropertyListBounds left;
        bool pastBounds;
    };

    Source& source_;
    PropertyListCharge* charge_;
    PropertyListRefusal* refusal_;
    // In a salvage: its work, whether it is spent, the objects refused.
    PropertyListCharge* work_ = nullptr;
    bool outOfWork_ = false;
    bool rebuilding_ = false;
    std::unordered_map<uint64_t, Refused> refused_;
    // Refusals past the bounds or the work so far: an entry refused with
    // no new one is damaged, and left out alone.
    uint64_t boundRefusals_ = 0;
    uint64_t leftOut_ = 0;
    // The text objects found damaged, once one is.
    std::vector<bool> damaged_;
    size_t offsetSize_ = 0;
    size_t refSize_ = 0;
    uint64_t count_ = 0;
    uint64_t top_ = 0;
    size_t table_ = 0;
    bool dryRun_ = false;
    // Where each object begins, when a walk from the header found them.
    std::vector<uint64_t> walked_;
    // The lists and dictionaries being built: at most one a level.
    std::unordered_set<uint64_t> open_;
};

}  // namespace

std::optional<Value> readBinaryPropertyList(std::string_view bytes, PropertyListCharge& charge,
                                            PropertyListRefusal* refusal) {
    BinaryReaderMemory source(bytes);
    return BinaryPropertyListReader<BinaryReaderMemory, false>(source, charge, refusal).read();
}

Value::Dictionary salvageBinaryPropertyListDictionary(std::string_view bytes, PropertyListCharge& charge,
                                                      PropertyListBounds listShare, const PropertyListSalvagePlan& plan) {
    PropertyListRefusal refusal;
    BinaryReaderMemory source(bytes);
    return BinaryPropertyListReader<BinaryReaderMemory, true>(source, charge, &refusal).salvage(listShare, plan);
}

Value::Dictionary salvageBinaryPropertyListFile(int fd, uint64_t size, PropertyListCharge& charge,
                                                PropertyListBounds listShare, const PropertyListSalvagePlan& plan) {
    PropertyListRefusal refusal;
    BinaryReaderFile source(fd, size);
    return BinaryPropertyListReader<BinaryReaderFile, true>(source, charge, &refusal).salvage(listShare, plan);
}

}  // namespace foundation
