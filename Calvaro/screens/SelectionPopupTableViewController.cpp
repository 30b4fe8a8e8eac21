#include "Calvaro/screens/SelectionPopupTableViewController.h"

#include "Calvaro/screens/ColorManager.h"
#include "platform/graphics/ShapeLayer.h"
#include "platform/ui/Label.h"

SelectionPopupTableViewController::SelectionPopupTableViewController()
    : tableViewBgColor(appDarkOrange()),
      tableViewSeparatorColor(appDarkOrange()),
      cellBgColor(appOrange()),
      cellHighlightColor(appLightOrange()) {}

ui::Size SelectionPopupTableViewController::preferredContentSize() const {
    return {static_cast<double>(rowWidth), rowHeight * static_cast<double>(data.size())};
}

void SelectionPopupTableViewController::viewDidLoad() {
    tableView().registerCell(cellIdentifier, [](const std::string& id) { return std::make_shared<ui::TableViewCell>(id); });
    tableView().setBackgroundColor(tableViewBgColor);
    tableView().setSeparatorColor(tableViewSeparatorColor);
}

void SelectionPopupTableViewController::viewWillAppear(bool animated) {
    if (selectedIndex && holds(*selectedIndex))
        tableView().scrollToRow({0, *selectedIndex}, ui::TableViewScrollPosition::middle, animated);
}

void SelectionPopupTableViewController::drawBorder() {
    ui::View* above = view()->superview();
    ui::View* container = above ? above->superview() : nullptr;
    if (!container) return;
    ui::Layer& layer = container->layer();
    for (const auto& sub : layer.sublayers)
        if (sub->name == borderLayerName) return;
    const auto& mask = container->maskView();
    auto* maskShape = mask ? dynamic_cast<graphics::ShapeLayer*>(&mask->layer()) : nullptr;
    if (!maskShape) return;
    auto border = std::make_shared<graphics::ShapeLayer>();
    border->name = borderLayerName;
    border->path = maskShape->path;
    border->lineWidth = 4.0;
    border->strokeColor = cellHighlightColor;
    border->fillColor = ui::Color::clear();
    border->frame = mask->bounds();
    layer.addSublayer(border);
}

std::shared_ptr<ui::TableViewCell> SelectionPopupTableViewController::cellForRowAt(ui::TableView& tableView,
                                                                                   const ui::IndexPath& indexPath) {
    auto cell = tableView.dequeueReusableCell(cellIdentifier, indexPath);
    cell->textLabel().setFrame(ui::Rect(8, 0, static_cast<double>(rowWidth) - 16, rowHeight));
    cell->textLabel().setText(holds(indexPath.row) ? data[static_cast<size_t>(indexPath.row)] : "");
    cell->textLabel().setTextAlignment(textAlignment);
    cell->setBackgroundColor(selectedIndex && *selectedIndex == indexPath.row ? cellHighlightColor : cellBgColor);
    return cell;
}

void SelectionPopupTableViewController::didSelectRowAt(ui::TableView&, const ui::IndexPath& indexPath) {
    if (indexPath.section != 0 || !holds(indexPath.row)) return;
    if (completion) completion(indexPath.row);
    dismiss(true);
}
