#include <gtest/gtest.h>

#include "platform/math/MathLabel.h"
#include "platform/ui/Snapshot.h"

namespace {

// The snapshot is what golden tests of the screens compare, so LaTeX must
// come through unchanged (backslashes and braces included) and an emptied
// label must vanish from it.
TEST(MathLabelTest, SnapshotShowsTheLatexKeptVerbatim) {
    auto parent = std::make_shared<ui::View>();
    auto label = std::make_shared<math::MathLabel>();
    parent->addSubview(label);
    label->setLatex("f\\left(x\\right) = \\log_{2}(x) \\quad  \\;\\color{#ff3333}{x}");
    EXPECT_EQ(ui::Snapshot::ofView(*parent), "math \"f\\left(x\\right) = \\log_{2}(x) \\quad  \\;\\color{#ff3333}{x}\"\n");
    label->setLatex("");
    EXPECT_EQ(ui::Snapshot::ofView(*parent), "");
}

}  // namespace
