#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/ui/Log.h"
#include "platform/ui/ScrollView.h"

namespace ui {

// What table and collection cells share: the identifier their view hands
// them out again by, the content view their content goes into, and the hooks
// of their life cycle.
class ReusableCell : public View {
  public:
    explicit ReusableCell(std::string reuseIdentifier);
    const std::string& reuseIdentifier() const { return reuseIdentifier_; }
    View& contentView() { return *contentView_; }
    const std::shared_ptr<View>& contentViewPointer() const { return contentView_; }
    // Called before the cell is handed out again by dequeue.
    virtual void prepareForReuse() {}
    // Called once after a cell was built from a nib or a registered class.
    virtual void awakeFromNib() {}

    std::string snapshotDescription() const override { return ""; }

  private:
    std::string reuseIdentifier_;
    std::shared_ptr<View> contentView_;
};

// The view a nib of the nib registry holds.
std::shared_ptr<View> viewOfNib(const std::string& nibName);

// What table and collection views share: cells registered by reuse
// identifier (a class's factory or a nib), cells handed back to a pool when
// they leave the screen, and the cells shown now, built again when the view
// is laid out after a change (dirty_).
template <class Cell>
class CellScrollView : public ScrollView {
  public:
    using CellFactory = std::function<std::shared_ptr<Cell>(const std::string& reuseIdentifier)>;
    using ScrollView::ScrollView;

    // Registration: a class (a factory) or a nib from the nib registry.
    void registerCell(const std::string& reuseIdentifier, CellFactory factory) {
        registrations_[reuseIdentifier] = Registration{std::move(factory), ""};
    }
    void registerNib(const std::string& nibName, const std::string& reuseIdentifier) {
        registrations_[reuseIdentifier] = Registration{nullptr, nibName};
    }
    bool isRegistered(const std::string& reuseIdentifier) const {
        return registrations_.count(reuseIdentifier) > 0;
    }

    std::vector<std::shared_ptr<Cell>> visibleCells() {
        if (dirty_) buildVisible();
        std::vector<std::shared_ptr<Cell>> cells;
        for (const auto& entry : visible_) cells.push_back(entry.second);
        return cells;
    }

    // Every row or item in order with a cell to draw it by, leaving what is
    // shown as it is: nothing scrolls, a shown cell is drawn as it stands and
    // no delegate hears of the walk. A row off the screen is drawn by a cell
    // the data source fills, which goes back to the pool afterwards.
    void forEachCellToDraw(const std::function<void(const IndexPath&, Cell&)>& draw) {
        if (dirty_) buildVisible();
        std::map<IndexPath, std::shared_ptr<Cell>> shown(visible_.begin(), visible_.end());
        for (const auto& [indexPath, rect] : cellFrames()) {
            if (auto it = shown.find(indexPath); it != shown.end()) {
                draw(indexPath, *it->second);
                continue;
            }
            auto cell = cellToDraw(indexPath, rect);
            if (!cell) continue;
            // Inside the view, as a shown cell is, so that it inherits what a
            // cell inherits (the tint).
            addSubview(cell);
            try {
                draw(indexPath, *cell);
            } catch (...) {
                recycleCell(cell);
                throw;
            }
            recycleCell(cell);
        }
    }

    void setFrame(const Rect& frame) override {
        if (frame.size != this->frame().size) dirty_ = true;
        ScrollView::setFrame(frame);
    }
    void setContentOffset(const Point& offset, bool animated = false) override {
        ScrollView::setContentOffset(offset, animated);
        dirty_ = true;
    }
    void layoutSubviews() override {
        if (dirty_) buildVisible();
    }
    bool snapshotListsSubviews() const override { return false; }

  protected:
    // Makes the cells of the visible bounds into visible_ (having handed the
    // shown ones back with recycleVisibleCells).
    virtual void buildVisibleCells() = 0;
    // Every row or item with its frame in content coordinates, in order.
    virtual std::vector<std::pair<IndexPath, Rect>> cellFrames() = 0;
    // A cell the data source fills for a row that is not shown, at `frame`.
    virtual std::shared_ptr<Cell> cellToDraw(const IndexPath& indexPath, const Rect& frame) = 0;
    // Readies a pooled cell for being handed out again.
    virtual void readyForReuse(Cell& cell) { cell.prepareForReuse(); }

    // A cell that cannot be made leaves the cells to be built again next time.
    void buildVisible() {
        try {
            buildVisibleCells();
        } catch (...) {
            dirty_ = true;
            throw;
        }
    }

    void recycleCell(const std::shared_ptr<Cell>& cell) {
        cell->removeFromSuperview();
        reusePool_[cell->reuseIdentifier()].push_back(cell);
    }
    void recycleVisibleCells() {
        for (auto& [indexPath, cell] : visible_) recycleCell(cell);
        visible_.clear();
    }

    std::vector<IndexPath> visibleIndexPaths() {
        if (dirty_) buildVisible();
        std::vector<IndexPath> paths;
        for (const auto& entry : visible_) paths.push_back(entry.first);
        return paths;
    }

    // A pooled cell readied for reuse, else a new one as registered; null for
    // an identifier that is not registered. `kind` names the cell in the
    // error of a nib that holds another view.
    std::shared_ptr<Cell> reusedOrNewCell(const std::string& reuseIdentifier, const std::string& kind) {
        auto& pool = reusePool_[reuseIdentifier];
        if (!pool.empty()) {
            auto cell = pool.back();
            pool.pop_back();
            readyForReuse(*cell);
            return cell;
        }
        auto it = registrations_.find(reuseIdentifier);
        if (it == registrations_.end()) return nullptr;
        std::shared_ptr<Cell> cell;
        if (it->second.factory) {
            cell = it->second.factory(reuseIdentifier);
        } else {
            cell = std::dynamic_pointer_cast<Cell>(viewOfNib(it->second.nibName));
            if (!cell) fatalError("the nib " + it->second.nibName + " does not hold a " + kind);
        }
        if (!cell) fatalError("the cell factory for " + reuseIdentifier + " made no cell");
        return cell;
    }

    // Each section's count as the data source gives it (`count`), a negative
    // one as none.
    static std::vector<int64_t> countsPerSection(int64_t sections,
                                                 const std::function<int64_t(int64_t)>& count) {
        std::vector<int64_t> counts;
        for (int64_t section = 0; section < sections; ++section)
            counts.push_back(std::max<int64_t>(0, count(section)));
        return counts;
    }

    bool dirty_ = true;
    std::vector<std::pair<IndexPath, std::shared_ptr<Cell>>> visible_;

  private:
    struct Registration {
        CellFactory factory;
        std::string nibName;
    };
    std::map<std::string, Registration> registrations_;
    std::map<std::string, std::vector<std::shared_ptr<Cell>>> reusePool_;
};

}  // namespace ui
