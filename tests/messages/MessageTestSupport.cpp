#include "MessageTestSupport.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <numeric>
#include <sstream>

#include "tests/support/TemporaryDataRoot.h"

NANOMessageBase build(const MSRPBMessageType& type, const Fields& fields) {
    NANOMessageBase message(type);
    for (const auto& [index, value] : fields) {
        const uint32_t word = type.fields[index].word;
        if (const auto* number = std::get_if<int64_t>(&value)) {
            if (word & kMSRPBKindBool)
                MSRPBSetBool(message, index, *number != 0);
            else if (word & (kMSRPBKindInt64 | kMSRPBKindUInt64))
                MSRPBSetInt64(message, index, *number);
            else
                MSRPBSetInt32(message, index, static_cast<int32_t>(*number));
        } else if (const auto* real = std::get_if<double>(&value)) {
            MSRPBSetDouble(message, index, *real);
        } else if (const auto* text = std::get_if<std::string>(&value)) {
            MSRPBSetString(message, index, *text);
        } else if (const auto* scalars = std::get_if<std::vector<MSRPBValue>>(&value)) {
            MSRPBSetArray(message, index, *scalars);
        } else if (const auto* nested = std::get_if<NANOMessageBase>(&value)) {
            MSRPBSetMessage(message, index, *nested);
        } else {
            std::vector<const NANOMessageBase*> elements;
            for (const NANOMessageBase& element : std::get<std::vector<NANOMessageBase>>(value))
                elements.push_back(&element);
            MSRPBSetMessageArray(message, index, elements);
        }
    }
    return message;
}

std::string textFormat(const NANOMessageBase& message, const std::string& indent) {
    const MSRPBMessageType& type = message.messageType();
    std::vector<uint32_t> order(type.fieldCount);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](uint32_t a, uint32_t b) { return type.fields[a].tag < type.fields[b].tag; });
    std::ostringstream out;
    out << std::boolalpha;
    for (uint32_t index : order) {
        const MSRPBFieldSpec& field = type.fields[index];
        const std::string name = indent + (*field.name ? field.name : "extra_" + std::to_string(field.tag));
        const bool repeated = (field.word & kMSRPBLabelRepeated) != 0;
        if (field.word & kMSRPBKindMessage) {
            const MSRPBMessageType& elementType = MSRPBMessageTypeFor(field.element);
            std::vector<NANOMessageBase> nested;
            if (repeated)
                nested = MSRPBGetMessageArray(message, index, elementType);
            else if (auto one = MSRPBGetMessage(message, index, elementType))
                nested.push_back(std::move(*one));
            for (const NANOMessageBase& element : nested) {
                out << name << " {\n" << textFormat(element, indent + "  ") << indent << "}\n";
            }
        } else if (repeated) {
            for (const MSRPBValue& value : MSRPBGetArray(message, index)) {
                out << name << ": ";
                if (const auto* text = std::get_if<std::string>(&value))
                    out << '"' << *text << '"';
                else
                    std::visit(
                        [&](auto v) {
                            if constexpr (std::is_arithmetic_v<decltype(v)>) out << v;
                        },
                        value);
                out << "\n";
            }
        } else if (MSRPBHasField(message, index)) {
            out << name << ": ";
            if (field.word & kMSRPBKindBool)
                out << MSRPBGetBool(message, index);
            else if (field.word & (kMSRPBKindInt32 | kMSRPBKindEnum))
                out << MSRPBGetInt32(message, index);
            else if (field.word & kMSRPBKindInt64)
                out << MSRPBGetInt64(message, index);
            else if (field.word & kMSRPBKindString)
                out << '"' << MSRPBGetString(message, index).value_or("") << '"';
            else
                out << MSRPBGetDouble(message, index);
            out << "\n";
        }
    }
    return out.str();
}

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string goldenPath(const std::string& name) {
    return std::string(CALVARO_GOLDEN_DIR) + "/messages/" + name;
}

}  // namespace

Bytes mutated(const Bytes& bytes, uint64_t& state, int round) {
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    Bytes out = bytes;
    if (out.empty()) return out;
    const size_t at = next() % out.size();
    switch (round % 4) {
        case 0:
            out[at] ^= static_cast<uint8_t>(1u << (next() % 8));
            break;
        case 1:
            out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(next()));
            break;
        case 2:
            out.erase(out.begin() + static_cast<std::ptrdiff_t>(at));
            break;
        default:
            out.resize(at);
            break;
    }
    return out;
}

Bytes readGolden(const std::string& name) {
    const std::string bytes = readFile(goldenPath(name));
    return Bytes(bytes.begin(), bytes.end());
}

void expectMatchesGolden(const std::string& name, const Bytes& bytes) {
    const char* update = std::getenv("CALVARO_UPDATE_GOLDEN");
    if (update != nullptr && std::string(update) == "1") {
        std::ofstream(goldenPath(name), std::ios::binary | std::ios::trunc)
            << std::string(bytes.begin(), bytes.end());
        return;
    }
    EXPECT_EQ(readGolden(name), bytes) << "golden " << name << " differs";
}

std::optional<std::string> protoc(const char* mode, const std::string& protoFile, const std::string& message,
                                  const std::string& input) {
    const TemporaryDataRoot scratch("protoc");
    const std::string base = (scratch.path() / message).string();
    std::ofstream(base + ".in", std::ios::binary | std::ios::trunc) << input;
    const std::string command = std::string("'") + CALVARO_PROTOC + "' --" + mode + "=msr." + message +
                                " -I '" + CALVARO_PROTO_DIR + "' '" + protoFile + "' < '" + base +
                                ".in' > '" + base + ".out'";
    if (std::system(command.c_str()) != 0) return std::nullopt;
    return readFile(base + ".out");
}

void fill(NANOMessageInfo& info, const Profile& profile, int depth) {
    const MSRPBMessageType& type = *info.type;
    for (uint32_t index = 0; index < type.fieldCount; ++index) {
        const uint32_t word = type.fields[index].word;
        const uint32_t kind = word & ~(kMSRPBLabelSingle | kMSRPBLabelRepeated);
        const bool repeated = (word & kMSRPBLabelRepeated) != 0;
        // Vary by index so neighbouring fields cannot be swapped unnoticed.
        const uint64_t value = profile.scalar ^ (index % 3 == 0 ? 0 : index);
        NANOCell& cell = info.fields[index];
        if (kind == kMSRPBKindMessage) {
            if (depth == 0) continue;
            const MSRPBMessageType& elementType = MSRPBMessageTypeFor(type.fields[index].element);
            if (!repeated) {
                NANOMessageInfoPtr nested = NANOMessageInfoCreate(elementType);
                fill(*nested, profile, depth - 1);
                cell = std::move(nested);
                continue;
            }
            auto& list = std::get<std::vector<NANOMessageInfoPtr>>(cell);
            for (size_t i = 0; i < profile.elements; ++i) {
                list.push_back(NANOMessageInfoCreate(elementType));
                if (i % 2 == 0) fill(*list.back(), profile, depth - 1);  // odd ones stay empty
            }
        } else if (kind == kMSRPBKindString || kind == kMSRPBKindBytes) {
            if (!repeated)
                cell = profile.text;
            else
                std::get<std::vector<std::string>>(cell).assign(profile.elements, profile.text);
        } else if (repeated) {
            auto& list = std::get<std::vector<uint64_t>>(cell);
            for (size_t i = 0; i < profile.elements; ++i) list.push_back(value + i);
        } else {
            cell = value;
        }
    }
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes lengthDelimited(uint8_t key, const Bytes& payload) {
    Bytes out{key};
    uint64_t size = payload.size();
    for (; size >= 0x80; size >>= 7) out.push_back(static_cast<uint8_t>(size | 0x80));
    out.push_back(static_cast<uint8_t>(size));
    return concat({out, payload});
}

std::vector<uint32_t> repeatedMessageFields(const MSRPBMessageType& type) {
    std::vector<uint32_t> indexes;
    for (uint32_t index = 0; index < type.fieldCount; ++index) {
        const uint32_t word = type.fields[index].word;
        if ((word & kMSRPBLabelRepeated) && (word & kMSRPBKindMessage)) indexes.push_back(index);
    }
    return indexes;
}

DecodeOutcome decodeWith(const Decoder& decoder, const MSRPBMessageType& type, const Bytes& bytes) {
    LogCapture log;
    NANOMessageInfoPtr info = NANOMessageInfoCreate(type);
    const bool ok = decoder(*info, bytes.data(), bytes.size());
    return {ok, std::move(info), log.lines()};
}

DecodeOutcome expectSameDecode(const Decoder& reference, const Decoder& candidate, const MSRPBMessageType& type,
                               const Bytes& bytes, const std::string& label) {
    const DecodeOutcome expected = decodeWith(reference, type, bytes);
    DecodeOutcome got = decodeWith(candidate, type, bytes);
    EXPECT_EQ(got.ok, expected.ok) << label;
    EXPECT_EQ(got.log, expected.log) << label;
    if (got.ok && expected.ok) {
        EXPECT_TRUE(NANOMessageInfoEquals(*got.info, *expected.info)) << label;
    }
    return got;
}
