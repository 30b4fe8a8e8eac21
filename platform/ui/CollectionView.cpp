#include "platform/ui/TableView.h"

#include <algorithm>

#include "platform/ui/Log.h"
#include "platform/ui/Storyboard.h"
#include "platform/ui/Traits.h"

namespace ui {

CollectionView::CollectionView(const Rect& frame) : CellScrollView(frame) {}

void CollectionView::setDataSource(CollectionViewDataSource* dataSource) {
    dataSource_ = dataSource;
    dirty_ = true;
    itemCounts_.clear();
}

void CollectionView::setDelegate(CollectionViewDelegate* delegate) {
    delegate_ = delegate;
    dirty_ = true;
}

void CollectionView::setScrollDirection(ScrollDirection direction) {
    direction_ = direction;
    dirty_ = true;
}

void CollectionView::setItemSize(const Size& size) {
    itemSize_ = size;
    dirty_ = true;
}

void CollectionView::setSpacing(double spacing) {
    spacing_ = spacing;
    dirty_ = true;
}

std::shared_ptr<CollectionViewCell> CollectionView::dequeueReusableCell(const std::string& reuseIdentifier,
                                                                        const IndexPath&) {
    auto cell = reusedOrNewCell(reuseIdentifier, "collection view cell");
    if (!cell)
        fatalError("could not dequeue a view of kind: UICollectionElementKindCell with identifier " +
                   reuseIdentifier + " - must register a nib or a class for the identifier");
    return cell;
}

void CollectionView::reloadData() {
    itemCounts_.clear();
    auto count = [this](int64_t s) { return dataSource_->numberOfItemsInSection(*this, s); };
    if (dataSource_) itemCounts_ = countsPerSection(dataSource_->numberOfSections(*this), count);
    dirty_ = true;
    reloadAll_ = true;
}

int64_t CollectionView::numberOfSections() const {
    return static_cast<int64_t>(itemCounts_.size());
}

int64_t CollectionView::numberOfItemsInSection(int64_t section) const {
    return section >= 0 && section < numberOfSections() ? itemCounts_[static_cast<size_t>(section)] : 0;
}

void CollectionView::buildVisibleCells() {
    if (itemCounts_.empty() && dataSource_) reloadData();
    // As on the platform, a scroll keeps the cells of the items that stay in
    // view; a reload asks for every cell again.
    std::map<IndexPath, std::shared_ptr<CollectionViewCell>> staying;
    if (reloadAll_) {
        recycleVisibleCells();
    } else {
        for (auto& [ip, cell] : visible_) staying[ip] = cell;
        visible_.clear();
    }
    dirty_ = false;
    reloadAll_ = false;
    if (!dataSource_) {
        for (auto& [ip, cell] : staying) recycleCell(cell);
        return;
    }
    const bool horizontal = direction_ == ScrollDirection::horizontal;
    Rect screen = Screen::bounds();
    double viewport = horizontal ? (frame().width() > 0 ? frame().width() : screen.width())
                                 : (frame().height() > 0 ? frame().height() : screen.height());
    double start = horizontal ? contentOffset().x : contentOffset().y, end = start + viewport;
    std::vector<std::pair<IndexPath, Rect>> items;
    for (const auto& [ip, rect] : cellFrames()) {
        const double from = horizontal ? rect.x() : rect.y();
        const double length = horizontal ? rect.width() : rect.height();
        if (from + length > start && from < end) items.emplace_back(ip, rect);
    }
    for (const auto& [ip, rect] : items) {
        if (auto kept = staying.find(ip); kept != staying.end()) {
            kept->second->setFrame(rect);
            visible_.emplace_back(ip, kept->second);
            staying.erase(kept);
            continue;
        }
        auto cell = cellToDraw(ip, rect);
        addSubview(cell);
        visible_.emplace_back(ip, cell);
        if (delegate_) delegate_->willDisplayCell(*this, *cell, ip);
    }
    for (auto& [ip, cell] : staying) recycleCell(cell);
}

// Every item along the scroll direction, with the spacing between items; the
// content size follows the last one.
std::vector<std::pair<IndexPath, Rect>> CollectionView::cellFrames() {
    if (itemCounts_.empty() && dataSource_) reloadData();
    std::vector<std::pair<IndexPath, Rect>> frames;
    if (!dataSource_) return frames;
    const bool horizontal = direction_ == ScrollDirection::horizontal;
    double pos = 0;
    for (int64_t s = 0; s < numberOfSections(); ++s) {
        for (int64_t i = 0; i < itemCounts_[static_cast<size_t>(s)]; ++i) {
            Size size = itemSize_;
            if (delegate_)
                if (auto own = delegate_->sizeForItemAt(*this, {s, i})) size = *own;
            frames.emplace_back(IndexPath{s, i}, horizontal ? Rect(pos, 0, size.width, size.height)
                                                            : Rect(0, pos, size.width, size.height));
            pos += (horizontal ? size.width : size.height) + spacing_;
        }
    }
    setContentSize(horizontal ? Size{pos, frame().height()} : Size{frame().width(), pos});
    return frames;
}

std::shared_ptr<CollectionViewCell> CollectionView::cellToDraw(const IndexPath& indexPath, const Rect& frame) {
    if (!dataSource_) return nullptr;
    auto cell = dataSource_->cellForItemAt(*this, indexPath);
    if (!cell) fatalError("the data source returned no collection view cell");
    cell->setFrame(frame);
    cell->contentView().setFrame(cell->bounds());
    return cell;
}

bool CollectionView::userSelectItem(const IndexPath& indexPath) {
    if (indexPath.row < 0 || indexPath.row >= numberOfItemsInSection(indexPath.section)) return false;
    if (delegate_) delegate_->didSelectItemAt(*this, indexPath);
    return true;
}

std::string CollectionView::snapshotDescription() const {
    return "collection";
}

}  // namespace ui
