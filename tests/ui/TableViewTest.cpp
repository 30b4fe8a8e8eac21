#include "UiTestSupport.h"
#include "platform/ui/TableView.h"
#include "platform/ui/ViewController.h"

namespace {

// A list of texts in one section, as a screen keeps its records.
class ListSource : public ui::TableViewDataSource, public ui::TableViewDelegate {
  public:
    std::vector<std::string> rows;
    std::map<int64_t, double> heights;
    std::vector<ui::IndexPath> selected;
    int cellsMade = 0;
    bool updateModelOnDelete = true;

    int64_t numberOfRowsInSection(ui::TableView&, int64_t) override {
        return static_cast<int64_t>(rows.size());
    }
    std::shared_ptr<ui::TableViewCell> cellForRowAt(ui::TableView& table, const ui::IndexPath& ip) override {
        ++cellsMade;
        auto cell = table.dequeueReusableCell("row", ip);
        cell->textLabel().setText(rows[static_cast<size_t>(ip.row)]);
        return cell;
    }
    bool canMoveRowAt(ui::TableView&, const ui::IndexPath&) override { return true; }
    void commitEditingStyle(ui::TableView& table, ui::TableViewCellEditingStyle style,
                            const ui::IndexPath& ip) override {
        if (style != ui::TableViewCellEditingStyle::remove) return;
        if (updateModelOnDelete) rows.erase(rows.begin() + ip.row);
        table.deleteRows({ip}, ui::TableViewRowAnimation::fade);
    }
    void moveRowAt(ui::TableView&, const ui::IndexPath& from, const ui::IndexPath& to) override {
        auto text = rows[static_cast<size_t>(from.row)];
        rows.erase(rows.begin() + from.row);
        rows.insert(rows.begin() + to.row, text);
    }
    std::optional<double> heightForRowAt(ui::TableView&, const ui::IndexPath& ip) override {
        auto it = heights.find(ip.row);
        return it == heights.end() ? std::nullopt : std::optional<double>(it->second);
    }
    void didSelectRowAt(ui::TableView&, const ui::IndexPath& ip) override { selected.push_back(ip); }
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
    source.rows = {"a", "b"};
    table->reloadData();
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
        {{}, 0, {"0", "1", "2", "3", "4"}},
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

TEST_F(TableViewTest, DeletingARowNeedsTheDataSourceToAgree) {
    source.rows = {"a", "b", "c"};
    table->reloadData();
    EXPECT_TRUE(table->userCommitEditing({0, 1}));
    EXPECT_EQ(visibleTexts(), (std::vector<std::string>{"a", "c"}));

    source.updateModelOnDelete = false;
    EXPECT_THROW(table->userCommitEditing({0, 0}), ui::ProgrammingError);
    EXPECT_THROW(table->deleteRows({{0, 7}}, ui::TableViewRowAnimation::fade), ui::ProgrammingError);
    EXPECT_FALSE(table->userCommitEditing({0, 9}));
}

TEST_F(TableViewTest, MovingARowNeedsEditModeAndReordersTheModel) {
    source.rows = {"a", "b", "c"};
    table->reloadData();
    EXPECT_FALSE(table->userMoveRow({0, 0}, {0, 2}));
    table->setEditing(true, false);
    EXPECT_FALSE(table->userMoveRow({0, 0}, {0, 3}));
    EXPECT_TRUE(table->userMoveRow({0, 0}, {0, 2}));
    EXPECT_EQ(source.rows, (std::vector<std::string>{"b", "c", "a"}));
    EXPECT_EQ(visibleTexts(), source.rows);
    EXPECT_EQ(table->numberOfRowsInSection(0), 3);
}

TEST_F(TableViewTest, SelectionTellsTheDelegateAndMarksTheCell) {
    source.rows = {"a", "b"};
    table->reloadData();
    EXPECT_FALSE(table->userSelectRow({0, 5}));
    EXPECT_TRUE(table->userSelectRow({0, 1}));
    EXPECT_EQ(source.selected, (std::vector<ui::IndexPath>{{0, 1}}));
    ASSERT_TRUE(table->indexPathForSelectedRow());
    EXPECT_TRUE(table->cellForRow({0, 1})->isSelected());
    table->deselectRow({0, 1}, false);
    EXPECT_FALSE(table->cellForRow({0, 1})->isSelected());
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
