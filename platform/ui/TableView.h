#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/Label.h"
#include "platform/ui/CellScrollView.h"

namespace ui {

class TableView;

enum class TableViewCellEditingStyle { none = 0, remove = 1, insert = 2 };

// A row of a table. Its content goes into contentView; textLabel is the
// standard cell's label, made on first use.
class TableViewCell : public ReusableCell {
  public:
    // The room an editing control takes beside the content.
    static constexpr double editingControlWidth = 40.0;

    explicit TableViewCell(std::string reuseIdentifier = "") : ReusableCell(std::move(reuseIdentifier)) {}
    Label& textLabel();
    Label* textLabelIfAny() const { return textLabel_.get(); }
    bool isSelected() const { return selected_; }
    virtual void setSelected(bool selected, bool animated);

    // What the table's editing mode gives this row (set by the table): the
    // control on the left for its editing style and the reorder control on
    // the right, beside which the content view is laid out.
    bool isEditing() const { return editing_; }
    TableViewCellEditingStyle editingStyle() const { return editingStyle_; }
    bool showsReorderControl() const { return reorder_; }
    void setEditingControls(bool editing, TableViewCellEditingStyle style, bool reorder);

  private:
    std::shared_ptr<Label> textLabel_;
    bool selected_ = false;
    bool editing_ = false;
    TableViewCellEditingStyle editingStyle_ = TableViewCellEditingStyle::none;
    bool reorder_ = false;
};
enum class TableViewRowAnimation { fade = 0, right, left, top, bottom, none, middle, automatic = 100 };
enum class TableViewScrollPosition { none = 0, top = 1, middle = 2, bottom = 3 };
enum class TableViewCellSeparatorStyle { none = 0, singleLine = 1 };

class TableViewDataSource {
  public:
    virtual ~TableViewDataSource() = default;
    virtual int64_t numberOfSections(TableView&) { return 1; }
    virtual int64_t numberOfRowsInSection(TableView& tableView, int64_t section) = 0;
    virtual std::shared_ptr<TableViewCell> cellForRowAt(TableView& tableView, const IndexPath& indexPath) = 0;
    virtual bool canEditRowAt(TableView&, const IndexPath&) { return true; }
    virtual bool canMoveRowAt(TableView&, const IndexPath&) { return false; }
    virtual void commitEditingStyle(TableView&, TableViewCellEditingStyle, const IndexPath&) {}
    // The table has already moved the row; the data source follows.
    virtual void moveRowAt(TableView&, const IndexPath& from, const IndexPath& to) { (void)from, (void)to; }
};

class TableViewDelegate {
  public:
    virtual ~TableViewDelegate() = default;
    // Absent: the table's rowHeight.
    virtual std::optional<double> heightForRowAt(TableView&, const IndexPath&) { return std::nullopt; }
    virtual std::shared_ptr<View> viewForHeaderInSection(TableView&, int64_t) { return nullptr; }
    // Absent: the header view's height, or 0 without one.
    virtual std::optional<double> heightForHeaderInSection(TableView&, int64_t) { return std::nullopt; }
    virtual void willDisplayCell(TableView&, TableViewCell&, const IndexPath&) {}
    virtual void didSelectRowAt(TableView&, const IndexPath&) {}
    virtual TableViewCellEditingStyle editingStyleForRowAt(TableView&, const IndexPath&) {
        return TableViewCellEditingStyle::remove;
    }
};

// A list of rows in sections. Row counts are asked of the data source on
// reloadData and kept, so that an update that does not match the data source
// is caught as the platform catches it. Cells are made for the rows within
// the visible bounds only (through cellForRowAt), when the table is laid out;
// as on the platform, a scroll keeps the cells of the rows that stay in view
// and a reload or an update asks for every shown cell again.
class TableView : public CellScrollView<TableViewCell> {
  public:
    enum class Style { plain = 0, grouped = 1, insetGrouped = 2 };

    explicit TableView(const Rect& frame = {}, Style style = Style::plain);
    Style style() const { return style_; }

    // Not owned (the controller owns the table).
    TableViewDataSource* dataSource() const { return dataSource_; }
    void setDataSource(TableViewDataSource* dataSource);
    TableViewDelegate* delegate() const { return delegate_; }
    void setDelegate(TableViewDelegate* delegate);

    // A reused or new cell; an unregistered identifier is a programming error.
    std::shared_ptr<TableViewCell> dequeueReusableCell(const std::string& reuseIdentifier,
                                                       const IndexPath& indexPath);
    std::shared_ptr<TableViewCell> dequeueReusableCell(const std::string& reuseIdentifier);

    double rowHeight() const { return rowHeight_; }
    void setRowHeight(double height);
    TableViewCellSeparatorStyle separatorStyle() const { return separatorStyle_; }
    void setSeparatorStyle(TableViewCellSeparatorStyle style) { separatorStyle_ = style; }
    const std::optional<Color>& separatorColor() const { return separatorColor_; }
    void setSeparatorColor(std::optional<Color> color) { separatorColor_ = std::move(color); }
    const std::shared_ptr<View>& tableHeaderView() const { return headerView_; }
    void setTableHeaderView(std::shared_ptr<View> view);
    const std::shared_ptr<View>& tableFooterView() const { return footerView_; }
    void setTableFooterView(std::shared_ptr<View> view);

    void reloadData();
    void reloadRows(const std::vector<IndexPath>& indexPaths, TableViewRowAnimation animation);
    // Updates; the data source must already reflect them.
    void deleteRows(const std::vector<IndexPath>& indexPaths, TableViewRowAnimation animation);
    void insertRows(const std::vector<IndexPath>& indexPaths, TableViewRowAnimation animation);
    void moveRow(const IndexPath& from, const IndexPath& to);

    int64_t numberOfSections() const;
    int64_t numberOfRowsInSection(int64_t section) const;
    // Row rectangle in content coordinates; absent for a row that does not exist.
    std::optional<Rect> rectForRow(const IndexPath& indexPath);
    // A section's header and footer rectangles in content coordinates (the
    // footer has no height: tables here have no section footers); an empty
    // rectangle for a section that does not exist.
    Rect rectForHeaderInSection(int64_t section);
    Rect rectForFooterInSection(int64_t section);
    std::vector<IndexPath> indexPathsForVisibleRows() { return visibleIndexPaths(); }
    // The visible cell of a row, or null.
    std::shared_ptr<TableViewCell> cellForRow(const IndexPath& indexPath);
    std::optional<IndexPath> indexPathForCell(const TableViewCell& cell);
    // The header views of the visible sections, by section.
    std::map<int64_t, std::shared_ptr<View>> visibleHeaderViews();
    // Every section header with a height, in order, as forEachCellToDraw
    // walks the rows: a shown header as it is, another one placed for the
    // call and then put back as it was.
    void forEachHeaderToDraw(const std::function<void(int64_t section, View&)>& draw);

    void scrollToRow(const IndexPath& indexPath, TableViewScrollPosition position, bool animated);

    std::optional<IndexPath> indexPathForSelectedRow() const { return selected_; }
    void selectRow(std::optional<IndexPath> indexPath, bool animated, TableViewScrollPosition position);
    void deselectRow(const IndexPath& indexPath, bool animated);

    bool isEditing() const { return editing_; }
    void setEditing(bool editing, bool animated);

    // What the user's gestures do (the driver calls these): a tap selects the
    // row and tells the delegate; a swipe-delete or an insert commits the
    // editing style through the data source; a drag moves the row in the
    // table and then tells the data source. False when the row does not
    // exist or the data source refuses.
    bool userSelectRow(const IndexPath& indexPath);
    bool userCommitEditing(const IndexPath& indexPath,
                           TableViewCellEditingStyle style = TableViewCellEditingStyle::remove);
    bool userMoveRow(const IndexPath& from, const IndexPath& to);

    std::string snapshotDescription() const override;

  private:
    void refreshCounts();
    void checkUpdate(const std::string& what, const std::vector<int64_t>& expected);
    void buildVisibleCells() override;
    std::vector<std::pair<IndexPath, Rect>> cellFrames() override;
    std::shared_ptr<TableViewCell> cellToDraw(const IndexPath& indexPath, const Rect& frame) override;
    void readyForReuse(TableViewCell& cell) override;
    double heightFor(const IndexPath& indexPath);
    // Puts a cell at its row's frame, with the editing controls of the row.
    void placeCell(TableViewCell& cell, const IndexPath& indexPath, const Rect& frame);
    double headerHeightFor(int64_t section, std::shared_ptr<View>* view);

    Style style_;
    TableViewDataSource* dataSource_ = nullptr;
    TableViewDelegate* delegate_ = nullptr;
    double rowHeight_ = 44.0;
    TableViewCellSeparatorStyle separatorStyle_ = TableViewCellSeparatorStyle::singleLine;
    std::optional<Color> separatorColor_;
    std::shared_ptr<View> headerView_;
    std::shared_ptr<View> footerView_;
    std::vector<int64_t> rowCounts_;
    bool countsKnown_ = false;
    // The rows changed (not only where they are): every shown cell is
    // filled again at the next layout.
    bool reloadAll_ = true;
    std::map<int64_t, std::shared_ptr<View>> headers_;
    std::optional<IndexPath> selected_;
    bool editing_ = false;
};

class CollectionView;

class CollectionViewCell : public ReusableCell {
  public:
    explicit CollectionViewCell(std::string reuseIdentifier = "") : ReusableCell(std::move(reuseIdentifier)) {}
};

class CollectionViewDataSource {
  public:
    virtual ~CollectionViewDataSource() = default;
    virtual int64_t numberOfSections(CollectionView&) { return 1; }
    virtual int64_t numberOfItemsInSection(CollectionView& collectionView, int64_t section) = 0;
    virtual std::shared_ptr<CollectionViewCell> cellForItemAt(CollectionView& collectionView,
                                                              const IndexPath& indexPath) = 0;
};

class CollectionViewDelegate {
  public:
    virtual ~CollectionViewDelegate() = default;
    // Absent: the collection's itemSize.
    virtual std::optional<Size> sizeForItemAt(CollectionView&, const IndexPath&) { return std::nullopt; }
    virtual void didSelectItemAt(CollectionView&, const IndexPath&) {}
    virtual void willDisplayCell(CollectionView&, CollectionViewCell&, const IndexPath&) {}
};

// Items in one line along the scroll direction (a row of video tiles);
// cells are made for the items within the visible bounds.
class CollectionView : public CellScrollView<CollectionViewCell> {
  public:
    enum class ScrollDirection { vertical = 0, horizontal = 1 };

    explicit CollectionView(const Rect& frame = {});
    CollectionViewDataSource* dataSource() const { return dataSource_; }
    void setDataSource(CollectionViewDataSource* dataSource);
    CollectionViewDelegate* delegate() const { return delegate_; }
    void setDelegate(CollectionViewDelegate* delegate);
    ScrollDirection scrollDirection() const { return direction_; }
    void setScrollDirection(ScrollDirection direction);
    Size itemSize() const { return itemSize_; }
    void setItemSize(const Size& size);
    double spacing() const { return spacing_; }
    void setSpacing(double spacing);

    std::shared_ptr<CollectionViewCell> dequeueReusableCell(const std::string& reuseIdentifier,
                                                            const IndexPath& indexPath);

    void reloadData();
    int64_t numberOfSections() const;
    int64_t numberOfItemsInSection(int64_t section) const;
    std::vector<IndexPath> indexPathsForVisibleItems() { return visibleIndexPaths(); }
    bool userSelectItem(const IndexPath& indexPath);

    std::string snapshotDescription() const override;

  private:
    void buildVisibleCells() override;
    std::vector<std::pair<IndexPath, Rect>> cellFrames() override;
    std::shared_ptr<CollectionViewCell> cellToDraw(const IndexPath& indexPath, const Rect& frame) override;
    CollectionViewDataSource* dataSource_ = nullptr;
    CollectionViewDelegate* delegate_ = nullptr;
    ScrollDirection direction_ = ScrollDirection::vertical;
    Size itemSize_{50, 50};
    double spacing_ = 10;
    std::vector<int64_t> itemCounts_;
    bool reloadAll_ = true;
};

}  // namespace ui
