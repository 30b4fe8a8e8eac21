#include "UiTestSupport.h"

#include <functional>

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

// A source that notes which rows it was asked to fill, and lets rows move.
class CountingSource : public ListSource {
  public:
    std::vector<int64_t> asked;
    bool movable = false;
    std::shared_ptr<ui::TableViewCell> cellForRowAt(ui::TableView& table, const ui::IndexPath& ip) override {
        asked.push_back(ip.row);
        return ListSource::cellForRowAt(table, ip);
    }
    bool canMoveRowAt(ui::TableView&, const ui::IndexPath&) override { return movable; }
};

// As on the platform, a scroll keeps the cells of the rows that stay in view
// and fills only the rows that come in; drawing every row (a page, a
// picture) fills only rows off the screen and leaves the screen as it was.
TEST_F(TableViewTest, ScrollsAndDrawingsKeepShownCellsAsTheyWereFilled) {
    CountingSource counting;
    table->setDataSource(&counting);
    table->setDelegate(&counting);
    for (int i = 0; i < 10; ++i) counting.rows.push_back(std::to_string(i));
    table->reloadData();
    using Rows = std::vector<int64_t>;
    struct Step {
        const char* what;
        std::function<void()> act;
        Rows asked;
    };
    std::vector<std::string> drawn;
    const Step steps[] = {
        {"reload", [&] { table->reloadData(); }, {0, 1, 2, 3, 4}},
        {"scroll by a row", [&] { table->setContentOffset({0, 44}); }, {5}},
        {"scroll back", [&] { table->setContentOffset({0, 0}); }, {0}},
        {"draw every row",
         [&] {
             table->forEachCellToDraw([&](const ui::IndexPath& ip, ui::TableViewCell& cell) {
                 drawn.push_back(std::to_string(ip.row) + ":" + cell.textLabel().text());
             });
         },
         {5, 6, 7, 8, 9}},
        {"editing makes room", [&] { table->setEditing(true, false); }, {}},
        {"reload again", [&] { table->reloadData(); }, {0, 1, 2, 3, 4}},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        const auto shownBefore = table->visibleCells();
        const size_t subviewsBefore = table->subviews().size();
        counting.asked.clear();
        step.act();
        table->visibleCells();
        EXPECT_EQ(counting.asked, step.asked);
        if (std::string(step.what) == "draw every row") {
            EXPECT_EQ(drawn, (std::vector<std::string>{"0:0", "1:1", "2:2", "3:3", "4:4", "5:5", "6:6", "7:7", "8:8", "9:9"}));
            EXPECT_EQ(table->visibleCells(), shownBefore) << "the shown cells are the same";
            EXPECT_EQ(table->subviews().size(), subviewsBefore) << "no drawn row stays in the table";
            EXPECT_EQ(table->contentOffset().y, 0);
        }
    }
    // In editing mode a deletable row's content gives way to its control, and
    // a movable row's to its reorder handle too.
    for (const bool movable : {false, true}) {
        counting.movable = movable;
        table->reloadData();
        auto cell = table->visibleCells().at(0);
        EXPECT_TRUE(cell->isEditing());
        EXPECT_EQ(cell->editingStyle(), ui::TableViewCellEditingStyle::remove);
        EXPECT_EQ(cell->showsReorderControl(), movable);
        EXPECT_EQ(cell->contentView().frame(), ui::Rect(40, 0, movable ? 310 : 350, 44));
    }
    table->setEditing(false, false);
    EXPECT_EQ(table->visibleCells().at(0)->contentView().frame(), ui::Rect(0, 0, 390, 44));
    table->setDataSource(&source);
    table->setDelegate(&source);
}

}  // namespace
