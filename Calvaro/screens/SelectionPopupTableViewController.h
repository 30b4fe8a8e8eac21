#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/ViewController.h"

// A popover list from which the user picks one text; it dismisses itself on
// a pick. The caller sets the data, optionally the selected index, width,
// alignment, colours and completion, and presents it.
class SelectionPopupTableViewController : public ui::TableViewController {
public:
    static constexpr double rowHeight = 40.0;
    static constexpr const char* cellIdentifier = "DefaultCell";
    static constexpr const char* borderLayerName = "border";

    SelectionPopupTableViewController();

    int64_t rowWidth = 80;
    ui::TextAlignment textAlignment = ui::TextAlignment::center;
    ui::Color tableViewBgColor;
    ui::Color tableViewSeparatorColor;
    ui::Color cellBgColor;
    ui::Color cellHighlightColor;
    std::optional<int64_t> selectedIndex;
    std::vector<std::string> data;
    std::function<void(int64_t row)> completion;

    // rowWidth by 40 points a text.
    ui::Size preferredContentSize() const;

    void viewDidLoad() override;
    // Scrolls the selected row to the middle when it is one of the list's.
    void viewWillAppear(bool animated) override;
    void viewWillLayoutSubviews() override { drawBorder(); }
    // Outlines the popover's container (two levels up) along its mask's
    // path, once per container.
    void drawBorder();

    int64_t numberOfRowsInSection(ui::TableView&, int64_t) override { return static_cast<int64_t>(data.size()); }
    std::shared_ptr<ui::TableViewCell> cellForRowAt(ui::TableView& tableView, const ui::IndexPath& indexPath) override;
    std::optional<double> heightForRowAt(ui::TableView&, const ui::IndexPath&) override { return rowHeight; }
    // A pick beyond the list is refused: no completion, no dismissal.
    void didSelectRowAt(ui::TableView& tableView, const ui::IndexPath& indexPath) override;

private:
    bool holds(int64_t row) const { return row >= 0 && row < static_cast<int64_t>(data.size()); }
};
