#include "platform/ui/Snapshot.h"

#include "platform/ui/Application.h"
#include "platform/ui/TableView.h"

namespace ui {
namespace {

void line(std::string& out, int level, const std::string& text) {
    out.append(static_cast<size_t>(level) * 2, ' ');
    out += text;
    out += '\n';
}

bool shown(const View& view) {
    return !view.isHidden() && view.alpha() > 0;
}

void walk(View& view, int level, std::string& out);

void walkTable(TableView& table, int level, std::string& out) {
    if (const auto& header = table.tableHeaderView()) walk(*header, level, out);
    auto headers = table.visibleHeaderViews();
    auto paths = table.indexPathsForVisibleRows();
    auto cells = table.visibleCells();
    for (int64_t section = 0; section < table.numberOfSections(); ++section) {
        auto it = headers.find(section);
        if (it != headers.end() && shown(*it->second)) {
            std::string header;
            walk(*it->second, level + 1, header);
            // A header that shows nothing (an empty spacer) is left out.
            if (!header.empty()) {
                line(out, level, "section " + std::to_string(section));
                out += header;
            }
        }
        for (size_t i = 0; i < cells.size(); ++i) {
            if (paths[i].section != section || !shown(*cells[i])) continue;
            std::string row = "row " + std::to_string(section) + "." + std::to_string(paths[i].row);
            if (cells[i]->isSelected()) row += " selected";
            if (!cells[i]->accessibilityIdentifier().empty())
                row += " #" + cells[i]->accessibilityIdentifier();
            line(out, level, row);
            for (const auto& sub : cells[i]->snapshotSubviews()) walk(*sub, level + 1, out);
        }
    }
    if (const auto& footer = table.tableFooterView()) walk(*footer, level, out);
}

void walkCollection(CollectionView& collection, int level, std::string& out) {
    auto paths = collection.indexPathsForVisibleItems();
    auto cells = collection.visibleCells();
    for (size_t i = 0; i < cells.size(); ++i) {
        line(out, level, "item " + std::to_string(paths[i].section) + "." + std::to_string(paths[i].row));
        for (const auto& sub : cells[i]->snapshotSubviews()) walk(*sub, level + 1, out);
    }
}

void walk(View& view, int level, std::string& out) {
    if (!shown(view)) return;
    if (ViewController* controller = view.owningController()) {
        std::string head = "[" + controller->className() + "]";
        if (!controller->parent() && controller->presentingViewController()) head = "presented " + head;
        line(out, level++, head);
    }
    std::string description = view.snapshotDescription();
    if (!description.empty()) line(out, level++, description);
    if (auto* table = dynamic_cast<TableView*>(&view)) return walkTable(*table, level, out);
    if (auto* collection = dynamic_cast<CollectionView*>(&view))
        return walkCollection(*collection, level, out);
    for (const auto& sub : view.snapshotSubviews()) walk(*sub, level, out);
}

}  // namespace

std::string Snapshot::ofKeyWindow() {
    Application& application = Application::shared();
    Window* window = application.keyWindow();
    std::string out = window ? ofWindow(*window) : "no key window\n";
    // What left the application: the links it had opened, oldest first.
    for (const auto& url : application.openedURLs()) line(out, 0, "opened " + quoted(url));
    return out;
}

std::string Snapshot::ofWindow(const Window& window) {
    return ofView(window, 0);
}

std::string Snapshot::ofView(const View& view, int level) {
    std::string out;
    auto& mutableView = const_cast<View&>(view);
    mutableView.layoutIfNeeded();
    walk(mutableView, level, out);
    return out;
}

}  // namespace ui
