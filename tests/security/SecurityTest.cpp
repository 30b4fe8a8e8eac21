#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/security/Compression.h"
#include "platform/security/Digest.h"
#include "platform/security/Random.h"

namespace security {
namespace {

std::vector<uint8_t> bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

TEST(CompressionTest, GzipRoundTripsAndReadsWhatTheGzipToolWrites) {
    const auto noise = *randomBytes(200000);  // does not compress at all
    for (const auto& input : {bytes("a"), std::vector<uint8_t>(3 << 20, 'z'), noise}) {
        std::string error;
        auto packed = gzip(input, &error);
        ASSERT_TRUE(packed && isGzip(*packed)) << input.size() << error;
        EXPECT_EQ(inflate(*packed, &error), input) << input.size() << error;
    }
    // `printf 'hello\n' | gzip -n`
    const std::vector<uint8_t> fromTool = {0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0x03, 0xcb, 0x48, 0xcd, 0xc9, 0xc9, 0xe7, 0x02, 0x00,
                                           0x20, 0x30, 0x3a, 0x36, 0x06, 0x00, 0x00, 0x00};
    EXPECT_EQ(inflate(fromTool), bytes("hello\n"));
}

TEST(CompressionTest, RefusesBadInputWithAReason) {
    auto good = *gzip(bytes(std::string(5000, 'q') + "tail"));
    std::vector<uint8_t> corrupt = good;
    corrupt[12] ^= 0xff;
    // clang-format off
    const std::pair<std::vector<uint8_t>, size_t> cases[] = {
        {{}, 1 << 20},
        {bytes("plain text, not a stream"), 1 << 20},
        {std::vector<uint8_t>(good.begin(), good.end() - 6), 1 << 20},  // truncated
        {corrupt, 1 << 20},
        {{0x1f, 0x8b, 0x08, 0, 0, 0, 0, 0, 0, 0x03, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1 << 20},  // inflates to nothing
        {good, 1000},                                                                            // larger than allowed
        {good, 5003},                                                                            // one byte over
    };
    // clang-format on
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::string error;
        EXPECT_FALSE(inflate(cases[i].first, &error, cases[i].second)) << "case " << i;
        EXPECT_FALSE(error.empty()) << "case " << i;
    }
    std::string error;
    EXPECT_FALSE(gzip({}, &error));
    EXPECT_FALSE(error.empty());
    // Exactly at the limit is allowed, and a failure leaves the thread's kept
    // decompressor fit for the next stream.
    EXPECT_EQ(inflate(good, &error, 5004), bytes(std::string(5000, 'q') + "tail"));
    // A trailer that states far more than the stream holds changes nothing.
    std::vector<uint8_t> forged = good;
    forged[forged.size() - 1] = 0x7f;
    EXPECT_FALSE(inflate(forged, &error));
}

// A stream handed over in pieces of any size inflates to what the whole
// does; one past the bound stops there (counting holds none of it), and one
// cut short or empty fails.
TEST(CompressionTest, TheInflaterTakesAStreamInPiecesWithinItsBound) {
    std::vector<uint8_t> text(300'000);
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<uint8_t>(i * 7 % 251);
    const std::vector<uint8_t> gz = *gzip(text);
    struct Case {
        const char* what;
        std::vector<uint8_t> input;
        size_t piece;
        size_t bound;
        bool counting;
        Inflater::State state;
    } cases[] = {
        {"whole", gz, gz.size(), text.size(), false, Inflater::State::kDone},
        {"a byte at a time", gz, 1, text.size(), false, Inflater::State::kDone},
        {"in pieces of 1000", gz, 1000, text.size(), false, Inflater::State::kDone},
        {"counted", gz, 1000, text.size(), true, Inflater::State::kDone},
        {"one byte past the bound", gz, 1000, text.size() - 1, false, Inflater::State::kTooLarge},
        {"counted one byte past the bound", gz, 1000, text.size() - 1, true, Inflater::State::kTooLarge},
        {"cut short", std::vector<uint8_t>(gz.begin(), gz.end() - 9), 1000, text.size(), false,
         Inflater::State::kFailed},
        {"not compressed", text, 1000, text.size(), false, Inflater::State::kFailed},
        {"nothing inside", *gzip(std::vector<uint8_t>{0}), 3, 0, false, Inflater::State::kTooLarge},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Inflater inflater = c.counting ? Inflater::counting(c.bound) : Inflater(c.bound, text.size() / 2);
        for (size_t at = 0; at < c.input.size() && inflater.state() == Inflater::State::kMore; at += c.piece)
            inflater.feed(c.input.data() + at, std::min(c.piece, c.input.size() - at));
        EXPECT_EQ(inflater.finish(), c.state);
        if (c.state == Inflater::State::kDone) {
            EXPECT_EQ(inflater.output(), c.counting ? std::vector<uint8_t>{} : text);
        } else {
            EXPECT_FALSE(inflater.error().empty());
        }
    }
}

TEST(DigestTest, MD5MatchesTheReferenceVectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [input, expected] : vectors) {
        auto digest = md5(bytes(input));
        EXPECT_EQ(toHex(digest.data(), digest.size()), expected);
        EXPECT_EQ(md5Hex(input), expected);
    }
}

TEST(RandomTest, BoundedDrawsAreUnbiasedAndAFailingSourceIsReported) {
    ScriptedRandomSource source;
    setRandomSource(&source);
    // clang-format off
    const std::tuple<uint32_t, std::vector<uint32_t>, uint32_t> cases[] = {
        {3, {0, 5}, 2},  // 0 lies below 2^32 mod 3 = 1: drawn again
        {0x80000001u, {0x7ffffffeu, 0xfffffffeu}, 0x7ffffffdu},
        {10, {4294967295u}, 5},
        {1, {}, 0},  // a single value needs no draw
        {0, {}, 0},
    };
    // clang-format on
    for (const auto& [bound, draws, expected] : cases) {
        for (uint32_t draw : draws) source.append32(draw);
        EXPECT_EQ(randomUniform(bound), expected) << bound;
    }
    source.setFailing(true);
    uint8_t buffer[4] = {9, 9, 9, 9};
    EXPECT_FALSE(randomBytes(buffer, sizeof buffer));
    EXPECT_EQ(buffer[0] | buffer[1] | buffer[2] | buffer[3], 0);  // nothing half-random left behind
    EXPECT_FALSE(randomInt64());
    EXPECT_EQ(randomUniform(10), 0u);
    setRandomSource(nullptr);
}

TEST(RandomTest, TheSecureSourceGivesDifferentBytesEachTime) {
    auto first = randomBytes(32);
    auto second = randomBytes(32);
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
}

}  // namespace
}  // namespace security
