#include "analytics/messages/MSRPBWireCount.h"

#include <pb_decode.h>

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "analytics/messages/NANOMessageInfo.h"

namespace {

// Adds to `tally` the occurrences of the field at the end of `path` in the
// message read from `stream`.
bool countEncodedFields(pb_istream_t& stream, const MSRPBMessageType& type, std::span<const uint32_t> path,
                        MSRPBEncodedFieldTally& tally) {
    const MSRPBFieldSpec& field = type.fields[path.front()];
    const bool last = path.size() == 1;
    size_t here = 0;
    while (stream.bytes_left > 0) {
        pb_wire_type_t wireType;
        uint32_t tag = 0;
        bool eof = false;
        if (!pb_decode_tag(&stream, &wireType, &tag, &eof)) return false;
        if (tag != field.tag || !(last || wireType == PB_WT_STRING)) {
            if (!pb_skip_field(&stream, wireType)) return false;
            continue;
        }
        if (last) {
            ++here;
            if (wireType == PB_WT_STRING) {
                uint32_t length = 0;
                if (!pb_decode_varint32(&stream, &length) || !pb_read(&stream, nullptr, length)) return false;
                tally.bytes += length;
                continue;
            }
            const size_t before = stream.bytes_left;
            if (!pb_skip_field(&stream, wireType)) return false;
            tally.bytes += before - stream.bytes_left;
            continue;
        }
        pb_istream_t element;
        if (!pb_make_string_substream(&stream, &element)) return false;
        const bool read =
            countEncodedFields(element, MSRPBMessageTypeFor(field.element), path.subspan(1), tally);
        if (!pb_close_string_substream(&stream, &element) || !read) return false;
    }
    tally.total += here;
    tally.mostInOneMessage = std::max(tally.mostInOneMessage, here);
    return true;
}

// Adds to `count` the messages of `sought` nested at any depth in the
// message of `type` read from `stream` (`depth` its own nesting).
bool countNestedMessages(pb_istream_t& stream, const MSRPBMessageType& type, MSRPBMessageID sought, int depth,
                         size_t& count) {
    if (depth > kNANOMaxNestingDepth) return false;
    while (stream.bytes_left > 0) {
        pb_wire_type_t wireType;
        uint32_t tag = 0;
        bool eof = false;
        if (!pb_decode_tag(&stream, &wireType, &tag, &eof)) return false;
        const MSRPBFieldSpec* field = nullptr;
        for (uint32_t i = 0; i < type.fieldCount && !field; ++i)
            if (type.fields[i].tag == tag) field = &type.fields[i];
        if (!field || (field->word & kMSRPBKindMessage) == 0 || wireType != PB_WT_STRING) {
            if (!pb_skip_field(&stream, wireType)) return false;
            continue;
        }
        if (field->element == sought) ++count;
        pb_istream_t element;
        if (!pb_make_string_substream(&stream, &element)) return false;
        const bool read =
            countNestedMessages(element, MSRPBMessageTypeFor(field->element), sought, depth + 1, count);
        if (!pb_close_string_substream(&stream, &element) || !read) return false;
    }
    return true;
}

// Adds to `tally` the messages of `sought` within each occurrence of the
// message field at the end of `path` in the message read from `stream`.
bool tallyNestedMessages(pb_istream_t& stream, const MSRPBMessageType& type, std::span<const uint32_t> path,
                         MSRPBMessageID sought, int depth, MSRPBEncodedFieldTally& tally) {
    const MSRPBFieldSpec& field = type.fields[path.front()];
    while (stream.bytes_left > 0) {
        pb_wire_type_t wireType;
        uint32_t tag = 0;
        bool eof = false;
        if (!pb_decode_tag(&stream, &wireType, &tag, &eof)) return false;
        if (tag != field.tag || wireType != PB_WT_STRING) {
            if (!pb_skip_field(&stream, wireType)) return false;
            continue;
        }
        pb_istream_t element;
        if (!pb_make_string_substream(&stream, &element)) return false;
        const MSRPBMessageType& elementType = MSRPBMessageTypeFor(field.element);
        bool read = false;
        if (path.size() == 1) {
            size_t count = field.element == sought ? 1 : 0;
            read = countNestedMessages(element, elementType, sought, depth + 1, count);
            tally.total += count;
            tally.mostInOneMessage = std::max(tally.mostInOneMessage, count);
        } else {
            read = tallyNestedMessages(element, elementType, path.subspan(1), sought, depth + 1, tally);
        }
        if (!pb_close_string_substream(&stream, &element) || !read) return false;
    }
    return true;
}

// Whether `path` names message fields only, from `type` on.
bool isMessagePath(const MSRPBMessageType& type, std::initializer_list<uint32_t> path) {
    const MSRPBMessageType* step = &type;
    for (const uint32_t index : path) {
        if (index >= step->fieldCount || (step->fields[index].word & kMSRPBKindMessage) == 0) return false;
        step = &MSRPBMessageTypeFor(step->fields[index].element);
    }
    return path.size() > 0;
}

}  // namespace

std::optional<MSRPBEncodedFieldTally> MSRPBTallyEncodedNestedMessages(std::span<const uint8_t> encodedMessage,
                                                                      const MSRPBMessageType& type,
                                                                      std::initializer_list<uint32_t> path,
                                                                      MSRPBMessageID sought) {
    if (!isMessagePath(type, path)) return std::nullopt;
    MSRPBEncodedFieldTally tally;
    pb_istream_t stream = pb_istream_from_buffer(encodedMessage.data(), encodedMessage.size());
    if (!tallyNestedMessages(stream, type, std::span<const uint32_t>(path.begin(), path.size()), sought, 0,
                             tally))
        return std::nullopt;
    return tally;
}

std::optional<size_t> MSRPBCountEncodedFields(std::span<const uint8_t> encodedMessage,
                                              const MSRPBMessageType& type,
                                              std::initializer_list<uint32_t> path) {
    const std::optional<MSRPBEncodedFieldTally> tally = MSRPBTallyEncodedFields(encodedMessage, type, path);
    if (!tally) return std::nullopt;
    return tally->total;
}

std::optional<MSRPBEncodedFieldTally> MSRPBTallyEncodedFields(std::span<const uint8_t> encodedMessage,
                                                              const MSRPBMessageType& type,
                                                              std::initializer_list<uint32_t> path) {
    if (path.size() == 0) return std::nullopt;
    const MSRPBMessageType* step = &type;
    for (auto index = path.begin(); index != path.end(); ++index) {
        if (*index >= step->fieldCount) return std::nullopt;
        if (index + 1 == path.end()) break;
        if ((step->fields[*index].word & kMSRPBKindMessage) == 0) return std::nullopt;
        step = &MSRPBMessageTypeFor(step->fields[*index].element);
    }
    MSRPBEncodedFieldTally tally;
    pb_istream_t stream = pb_istream_from_buffer(encodedMessage.data(), encodedMessage.size());
    if (!countEncodedFields(stream, type, std::span<const uint32_t>(path.begin(), path.size()), tally))
        return std::nullopt;
    return tally;
}

// ---- The one wire count ------------------------------------------------------------------

namespace {

using Scope = MSRPBWireScope;
using ID = MSRPBMessageID;

// A row of the table as written: the field by its name in the .proto file,
// so that the table reads as the messages do.
struct WireBoundRow {
    ID message;
    const char* field;  // "" for kTypePerAnswer
    Scope scope;
    size_t most;
    int64_t code;
    const char* text;
};

// Every repeated field of every message a server sends, at every depth, is
// named here (a test walks the messages' field lists and fails on one that
// is not), and so is the one message type whose elements are bounded
// whichever field holds them. A configuration refused by any of these keeps
// the stored one; so does an experiments answer.
constexpr WireBoundRow kWireBoundRows[] = {
    // ---- The measurement configuration (the fetcher's codes) ----
    // See MSRPBWireMost: each entry costs about 1 KB at every start.
    {ID::MeasurementConfig, "settings", Scope::kPerAnswer, MSRPBWireMost::kSettingsPerConfig, 23299,
     "Configuration contains too many settings. Configuration will not be saved. Setting count, max setting "
     "count"},
    {ID::MeasurementConfig, "event_config", Scope::kPerAnswer, MSRPBWireMost::kEventConfigsPerConfig, 23298,
     "Configuration contains too many event configurations. Configuration will not be saved. Event "
     "configuration count, max event configuration count"},
    // The setting "measurement.audience.max_count" may rise to 500 and no
    // higher; the audience evaluator refuses more than the setting after the
    // decode, so more than 500 could never be used.
    {ID::MeasurementConfig, "audiences", Scope::kPerAnswer, 500, 23301,
     "Configuration contains too many audiences. Configuration will not be saved. Audience count, max "
     "audience count"},
    // "measurement.audience.filter_max_count_per_audience" rises to 100 and
    // no higher: an audience of more filters is refused by the evaluator.
    {ID::Audience, "property_filters", Scope::kPerParent, 100, 23302,
     "Configuration contains an audience of too many property filters. Configuration will not be saved. "
     "Filter count, max filter count per audience"},
    {ID::Audience, "event_filters", Scope::kPerParent, 100, 23303,
     "Configuration contains an audience of too many event filters. Configuration will not be saved. Filter "
     "count, max filter count per audience"},
    // "measurement.audience.parameter_max_count_filter" rises to 250.
    {ID::EventFilter, "filters", Scope::kPerParent, 250, 23304,
     "Configuration contains an event filter of too many parameter filters. Configuration will not be saved. "
     "Filter count, max filter count per event filter"},
    // The audience evaluator's own bound on list entries, with its code: past
    // it no audience of the configuration could be used. Counted here, it
    // refuses the whole configuration, which the text says.
    {ID::StringFilter, "expression_list", Scope::kPerAnswer, MSRPBWireMost::kExpressionListEntries, 6045,
     "Configuration contains too many filter list entries. Configuration will not be saved; the stored one, "
     "or the defaults, stay. Entry count, max entry count"},
    // The engine loads the first program only; the others are kept with the
    // configuration and decoded again at every start. A server stages one
    // or two beside the one at work.
    {ID::MeasurementConfig, "dynamic_event_editing", Scope::kPerAnswer, 10, 23305,
     "Configuration contains too many programs. Configuration will not be saved. Program count, max program "
     "count"},
    // Every statement, literal and list element of the programs, at every
    // depth (their top levels' and their activities' together) is one
    // entity: this bounds Program.instructions, EdtActivity.data and
    // RuntimeEntity.value, which hold nothing else.
    {ID::RuntimeEntity, "", Scope::kTypePerAnswer, MSRPBWireMost::kProgramEntities, 23300,
     "Configuration contains programs of too many entities. Configuration will not be saved. Entity count, "
     "max entity count"},
    // An activity handles events of one name: no program handles more names
    // than a configuration may configure.
    {ID::EdtActivities, "activities", Scope::kPerAnswer, MSRPBWireMost::kEventConfigsPerConfig, 23306,
     "Configuration contains programs of too many activities. Configuration will not be saved. Activity "
     "count, max activity count"},
    // Every data control is applied to every bundle of every upload; the
    // engine knows about a dozen kinds.
    {ID::MeasurementConfig, "data_controls", Scope::kPerAnswer, 100, 23307,
     "Configuration contains too many data controls. Configuration will not be saved. Data control count, "
     "max data control count"},
    // Carried only, never read, but each control may name its own regions:
    // the longest list that means anything names every country (ISO 3166-1
    // has 249 codes), and 300 leaves room for a few regions within them.
    // Bounded per control, so that controls of ordinary lists never refuse a
    // configuration together; with the controls' bound the sum stays within
    // 30,000 small messages.
    {ID::DataControl, "opt_out_regions", Scope::kPerParent, 300, 23308,
     "Configuration contains a data control of too many opt-out regions. Configuration will not be saved. "
     "Region count, max region count per data control"},
    // Four consent types, each named once in a map; four times as many
    // leaves room for types this engine does not know (an entry of another
    // type is ignored, not refused).
    {ID::ConsentConfig, "defaults", Scope::kPerAnswer, 16, 23309,
     "Configuration contains too many consent defaults. Configuration will not be saved. Default count, max "
     "default count"},
    {ID::ConsentConfig, "delegations", Scope::kPerAnswer, 16, 23310,
     "Configuration contains too many consent delegations. Configuration will not be saved. Delegation "
     "count, max delegation count"},
    {ID::ConsentConfig, "enforced_defaults", Scope::kPerAnswer, 16, 23311,
     "Configuration contains too many regional consent defaults. Configuration will not be saved. Default "
     "count, max default count"},
    // Their names are written into every bundle; a platform has a handful.
    {ID::ConsentConfig, "core_platform_services", Scope::kPerAnswer, 100, 23312,
     "Configuration contains too many core platform services. Configuration will not be saved. Service "
     "count, max service count"},

    // ---- The experiments answer and its stored snapshots (the experiments codes) ----
    // One snapshot, and one per-library answer, per client library of the
    // process (the request names each); a process holds a handful. Every
    // snapshot is a row written in the answer's transaction.
    {ID::ExperimentResponse, "snapshots", Scope::kPerAnswer, 100, 820034,
     "Fetched answer holds too many snapshots. Snapshots will not be stored. Snapshot count, max snapshot "
     "count"},
    {ID::ExperimentResponse, "sdk_responses", Scope::kPerAnswer, 100, 820035,
     "Fetched answer holds too many library answers. Snapshots will not be stored. Library answer count, max "
     "library answer count"},
    // See MSRPBWireMost for the experiments' and the flags' bounds.
    {ID::Snapshot, "experiments", Scope::kPerAnswer, MSRPBWireMost::kExperimentsPerAnswer, 820030,
     "Fetched answer holds too many experiments. Snapshots will not be stored. Experiment count, max "
     "experiment count"},
    {ID::Experiment, "flags", Scope::kPerParent, MSRPBWireMost::kFlagsPerExperiment, 820031,
     "Fetched answer holds an experiment of too many flags. Snapshots will not be stored. Flag count, max "
     "flag count per experiment"},
    {ID::Experiment, "flags", Scope::kPerAnswer, MSRPBWireMost::kFlagsPerAnswer, 820032,
     "Fetched answer holds too many flags. Snapshots will not be stored. Flag count, max flag count"},
    {ID::Experiment, "flags", Scope::kBytesPerAnswer, MSRPBWireMost::kFlagBytesPerAnswer, 820033,
     "Fetched answer holds flags of too many bytes. Snapshots will not be stored. Flag bytes, max flag "
     "bytes"},
};

// The message elements of one configuration: the engine's largest lists
// together (10,000 settings, 10,000 event configurations, 100,000 program
// entities) and 80,000 for its audiences' filters and the rest. A message
// sent again and again in a single field is merged, but each is read and
// counted.
constexpr size_t kConfigElements = 200'000;
// What the bounds above let an experiments answer hold together, rounded
// up: 100 snapshots, 100 library answers with a snapshot each, 1,000
// experiments and 10,000 flags.
constexpr size_t kExperimentElements = 12'000;
// A repeated field of a configuration or an answer that the table does not
// name: the engine's own bound for its named lists.
constexpr size_t kUnnamedField = 10'000;

constexpr MSRPBWireRoot kWireRoots[] = {
    {ID::MeasurementConfig,
     {ID::MeasurementConfig, 0, Scope::kPerAnswer, kConfigElements, 23313,
      "Configuration contains too many messages. Configuration will not be saved. Message count, max message "
      "count"},
     {ID::MeasurementConfig, 0, Scope::kPerAnswer, kUnnamedField, 23314,
      "Configuration contains a list of too many entries. Configuration will not be saved. Entry count, max "
      "entry count"}},
    {ID::ExperimentResponse,
     {ID::ExperimentResponse, 0, Scope::kPerAnswer, kExperimentElements, 820036,
      "Fetched answer holds too many messages. Snapshots will not be stored. Message count, max message "
      "count"},
     {ID::ExperimentResponse, 0, Scope::kPerAnswer, kUnnamedField, 820037,
      "Fetched answer holds a list of too many entries. Snapshots will not be stored. Entry count, max entry "
      "count"}},
    // A snapshot read back from the experiments database was stored from an
    // answer, within its bounds.
    {ID::Snapshot,
     {ID::Snapshot, 0, Scope::kPerAnswer, kExperimentElements, 820036,
      "Stored snapshot holds too many messages. Message count, max message count"},
     {ID::Snapshot, 0, Scope::kPerAnswer, kUnnamedField, 820037,
      "Stored snapshot holds a list of too many entries. Entry count, max entry count"}},
    // Holds no message and no list today.
    {ID::SkAdNetworkConversionValueResponse,
     {ID::SkAdNetworkConversionValueResponse, 0, Scope::kPerAnswer, 100, 23256,
      "SKAdNetwork conversion value data holds too many messages. Message count, max message count"},
     {ID::SkAdNetworkConversionValueResponse, 0, Scope::kPerAnswer, 100, 23257,
      "SKAdNetwork conversion value data holds a list of too many entries. Entry count, max entry count"}},
};

// The table with field indexes, and for every field of every message the
// bounds that hold it, found once.
struct WireTable {
    std::vector<MSRPBWireBound> bounds;
    std::array<size_t, kMSRPBMessageCount + 1> firstField{};  // flat index of each message's first field
    struct FieldBounds {
        const MSRPBWireBound* answer = nullptr;
        const MSRPBWireBound* parent = nullptr;
        const MSRPBWireBound* bytes = nullptr;
    };
    std::vector<FieldBounds> fields;  // by flat index
    std::array<const MSRPBWireBound*, kMSRPBMessageCount> types{};
    std::array<bool, kMSRPBMessageCount> hasParentBound{};

    WireTable() {
        for (size_t id = 0; id < kMSRPBMessageCount; ++id)
            firstField[id + 1] = firstField[id] + MSRPBMessageTypeFor(static_cast<ID>(id)).fieldCount;
        fields.resize(firstField[kMSRPBMessageCount]);
        bounds.reserve(std::size(kWireBoundRows));
        for (const WireBoundRow& row : kWireBoundRows) {
            const MSRPBMessageType& type = MSRPBMessageTypeFor(row.message);
            uint32_t index = 0;
            if (row.scope != Scope::kTypePerAnswer) {
                while (index < type.fieldCount && std::string_view(type.fields[index].name) != row.field)
                    ++index;
            }
            // A row naming no field of its message (its index is the field
            // count) is a mistake of this file, which the table's test reports.
            bounds.push_back({row.message, index, row.scope, row.most, row.code, row.text});
        }
        for (const MSRPBWireBound& bound : bounds) {
            const size_t id = static_cast<size_t>(bound.message);
            if (bound.scope != Scope::kTypePerAnswer &&
                bound.field >= MSRPBMessageTypeFor(bound.message).fieldCount)
                continue;
            if (bound.scope == Scope::kTypePerAnswer) {
                types[id] = &bound;
                continue;
            }
            FieldBounds& field = fields[firstField[id] + bound.field];
            if (bound.scope == Scope::kPerAnswer) field.answer = &bound;
            if (bound.scope == Scope::kBytesPerAnswer) field.bytes = &bound;
            if (bound.scope == Scope::kPerParent) {
                field.parent = &bound;
                hasParentBound[id] = true;
            }
        }
    }
};

const WireTable& wireTable() {
    static const WireTable table;
    return table;
}

// One walk over one answer: the counts so far, and the refusal once a
// bound is passed.
class WireWalk {
  public:
    WireWalk(const WireTable& table, const MSRPBWireRoot& root)
        : table_(table),
          root_(root),
          fieldCounts_(table.fields.size()),
          fieldBytes_(table.fields.size()),
          typeCounts_{} {}

    enum class Outcome { kWithin, kRefused, kUnreadable };

    Outcome message(pb_istream_t& stream, const MSRPBMessageType& type, int depth) {
        if (depth > kNANOMaxNestingDepth) return Outcome::kUnreadable;
        const size_t first = table_.firstField[static_cast<size_t>(type.id)];
        // Occurrences within this one message, for bounds per parent.
        std::vector<size_t> here;
        if (table_.hasParentBound[static_cast<size_t>(type.id)]) here.resize(type.fieldCount);
        while (stream.bytes_left > 0) {
            pb_wire_type_t wireType;
            uint32_t tag = 0;
            bool eof = false;
            if (!pb_decode_tag(&stream, &wireType, &tag, &eof)) return Outcome::kUnreadable;
            uint32_t index = 0;
            while (index < type.fieldCount && type.fields[index].tag != tag) ++index;
            const MSRPBFieldSpec* field = index < type.fieldCount ? &type.fields[index] : nullptr;
            const bool isMessage = field && (field->word & kMSRPBKindMessage) != 0;
            const bool repeated = field && (field->word & kMSRPBLabelRepeated) != 0;
            const bool lengthDelimited = wireType == PB_WT_STRING;
            // A single message must come length-delimited (the decode refuses
            // it otherwise); an element of a repeated one may come as a
            // number, whose bytes the decode reads as the element's.
            if (!field || (!repeated && !isMessage) || (!repeated && !lengthDelimited)) {
                if (!pb_skip_field(&stream, wireType)) return Outcome::kUnreadable;
                continue;
            }
            path_.push_back(field);
            // The bytes the occurrence holds, and how many entries it is.
            size_t bytes = 0;
            size_t entries = 1;
            pb_istream_t element{};
            if (lengthDelimited) {
                if (!pb_make_string_substream(&stream, &element)) return Outcome::kUnreadable;
                bytes = element.bytes_left;
                if (repeated && !isMessage) {
                    const std::optional<size_t> packed = packedEntries(element, field->word);
                    if (!packed) return Outcome::kUnreadable;
                    entries = *packed;
                }
            } else {
                element = stream;
                const size_t before = stream.bytes_left;
                if (!pb_skip_field(&stream, wireType)) return Outcome::kUnreadable;
                bytes = before - stream.bytes_left;
                element.bytes_left = bytes;
            }
            const size_t flat = first + index;
            const WireTable::FieldBounds& bounds = table_.fields[flat];
            if (repeated) {
                fieldCounts_[flat] += entries;
                // A field the table names in any way, or whose elements it
                // bounds by their type, is held by that; any other by the
                // root's bound for unnamed fields.
                const MSRPBWireBound* answer = bounds.answer;
                if (!answer && !bounds.parent && !bounds.bytes &&
                    !(isMessage && table_.types[static_cast<size_t>(field->element)]))
                    answer = &root_.unnamed;
                if (answer && passed(*answer, fieldCounts_[flat])) return Outcome::kRefused;
                if (bounds.parent && passed(*bounds.parent, here[index] += entries)) return Outcome::kRefused;
            }
            if (bounds.bytes && passed(*bounds.bytes, fieldBytes_[flat] += bytes)) return Outcome::kRefused;
            if (isMessage) {
                if (passed(root_.elements, ++elements_)) return Outcome::kRefused;
                const size_t elementID = static_cast<size_t>(field->element);
                ++typeCounts_[elementID];
                if (table_.types[elementID] && passed(*table_.types[elementID], typeCounts_[elementID]))
                    return Outcome::kRefused;
                const Outcome inner = message(element, MSRPBMessageTypeFor(field->element), depth + 1);
                if (inner != Outcome::kWithin) return inner;
            }
            if (lengthDelimited && !pb_close_string_substream(&stream, &element)) return Outcome::kUnreadable;
            path_.pop_back();
        }
        return Outcome::kWithin;
    }

    MSRPBWireRefusal takeRefusal() { return std::move(refusal_); }

  private:
    // The entries of a packed run of numbers.
    static std::optional<size_t> packedEntries(pb_istream_t element, uint32_t word) {
        if (word & kMSRPBKindDouble)
            return element.bytes_left % 8 ? std::nullopt : std::optional(element.bytes_left / 8);
        if (word & kMSRPBKindFloat)
            return element.bytes_left % 4 ? std::nullopt : std::optional(element.bytes_left / 4);
        if (word & (kMSRPBKindString | kMSRPBKindBytes)) return 1;
        size_t entries = 0;
        while (element.bytes_left > 0) {
            uint64_t value = 0;
            if (!pb_decode_varint(&element, &value)) return std::nullopt;
            ++entries;
        }
        return entries;
    }

    bool passed(const MSRPBWireBound& bound, size_t count) {
        if (count <= bound.most) return false;
        refusal_.fieldPath = MSRPBMessageTypeFor(root_.message).name;
        for (const MSRPBFieldSpec* step : path_) {
            refusal_.fieldPath += '.';
            refusal_.fieldPath += *step->name ? std::string(step->name) : "#" + std::to_string(step->tag);
        }
        refusal_.count = count;
        refusal_.bound = bound.most;
        refusal_.code = bound.code;
        refusal_.text = bound.text;
        return true;
    }

    const WireTable& table_;
    const MSRPBWireRoot& root_;
    std::vector<size_t> fieldCounts_;
    std::vector<size_t> fieldBytes_;
    std::array<size_t, kMSRPBMessageCount> typeCounts_;
    size_t elements_ = 0;
    std::vector<const MSRPBFieldSpec*> path_;
    MSRPBWireRefusal refusal_;
};

}  // namespace

std::span<const MSRPBWireBound> MSRPBWireBounds() {
    return wireTable().bounds;
}

std::span<const MSRPBWireRoot> MSRPBWireRoots() {
    return kWireRoots;
}

const MSRPBWireRoot* MSRPBWireRootOf(MSRPBMessageID message) {
    for (const MSRPBWireRoot& root : kWireRoots)
        if (root.message == message) return &root;
    return nullptr;
}

std::optional<MSRPBWireRefusal> MSRPBWireRefusalOf(std::span<const uint8_t> encodedMessage,
                                                   MSRPBMessageID root) {
    const MSRPBWireRoot* wireRoot = MSRPBWireRootOf(root);
    if (!wireRoot) return std::nullopt;
    WireWalk walk(wireTable(), *wireRoot);
    pb_istream_t stream = pb_istream_from_buffer(encodedMessage.data(), encodedMessage.size());
    if (walk.message(stream, MSRPBMessageTypeFor(root), 0) != WireWalk::Outcome::kRefused)
        return std::nullopt;
    return walk.takeRefusal();
}
