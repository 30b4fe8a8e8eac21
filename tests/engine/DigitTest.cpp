#include <gtest/gtest.h>

#include "Calvaro/engine/Digit.h"
#include "tests/engine/EngineTestSupport.h"

namespace {

TEST(Digit, InvertTwiceGivesBackTheFieldsAndBlankIsRefused) {
    Digit d = digit(3, 4, {pi()});
    d.setZVariable("x");
    d.setPowerOfZVariable(2);
    ASSERT_TRUE(d.invert());
    EXPECT_TRUE(d.z() == 4.0 && d.n() == 3.0 && d.zConstants().empty() && d.nConstants() == NaturalConstants{pi()});
    EXPECT_TRUE(d.zVariable().empty() && d.nVariable() == "x" && d.powerOfNVariable() == 2.0);
    Digit copy(std::nullopt, 1);
    copy.assign(d);  // values, not references
    ASSERT_TRUE(d.invert());
    EXPECT_TRUE(d.z() == 3.0 && d.n() == 4.0 && d.zConstants() == NaturalConstants{pi()} && d.zVariable() == "x");
    EXPECT_TRUE(copy.z() == 4.0 && copy.nConstants() == NaturalConstants{pi()} && copy.nVariable() == "x");
    Digit blank(std::nullopt, 5);
    EXPECT_FALSE(blank.invert());
    EXPECT_TRUE(!blank.z() && blank.n() == 5.0);
}

}  // namespace
