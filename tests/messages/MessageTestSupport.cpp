#include "MessageTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <unistd.h>

LogCapture::LogCapture() : lines_(std::make_shared<std::vector<std::string>>())
{
    auto lines = lines_;
    MSRPBSetLogSink([lines](int, int64_t, const std::string& text) { lines->push_back(text); });
}

LogCapture::~LogCapture() { MSRPBSetLogSink(nullptr); }

bool LogCapture::contains(const std::string& fragment) const
{
    for (const std::string& line : *lines_) {
        if (line.find(fragment) != std::string::npos) return true;
    }
    return false;
}

std::vector<uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string goldenPath(const std::string& name) { return std::string(CALVARO_GOLDEN_DIR) + "/messages/" + name; }

std::string scratchPath(const std::string& name)
{
    return testing::TempDir() + "msg-" + std::to_string(getpid()) + "-" + name;
}

bool protocAvailable() { return std::string(CALVARO_PROTOC).size() > 0; }

namespace {

bool runProtoc(const std::string& mode, const std::string& protoFile, const std::string& message,
               const std::string& inPath, const std::string& outPath)
{
    std::string command = std::string("'") + CALVARO_PROTOC + "' --" + mode + "=msr." + message + " -I '" +
                          CALVARO_PROTO_DIR + "' '" + protoFile + "' < '" + inPath + "' > '" + outPath + "'";
    return std::system(command.c_str()) == 0;
}

}  // namespace

std::optional<std::string> protocDecode(const std::string& protoFile, const std::string& message,
                                        const std::vector<uint8_t>& bytes)
{
    if (!protocAvailable()) return std::nullopt;
    const std::string in = scratchPath(message + ".bin"), out = scratchPath(message + ".txt");
    writeFile(in, bytes);
    if (!runProtoc("decode", protoFile, message, in, out)) return std::nullopt;
    std::vector<uint8_t> text = readFile(out);
    return std::string(text.begin(), text.end());
}

std::optional<std::vector<uint8_t>> protocEncode(const std::string& protoFile, const std::string& message,
                                                 const std::string& text)
{
    if (!protocAvailable()) return std::nullopt;
    const std::string in = scratchPath(message + ".in.txt"), out = scratchPath(message + ".out.bin");
    writeFile(in, std::vector<uint8_t>(text.begin(), text.end()));
    if (!runProtoc("encode", protoFile, message, in, out)) return std::nullopt;
    return readFile(out);
}

void expectMatchesGolden(const std::string& name, const std::vector<uint8_t>& bytes)
{
    const char* update = std::getenv("CALVARO_UPDATE_GOLDEN");
    if (update != nullptr && std::string(update) == "1") {
        writeFile(goldenPath(name), bytes);
        return;
    }
    EXPECT_EQ(readFile(goldenPath(name)), bytes) << "golden " << name << " differs";
}
