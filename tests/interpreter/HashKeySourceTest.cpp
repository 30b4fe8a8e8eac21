// Where the hash key comes from, through sources a test hands in: the
// system call's bytes however they arrive; the random device whenever the
// call gives no whole key (missing, filtered, or ending early), the call's
// part then dropped; and no key at all, never a guessable one, when the
// device cannot be read to 16 bytes.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "analytics/interpreter/MSRPText.h"
#include "tests/support/TemporaryDataRoot.h"

namespace {

// Bytes 1..16 as the key's two words read them.
std::array<uint64_t, 2> keyOf(unsigned char first) {
    std::array<uint64_t, 2> words{};
    unsigned char bytes[16];
    for (int i = 0; i < 16; ++i) bytes[i] = static_cast<unsigned char>(first + i);
    std::memcpy(words.data(), bytes, sizeof(bytes));
    return words;
}

// A system call that answers each call with the next of `answers`: a count
// of bytes (filled from `next`), or a negative errno. Past its answers, ENOSYS.
struct ScriptedCall {
    std::vector<int> answers;
    unsigned char next = 1;
    size_t calls = 0;
    ssize_t operator()(void* buffer, size_t size) {
        const int answer = calls < answers.size() ? answers[calls] : -ENOSYS;
        ++calls;
        if (answer < 0) {
            errno = -answer;
            return -1;
        }
        const size_t given = std::min(size, static_cast<size_t>(answer));
        for (size_t i = 0; i < given; ++i) static_cast<unsigned char*>(buffer)[i] = next++;
        return static_cast<ssize_t>(given);
    }
};

struct SourceRow {
    const char* name;
    std::vector<int> answers;
    // Bytes in the device file, -1 for no file.
    int deviceBytes;
    // The first byte of the expected key (bytes counting up from it), 0 for none.
    unsigned char keyFrom;
};

TEST(HashKeySource, TheCallThenTheDeviceElseNoKey) {
    const SourceRow rows[] = {
        {"the call gives it whole", {16}, -1, 1},
        {"the call gives it in parts", {5, 11}, -1, 1},
        {"the call is interrupted once", {-EINTR, 16}, -1, 1},
        {"the call is missing", {-ENOSYS}, 64, 101},
        {"the call is filtered", {-EPERM}, 64, 101},
        {"the call ends early: its part is dropped", {8, -ENOSYS}, 64, 101},
        {"the call gives nothing", {0}, 64, 101},
        {"the call is missing and so is the device", {-ENOSYS}, -1, 0},
        {"the device ends early", {-ENOSYS}, 10, 0},
        {"the device is empty", {-ENOSYS}, 0, 0},
    };
    TemporaryDataRoot folder("hash-key");
    for (const SourceRow& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string device = (folder.path() / "random").string();
        std::filesystem::remove(device);
        if (row.deviceBytes >= 0) {
            std::ofstream out(device, std::ios::binary);
            for (int i = 0; i < row.deviceBytes; ++i) out.put(static_cast<char>(101 + i));
        }
        ScriptedCall call{row.answers};
        MSRPText::HashKeySource source{[&call](void* buffer, size_t size) { return call(buffer, size); }, device};
        std::optional<std::array<uint64_t, 2>> key = MSRPText::drawHashKey(source);
        if (row.keyFrom == 0) {
            EXPECT_FALSE(key) << "a key was made of nothing the system gave";
        } else {
            ASSERT_TRUE(key);
            EXPECT_EQ(*key, keyOf(row.keyFrom));
        }
        EXPECT_LE(call.calls, row.answers.size() + 1) << "the call was asked again after it failed";
    }
}

}  // namespace
