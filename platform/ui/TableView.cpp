#include "platform/ui/TableView.h"

#include <algorithm>

#include "platform/ui/Log.h"
#include "platform/ui/Storyboard.h"
#include "platform/ui/Traits.h"

namespace ui {

Label& TableViewCell::textLabel() {
    if (!textLabel_) {
        textLabel_ = std::make_shared<Label>();
        contentView().addSubview(textLabel_);
    }
    return *textLabel_;
}

void TableViewCell::setSelected(bool selected, bool) {
    selected_ = selected;
}

void TableViewCell::setEditingControls(bool editing, TableViewCellEditingStyle style, bool reorder) {
    editing_ = editing;
    editingStyle_ = editing ? style : TableViewCellEditingStyle::none;
    reorder_ = editing && reorder;
    const double left = editingStyle_ == TableViewCellEditingStyle::none ? 0 : editingControlWidth;
    const double right = reorder_ ? editingControlWidth : 0;
    const Rect b = bounds();
    contentView().setFrame(Rect(left, 0, std::max(0.0, b.width() - left - right), b.height()));
    setNeedsLayout();
}

TableView::TableView(const Rect& frame, Style style) : CellScrollView(frame), style_(style) {}

void TableView::setDataSource(TableViewDataSource* dataSource) {
    dataSource_ = dataSource;
    countsKnown_ = false;
    dirty_ = true;
    reloadAll_ = true;
}

void TableView::setDelegate(TableViewDelegate* delegate) {
    delegate_ = delegate;
    dirty_ = true;
}

std::shared_ptr<TableViewCell> TableView::dequeueReusableCell(const std::string& reuseIdentifier,
                                                              const IndexPath&) {
    auto cell = dequeueReusableCell(reuseIdentifier);
    if (!cell)
        fatalError("unable to dequeue a cell with identifier " + reuseIdentifier +
                   " - must register a nib or a class for the identifier");
    return cell;
}

std::shared_ptr<TableViewCell> TableView::dequeueReusableCell(const std::string& reuseIdentifier) {
    return reusedOrNewCell(reuseIdentifier, "table view cell");
}

void TableView::readyForReuse(TableViewCell& cell) {
    cell.setSelected(false, false);
    cell.prepareForReuse();
}

void TableView::setRowHeight(double height) {
    rowHeight_ = height;
    dirty_ = true;
}

void TableView::setTableHeaderView(std::shared_ptr<View> view) {
    if (headerView_) headerView_->removeFromSuperview();
    headerView_ = std::move(view);
    if (headerView_) addSubview(headerView_);
    dirty_ = true;
}

void TableView::setTableFooterView(std::shared_ptr<View> view) {
    if (footerView_) footerView_->removeFromSuperview();
    footerView_ = std::move(view);
    if (footerView_) addSubview(footerView_);
    dirty_ = true;
}

void TableView::refreshCounts() {
    rowCounts_.clear();
    auto count = [this](int64_t s) { return dataSource_->numberOfRowsInSection(*this, s); };
    if (dataSource_) rowCounts_ = countsPerSection(dataSource_->numberOfSections(*this), count);
    countsKnown_ = true;
}

void TableView::reloadData() {
    refreshCounts();
    dirty_ = true;
    reloadAll_ = true;
}

void TableView::reloadRows(const std::vector<IndexPath>& indexPaths, TableViewRowAnimation) {
    for (const auto& ip : indexPaths)
        if (!rectForRow(ip)) fatalError("attempt to reload a row that does not exist");
    dirty_ = true;
    reloadAll_ = true;
}

void TableView::checkUpdate(const std::string& what, const std::vector<int64_t>& expected) {
    refreshCounts();
    if (rowCounts_ == expected) return;
    for (size_t s = 0; s < std::max(expected.size(), rowCounts_.size()); ++s) {
        int64_t want = s < expected.size() ? expected[s] : 0;
        int64_t have = s < rowCounts_.size() ? rowCounts_[s] : 0;
        if (want != have)
            fatalError("Invalid update after " + what + ": invalid number of rows in section " +
                       std::to_string(s) + ": the data source has " + std::to_string(have) +
                       ", the table expects " + std::to_string(want));
    }
    fatalError("Invalid update after " + what + ": invalid number of sections");
}

void TableView::deleteRows(const std::vector<IndexPath>& indexPaths, TableViewRowAnimation) {
    if (!countsKnown_) refreshCounts();
    std::vector<int64_t> expected = rowCounts_;
    std::vector<IndexPath> unique(indexPaths);
    std::sort(unique.begin(), unique.end());
    unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
    for (const auto& ip : unique) {
        if (ip.section < 0 || ip.section >= static_cast<int64_t>(expected.size()) || ip.row < 0 ||
            ip.row >= rowCounts_[static_cast<size_t>(ip.section)])
            fatalError("attempt to delete row " + std::to_string(ip.row) + " of section " +
                       std::to_string(ip.section) + ", which does not exist");
        --expected[static_cast<size_t>(ip.section)];
    }
    if (selected_ && std::binary_search(unique.begin(), unique.end(), *selected_)) selected_.reset();
    checkUpdate("deleting rows", expected);
    dirty_ = true;
    reloadAll_ = true;
}

void TableView::insertRows(const std::vector<IndexPath>& indexPaths, TableViewRowAnimation) {
    if (!countsKnown_) refreshCounts();
    std::vector<int64_t> expected = rowCounts_;
    for (const auto& ip : indexPaths) {
        if (ip.section < 0 || ip.section >= static_cast<int64_t>(expected.size()))
            fatalError("attempt to insert a row into section " + std::to_string(ip.section) +
                       ", which does not exist");
        ++expected[static_cast<size_t>(ip.section)];
    }
    checkUpdate("inserting rows", expected);
    dirty_ = true;
    reloadAll_ = true;
}

void TableView::moveRow(const IndexPath& from, const IndexPath& to) {
    if (!rectForRow(from)) fatalError("attempt to move a row that does not exist");
    if (!countsKnown_) refreshCounts();
    std::vector<int64_t> expected = rowCounts_;
    --expected[static_cast<size_t>(from.section)];
    if (to.section < 0 || to.section >= static_cast<int64_t>(expected.size()) || to.row < 0 ||
        to.row > expected[static_cast<size_t>(to.section)])
        fatalError("attempt to move a row to a place that does not exist");
    ++expected[static_cast<size_t>(to.section)];
    checkUpdate("moving a row", expected);
    dirty_ = true;
    reloadAll_ = true;
}

int64_t TableView::numberOfSections() const {
    if (!countsKnown_) const_cast<TableView*>(this)->refreshCounts();
    return static_cast<int64_t>(rowCounts_.size());
}

int64_t TableView::numberOfRowsInSection(int64_t section) const {
    if (section < 0 || section >= numberOfSections()) return 0;
    return rowCounts_[static_cast<size_t>(section)];
}

double TableView::heightFor(const IndexPath& indexPath) {
    if (delegate_)
        if (auto h = delegate_->heightForRowAt(*this, indexPath)) return *h;
    return rowHeight_;
}

double TableView::headerHeightFor(int64_t section, std::shared_ptr<View>* view) {
    std::shared_ptr<View> header = delegate_ ? delegate_->viewForHeaderInSection(*this, section) : nullptr;
    double height = header ? header->frame().height() : 0;
    if (delegate_)
        if (auto h = delegate_->heightForHeaderInSection(*this, section)) height = *h;
    if (view) *view = header;
    return height;
}

std::optional<Rect> TableView::rectForRow(const IndexPath& indexPath) {
    if (indexPath.section < 0 || indexPath.section >= numberOfSections() || indexPath.row < 0 ||
        indexPath.row >= numberOfRowsInSection(indexPath.section))
        return std::nullopt;
    auto* self = const_cast<TableView*>(this);
    double y = headerView_ ? headerView_->frame().height() : 0;
    for (int64_t s = 0; s <= indexPath.section; ++s) {
        y += self->headerHeightFor(s, nullptr);
        int64_t rows = s == indexPath.section ? indexPath.row : numberOfRowsInSection(s);
        for (int64_t r = 0; r < rows; ++r) y += self->heightFor({s, r});
    }
    return Rect(0, y, frame().width(), self->heightFor(indexPath));
}

Rect TableView::rectForHeaderInSection(int64_t section) {
    if (section < 0 || section >= numberOfSections()) return Rect();
    double y = headerView_ ? headerView_->frame().height() : 0;
    for (int64_t s = 0; s < section; ++s) {
        y += headerHeightFor(s, nullptr);
        for (int64_t r = 0; r < numberOfRowsInSection(s); ++r) y += heightFor({s, r});
    }
    return Rect(0, y, frame().width(), headerHeightFor(section, nullptr));
}

Rect TableView::rectForFooterInSection(int64_t section) {
    if (section < 0 || section >= numberOfSections()) return Rect();
    const Rect header = rectForHeaderInSection(section);
    double y = header.maxY();
    for (int64_t r = 0; r < numberOfRowsInSection(section); ++r) y += heightFor({section, r});
    return Rect(0, y, frame().width(), 0);
}

void TableView::buildVisibleCells() {
    if (!countsKnown_) refreshCounts();
    // A scroll or a new size keeps the cells of the rows that stay in view.
    std::map<IndexPath, std::shared_ptr<TableViewCell>> staying;
    if (reloadAll_) recycleVisibleCells();
    for (auto& [ip, cell] : visible_) staying[ip] = cell;
    visible_.clear();
    reloadAll_ = false;
    for (auto& [section, header] : headers_) header->removeFromSuperview();
    headers_.clear();
    dirty_ = false;
    if (!dataSource_) {
        for (auto& [ip, cell] : staying) recycleCell(cell);
        return;
    }

    // A table that was never given a height shows a screenful.
    double viewport = frame().height() > 0 ? frame().height() : Screen::bounds().height();
    double top = contentOffset().y, bottom = top + viewport;
    double width = frame().width();
    double y = headerView_ ? headerView_->frame().height() : 0;
    std::vector<std::pair<IndexPath, double>> rows;  // visible rows and their tops
    for (int64_t s = 0; s < static_cast<int64_t>(rowCounts_.size()); ++s) {
        std::shared_ptr<View> header;
        double hh = headerHeightFor(s, &header);
        if (header && y + hh > top && y < bottom) {
            header->setFrame(Rect(0, y, width, hh));
            headers_[s] = header;
            addSubview(header);
        }
        y += hh;
        for (int64_t r = 0; r < rowCounts_[static_cast<size_t>(s)]; ++r) {
            double h = heightFor({s, r});
            if (y + h > top && y < bottom) rows.emplace_back(IndexPath{s, r}, y);
            y += h;
        }
    }
    if (footerView_) y += footerView_->frame().height();
    setContentSize({width, y});

    // The cells of rows that left go back to the pool before new rows ask.
    for (auto it = staying.begin(); it != staying.end();) {
        const bool stays = std::any_of(rows.begin(), rows.end(), [&](const auto& row) { return row.first == it->first; });
        if (stays) {
            ++it;
        } else {
            recycleCell(it->second);
            it = staying.erase(it);
        }
    }
    for (const auto& [ip, rowTop] : rows) {
        const Rect rowFrame(0, rowTop, width, heightFor(ip));
        if (auto kept = staying.find(ip); kept != staying.end()) {
            placeCell(*kept->second, ip, rowFrame);
            visible_.emplace_back(ip, kept->second);
            continue;
        }
        auto cell = cellToDraw(ip, rowFrame);
        addSubview(cell);
        visible_.emplace_back(ip, cell);
        if (delegate_) delegate_->willDisplayCell(*this, *cell, ip);
        // The layout pass that shows a row lays out what the row holds too,
        // as on the platform: a list inside it asks for its items now, not
        // only when the screen is next drawn.
        cell->layoutIfNeeded();
    }
}

std::vector<std::pair<IndexPath, Rect>> TableView::cellFrames() {
    if (!countsKnown_) refreshCounts();
    std::vector<std::pair<IndexPath, Rect>> frames;
    if (!dataSource_) return frames;
    double y = headerView_ ? headerView_->frame().height() : 0;
    for (int64_t s = 0; s < static_cast<int64_t>(rowCounts_.size()); ++s) {
        y += headerHeightFor(s, nullptr);
        for (int64_t r = 0; r < rowCounts_[static_cast<size_t>(s)]; ++r) {
            const double h = heightFor({s, r});
            frames.emplace_back(IndexPath{s, r}, Rect(0, y, frame().width(), h));
            y += h;
        }
    }
    return frames;
}

std::shared_ptr<TableViewCell> TableView::cellToDraw(const IndexPath& indexPath, const Rect& frame) {
    if (!dataSource_) return nullptr;
    auto cell = dataSource_->cellForRowAt(*this, indexPath);
    if (!cell) fatalError("the data source returned no cell for row " + std::to_string(indexPath.row));
    placeCell(*cell, indexPath, frame);
    return cell;
}

void TableView::forEachHeaderToDraw(const std::function<void(int64_t, View&)>& draw) {
    if (dirty_) buildVisible();
    double y = headerView_ ? headerView_->frame().height() : 0;
    for (int64_t s = 0; s < numberOfSections(); ++s) {
        std::shared_ptr<View> header;
        const double hh = headerHeightFor(s, &header);
        if (auto shown = headers_.find(s); shown != headers_.end()) {
            draw(s, *shown->second);
        } else if (header && hh > 0) {
            const Rect saved = header->frame();
            const bool attached = header->superview() != nullptr;
            header->setFrame(Rect(0, y, frame().width(), hh));
            if (!attached) addSubview(header);
            draw(s, *header);
            if (!attached) header->removeFromSuperview();
            header->setFrame(saved);
        }
        y += hh;
        for (int64_t r = 0; r < numberOfRowsInSection(s); ++r) y += heightFor({s, r});
    }
}

std::shared_ptr<TableViewCell> TableView::cellForRow(const IndexPath& indexPath) {
    if (dirty_) buildVisible();
    for (const auto& [ip, cell] : visible_)
        if (ip == indexPath) return cell;
    return nullptr;
}

std::optional<IndexPath> TableView::indexPathForCell(const TableViewCell& cell) {
    if (dirty_) buildVisible();
    for (const auto& [ip, c] : visible_)
        if (c.get() == &cell) return ip;
    return std::nullopt;
}

std::map<int64_t, std::shared_ptr<View>> TableView::visibleHeaderViews() {
    if (dirty_) buildVisible();
    return headers_;
}

void TableView::scrollToRow(const IndexPath& indexPath, TableViewScrollPosition position, bool) {
    auto rect = rectForRow(indexPath);
    if (!rect) fatalError("attempt to scroll to an invalid index path");
    double viewport = frame().height() > 0 ? frame().height() : Screen::bounds().height();
    double y = rect->y();
    if (position == TableViewScrollPosition::middle) y -= (viewport - rect->height()) / 2;
    if (position == TableViewScrollPosition::bottom) y -= viewport - rect->height();
    setContentOffset({contentOffset().x, std::max(0.0, y)});
}

void TableView::selectRow(std::optional<IndexPath> indexPath, bool, TableViewScrollPosition) {
    if (indexPath && !rectForRow(*indexPath)) return;
    if (selected_)
        if (auto cell = cellForRow(*selected_)) cell->setSelected(false, false);
    selected_ = indexPath;
    if (selected_)
        if (auto cell = cellForRow(*selected_)) cell->setSelected(true, false);
}

void TableView::deselectRow(const IndexPath& indexPath, bool) {
    if (selected_ && *selected_ == indexPath) selectRow(std::nullopt, false, TableViewScrollPosition::none);
}

void TableView::setEditing(bool editing, bool) {
    if (editing == editing_) return;
    editing_ = editing;
    dirty_ = true;  // the rows make room for their editing controls
}

void TableView::placeCell(TableViewCell& cell, const IndexPath& indexPath, const Rect& frame) {
    cell.setFrame(frame);
    TableViewCellEditingStyle style = TableViewCellEditingStyle::none;
    bool reorder = false;
    if (editing_ && dataSource_) {
        if (dataSource_->canEditRowAt(*this, indexPath))
            style = delegate_ ? delegate_->editingStyleForRowAt(*this, indexPath) : TableViewCellEditingStyle::remove;
        reorder = dataSource_->canMoveRowAt(*this, indexPath);
    }
    cell.setEditingControls(editing_, style, reorder);
    cell.setSelected(selected_ && *selected_ == indexPath, false);
}

bool TableView::userSelectRow(const IndexPath& indexPath) {
    if (!rectForRow(indexPath)) return false;
    selectRow(indexPath, false, TableViewScrollPosition::none);
    if (delegate_) delegate_->didSelectRowAt(*this, indexPath);
    return true;
}

bool TableView::userCommitEditing(const IndexPath& indexPath, TableViewCellEditingStyle style) {
    if (!dataSource_ || !rectForRow(indexPath) || !dataSource_->canEditRowAt(*this, indexPath)) return false;
    dataSource_->commitEditingStyle(*this, style, indexPath);
    return true;
}

bool TableView::userMoveRow(const IndexPath& from, const IndexPath& to) {
    if (!dataSource_ || !editing_ || !rectForRow(from) || !dataSource_->canMoveRowAt(*this, from))
        return false;
    // The destination is a place among the rows left after lifting the row.
    int64_t rowsThere = numberOfRowsInSection(to.section) - (to.section == from.section ? 1 : 0);
    if (to.section < 0 || to.section >= numberOfSections() || to.row < 0 || to.row > rowsThere) return false;
    --rowCounts_[static_cast<size_t>(from.section)];
    ++rowCounts_[static_cast<size_t>(to.section)];
    dirty_ = true;
    reloadAll_ = true;
    dataSource_->moveRowAt(*this, from, to);
    return true;
}

std::string TableView::snapshotDescription() const {
    return editing_ ? "table editing" : "table";
}

}  // namespace ui
