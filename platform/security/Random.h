#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace security {

// Where random bytes come from. The default reads OpenSSL's secure generator,
// and the system's random device where that generator cannot start; tests
// install a scripted source.
class RandomSource {
public:
    virtual ~RandomSource() = default;
    // Fills `length` bytes; false when the source fails.
    virtual bool fill(uint8_t* out, size_t length) = 0;
};

// Fills `length` bytes from the random device at `device` (/dev/urandom);
// false when it cannot be read to the end.
bool readRandomDevice(const std::string& device, uint8_t* out, size_t length);

// Installs `source` (null: the secure default). The caller keeps ownership and
// uninstalls it before destroying it.
void setRandomSource(RandomSource* source);

// False when the source fails (the buffer is then zeroed).
bool randomBytes(uint8_t* out, size_t length);
std::optional<std::vector<uint8_t>> randomBytes(size_t length);

// A uniformly distributed integer in [0, upperBound) without modulo bias; 0
// when upperBound is below 2 or the source fails.
uint32_t randomUniform(uint32_t upperBound);

// Eight random bytes read as a signed integer in the machine's byte order;
// nothing when the source fails.
std::optional<int64_t> randomInt64();

// A scripted source for tests: hands out the queued bytes in order, then fails
// (or repeats the last byte when `repeatLast`).
class ScriptedRandomSource : public RandomSource {
public:
    explicit ScriptedRandomSource(std::vector<uint8_t> bytes = {}, bool repeatLast = false);
    void append(const std::vector<uint8_t>& bytes);
    void append32(uint32_t value);  // in the machine's byte order
    void setFailing(bool failing);
    bool fill(uint8_t* out, size_t length) override;

private:
    std::mutex mutex_;
    std::deque<uint8_t> bytes_;
    bool repeatLast_;
    bool failing_ = false;
    std::optional<uint8_t> last_;
};

}  // namespace security
