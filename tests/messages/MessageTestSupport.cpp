#include "MessageTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <unistd.h>

LogCapture::LogCapture() { MSRMonitor::setShared(MSRMonitor::initWithLogLevel(6, sink_, 110100)); }

LogCapture::~LogCapture() { MSRMonitor::setShared(nullptr); }

const std::vector<std::string>& LogCapture::lines()
{
    executor_.runUntilIdle();
    return sink_->reports;
}

bool LogCapture::contains(const std::string& fragment)
{
    for (const std::string& line : lines()) {
        if (line.find(fragment) != std::string::npos) return true;
    }
    return false;
}

NANOMessageBase build(const MSRPBMessageType& type, const Fields& fields)
{
    NANOMessageBase message(type);
    for (const auto& [index, value] : fields) {
        const uint32_t word = type.fields[index].word;
        if (const auto* number = std::get_if<int64_t>(&value)) {
            if (word & kMSRPBKindBool) MSRPBSetBool(message, index, *number != 0);
            else if (word & (kMSRPBKindInt64 | kMSRPBKindUInt64)) MSRPBSetInt64(message, index, *number);
            else MSRPBSetInt32(message, index, static_cast<int32_t>(*number));
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
            for (const NANOMessageBase& element : std::get<std::vector<NANOMessageBase>>(value)) elements.push_back(&element);
            MSRPBSetMessageArray(message, index, elements);
        }
    }
    return message;
}

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

namespace {

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string goldenPath(const std::string& name) { return std::string(CALVARO_GOLDEN_DIR) + "/messages/" + name; }

}  // namespace

Bytes readGolden(const std::string& name) { return readFile(goldenPath(name)); }

void expectMatchesGolden(const std::string& name, const Bytes& bytes)
{
    const char* update = std::getenv("CALVARO_UPDATE_GOLDEN");
    if (update != nullptr && std::string(update) == "1") {
        writeFile(goldenPath(name), std::string(bytes.begin(), bytes.end()));
        return;
    }
    EXPECT_EQ(readGolden(name), bytes) << "golden " << name << " differs";
}

bool protocAvailable() { return std::string(CALVARO_PROTOC).size() > 0; }

std::optional<std::string> protoc(const char* mode, const std::string& protoFile, const std::string& message,
                                  const std::string& input)
{
    if (!protocAvailable()) return std::nullopt;
    const std::string base = testing::TempDir() + "msg-" + std::to_string(getpid()) + "-" + message;
    writeFile(base + ".in", input);
    const std::string command = std::string("'") + CALVARO_PROTOC + "' --" + mode + "=msr." + message + " -I '" +
                                CALVARO_PROTO_DIR + "' '" + protoFile + "' < '" + base + ".in' > '" + base + ".out'";
    if (std::system(command.c_str()) != 0) return std::nullopt;
    const Bytes out = readFile(base + ".out");
    return std::string(out.begin(), out.end());
}
