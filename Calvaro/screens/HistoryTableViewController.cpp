#include "Calvaro/screens/HistoryTableViewController.h"

#include "Calvaro/engine/CalcManager.h"
#include "Calvaro/screens/AppDelegate.h"
#include "Calvaro/screens/AppToolbarController.h"
#include "Calvaro/screens/ColorManager.h"
#include "Calvaro/screens/HistoryTableViewCell.h"
#include "Calvaro/screens/ScreenUtilities.h"
#include "analytics/core/DEDIzurarove.h"
#include "platform/foundation/Bundle.h"
#include "platform/kit/Icon.h"
#include "platform/kit/ToolbarController.h"

namespace {

using foundation::localizedString;

}  // namespace

void HistoryTableViewController::viewDidLoad() {
    tableView().setAccessibilityIdentifier("historyTableView");
    tableView().setTableFooterView(std::make_shared<ui::View>());
    tableView().setRowHeight(HistoryTableViewCell::rowHeight);
    tableView().registerCell(HistoryTableViewCell::reuseIdentifier, [](const std::string&) {
        // The storyboard's prototype cell: awakes as a nib's cell does.
        auto cell = std::make_shared<HistoryTableViewCell>();
        cell->awakeFromNib();
        return cell;
    });
    const auto self = shared_from_this();
    editButton_ = std::make_shared<kit::IconButton>(kit::Icon::edit(), nearBlackColor());
    editButton_->setAccessibilityIdentifier(editButtonIdentifier);
    editButton_->addTarget(ui::ControlEvent::touchUpInside, ui::weakTarget(self, &HistoryTableViewController::handleEditButton));
    clearAllButton_ = std::make_shared<kit::IconButton>(kit::Icon::clear(), nearBlackColor());
    clearAllButton_->setAccessibilityIdentifier(clearAllButtonIdentifier);
    clearAllButton_->addTarget(ui::ControlEvent::touchUpInside, ui::weakTarget(self, &HistoryTableViewController::handleClearAllButton));
}

void HistoryTableViewController::viewDidAppear(bool) {
    kit::ToolbarController* toolbar = kit::toolbarController(*this);
    if (!toolbar) return;
    toolbar->toolbar().setTitle(localizedString("History"));
    toolbar->toolbar().setRightViews({clearAllButton_, editButton_});
}

void HistoryTableViewController::handleEditButton() { tableView().setEditing(!tableView().isEditing(), true); }

void HistoryTableViewController::handleClearAllButton() {
    auto alert = ui::AlertController::create(localizedString("Clear History"),
                                             localizedString("Are you sure to delete your whole history?"),
                                             ui::AlertControllerStyle::alert);
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    alert->addAction(std::make_shared<ui::AlertAction>(
        localizedString("Clear"), ui::AlertActionStyle::defaultStyle, [weak](ui::AlertAction&) {
            if (auto self = weak.lock()) static_cast<HistoryTableViewController&>(*self).clearHistory();
        }));
    alert->addAction(std::make_shared<ui::AlertAction>(localizedString("Cancel"), ui::AlertActionStyle::cancel));
    present(alert, true);
}

void HistoryTableViewController::clearHistory() {
    CalcManager& store = CalcManager::shared();
    DEDIzurarove::logEventWithName(
        "tapped_history_clear",
        DEDIzurarove::Parameters{{"calc_count", static_cast<int64_t>(store.calculations().size())}});
    store.clearHistory();
    tableView().reloadData();
}

int64_t HistoryTableViewController::numberOfRowsInSection(ui::TableView&, int64_t) {
    return static_cast<int64_t>(CalcManager::shared().calculations().size());
}

std::shared_ptr<ui::TableViewCell> HistoryTableViewController::cellForRowAt(ui::TableView& tableView,
                                                                            const ui::IndexPath& indexPath) {
    auto cell = std::static_pointer_cast<HistoryTableViewCell>(
        tableView.dequeueReusableCell(HistoryTableViewCell::reuseIdentifier, indexPath));
    const auto& records = CalcManager::shared().calculations();
    const auto row = static_cast<size_t>(indexPath.row);
    cell->mathLabel()->setLatex(row < records.size() ? records[row].latexString : std::string());
    return cell;
}

void HistoryTableViewController::commitEditingStyle(ui::TableView& tableView, ui::TableViewCellEditingStyle style,
                                                    const ui::IndexPath& indexPath) {
    if (style != ui::TableViewCellEditingStyle::remove) return;
    DEDIzurarove::logEventWithName("tapped_history_delete_single_calc");
    if (!CalcManager::shared().removeCalculation(indexPath.row)) return;
    tableView.deleteRows({indexPath}, ui::TableViewRowAnimation::fade);
}

void HistoryTableViewController::moveRowAt(ui::TableView&, const ui::IndexPath& from, const ui::IndexPath& to) {
    CalcManager::shared().moveCalculation(from.row, to.row);
}

void HistoryTableViewController::didSelectRowAt(ui::TableView& tableView, const ui::IndexPath& indexPath) {
    if (auto selected = tableView.indexPathForSelectedRow())
        tableView.reloadRows({*selected}, ui::TableViewRowAnimation::none);
    CalcManager& store = CalcManager::shared();
    const auto row = static_cast<size_t>(indexPath.row);
    if (row >= store.calculations().size()) return;
    const Calculation record = store.calculations()[row];
    store.setCurrentCalculation(std::nullopt);
    store.saveCurrentSelectedCalculation();
    store.setCurrentSelectedCalculation(record);
    store.saveCurrentSelectedCalculation();
    foundation::Value::Dictionary parameters;
    for (const auto& [field, text] : record.inputParameters) parameters[field] = text;
    DEDIzurarove::logEventWithName("tapped_history_item",
                                   DEDIzurarove::Parameters{{"calc_parameters", parameters},
                                                            {"latex_string", record.latexString}});
    AppDelegate::showFreshCalculateScreen(*this);
}
