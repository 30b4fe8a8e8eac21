#include "UiTestSupport.h"
#include "platform/ui/TableView.h"
#include "platform/ui/ViewController.h"

namespace {

// A list of texts in one section, as a screen keeps its records.
class ListSource : public TextRowsSource, public ui::TableViewDelegate {
  public:
    std::map<int64_t, double> heights;

    std::optional<double> heightForRowAt(ui::TableView&, const ui::IndexPath& ip) override {
        auto it = heights.find(ip.row);
        return it == heights.end() ? std::nullopt : std::optional<double>(it->second);
    }
};

class TableViewTest : public UiTest {
  protected:
    void SetUp() override {
        UiTest::SetUp();
        table = std::make_shared<ui::TableView>(ui::Rect(0, 0, 390, 200));
        table->registerCell("row",
                            [](const std::string& id) { return std::make_shared<ui::TableViewCell>(id); });
        table->setDataSource(&source);
        table->setDelegate(&source);
    }
    void load(std::vector<std::string> rows) {
        source.rows = std::move(rows);
        table->reloadData();
    }
    std::vector<std::string> visibleTexts() {
        std::vector<std::string> texts;
        for (const auto& cell : table->visibleCells()) texts.push_back(cell->textLabel().text());
        return texts;
    }
    ListSource source;
    std::shared_ptr<ui::TableView> table;
};

TEST_F(TableViewTest, DequeueNeedsARegistrationAndReusesCells) {
    EXPECT_THROW(table->dequeueReusableCell("unknown", {0, 0}), ui::ProgrammingError);
    load({"a", "b"});
    auto first = table->visibleCells();
    ASSERT_EQ(first.size(), 2u);
    table->reloadData();
    auto second = table->visibleCells();
    // The same two cells come back from the reuse pool.
    EXPECT_TRUE((second[0] == first[0] && second[1] == first[1]) ||
                (second[0] == first[1] && second[1] == first[0]));
}

TEST_F(TableViewTest, OnlyRowsWithinTheBoundsGetCells) {
    struct Case {
        std::map<int64_t, double> heights;
        double offset;
        std::vector<std::string> expected;
    };
    // 200 points high, default rows of 44 points.
    const Case cases[] = {
        {{{0, 190}}, 0, {"0", "1"}},
        {{}, 100, {"2", "3", "4", "5", "6"}},
        {{{0, 300}}, 0, {"0"}},
    };
    for (const auto& c : cases) {
        source.rows.clear();
        for (int i = 0; i < 10; ++i) source.rows.push_back(std::to_string(i));
        source.heights = c.heights;
        table->reloadData();
        table->setContentOffset({0, c.offset});
        EXPECT_EQ(visibleTexts(), c.expected) << c.offset;
    }
}

TEST_F(TableViewTest, RowRectanglesFollowHeights) {
    source.rows = {"a", "b", "c"};
    source.heights = {{0, 60}};
    table->setRowHeight(100);
    table->reloadData();
    EXPECT_EQ(table->rectForRow({0, 0})->height(), 60);
    EXPECT_EQ(table->rectForRow({0, 2})->y(), 160);
    EXPECT_FALSE(table->rectForRow({1, 0}));
    EXPECT_THROW(table->scrollToRow({0, 9}, ui::TableViewScrollPosition::top, false), ui::ProgrammingError);
}

}  // namespace
