// The direct writer must give nanopb's bytes for every message and every kind
// of value: a wrong wire type, a lost sign extension, a length sized from the
// wrong element or a field written out of order all show up as a difference.

#include <gtest/gtest.h>

#include <bit>
#include <limits>

#include "MessageTestSupport.h"

namespace {

TEST(DirectEncoding, EveryMessageAndValueKindEncodesAsNanopbDoes) {
    LogCapture log;
    const Profile profiles[] = {
        {"zeros and empty", 0, "", 1},
        {"small", 1, "a", 2},
        {"int32 minus one", 0xFFFFFFFFull, "\xC3\xA4", 3},
        {"high bits over 32-bit cells", 0xFFFFFFFF00000100ull, std::string(130, 'x'), 2},
        {"int64 extremes", static_cast<uint64_t>(std::numeric_limits<int64_t>::min()),
         std::string(20000, 'y'), 1},
        {"double bits", std::bit_cast<uint64_t>(-2.5), "z", 4},
        {"float bits", std::bit_cast<uint32_t>(1.5f), "w", 1},
        {"no elements", 7, "v", 0},
    };
    for (const Profile& profile : profiles) {
        for (size_t i = 0; i < kMSRPBMessageCount; ++i) {
            const MSRPBMessageType& type = MSRPBMessageTypeFor(static_cast<MSRPBMessageID>(i));
            SCOPED_TRACE(std::string(profile.name) + " / " + type.name);
            NANOMessageInfoPtr info = NANOMessageInfoCreate(type);
            fill(*info, profile, 3);
            std::optional<Bytes> direct = NANOMessageInfoEncode(*info);
            ASSERT_TRUE(direct);
            EXPECT_EQ(direct, NANOMessageInfoEncodeWithNanopb(*info));
        }
    }
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
}

// Nesting well past what decoding accepts still encodes, and each level's
// length prefix grows by a byte at the right places.
TEST(DirectEncoding, DeepAndWideNestingEncodesAsNanopbDoes) {
    LogCapture log;
    const struct {
        int depth;
        size_t siblings;
    } cases[] = {{1, 0}, {2, 1}, {20, 2}, {200, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.depth << " levels, " << c.siblings << " siblings");
        NANOMessageInfoPtr root = NANOMessageInfoCreate(MSRPBEventParam::type());
        NANOMessageInfo* level = root.get();
        for (int d = 0; d < c.depth; ++d) {
            level->fields[0] = std::string("p") + std::to_string(d);
            level->fields[2] = uint64_t(d);
            auto& children = std::get<std::vector<NANOMessageInfoPtr>>(level->fields[5]);
            for (size_t s = 0; s < c.siblings; ++s) {
                children.push_back(NANOMessageInfoCreate(MSRPBEventParam::type()));
                children.back()->fields[1] = std::string(60, 'a');
            }
            children.push_back(NANOMessageInfoCreate(MSRPBEventParam::type()));
            level = children.back().get();
        }
        std::optional<Bytes> direct = NANOMessageInfoEncode(*root);
        ASSERT_TRUE(direct);
        EXPECT_EQ(direct, NANOMessageInfoEncodeWithNanopb(*root));
    }
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
}

}  // namespace
