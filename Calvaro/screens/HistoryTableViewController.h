#pragma once

#include <memory>

#include "platform/kit/Buttons.h"
#include "platform/ui/ViewController.h"

// The history: one row per solved exercise of the store, newest first. A tap
// reopens the exercise on a fresh Calculate screen, a swipe deletes one,
// edit mode moves them, and the toolbar clears all after a confirmation.
// The rows are always the store's records, read when the table asks.
class HistoryTableViewController : public ui::TableViewController {
public:
    static constexpr const char* editButtonIdentifier = "historyEditButton";
    static constexpr const char* clearAllButtonIdentifier = "historyClearButton";

    void viewDidLoad() override;
    void viewDidAppear(bool animated) override;

    void handleEditButton();
    void handleClearAllButton();
    void clearHistory();

    kit::IconButton* editButton() const { return editButton_.get(); }
    kit::IconButton* clearAllButton() const { return clearAllButton_.get(); }

    int64_t numberOfRowsInSection(ui::TableView& tableView, int64_t section) override;
    std::shared_ptr<ui::TableViewCell> cellForRowAt(ui::TableView& tableView, const ui::IndexPath& indexPath) override;
    bool canEditRowAt(ui::TableView&, const ui::IndexPath&) override { return true; }
    bool canMoveRowAt(ui::TableView&, const ui::IndexPath&) override { return true; }
    void commitEditingStyle(ui::TableView& tableView, ui::TableViewCellEditingStyle style,
                            const ui::IndexPath& indexPath) override;
    void moveRowAt(ui::TableView& tableView, const ui::IndexPath& from, const ui::IndexPath& to) override;
    void didSelectRowAt(ui::TableView& tableView, const ui::IndexPath& indexPath) override;

private:
    std::shared_ptr<kit::IconButton> editButton_;
    std::shared_ptr<kit::IconButton> clearAllButton_;
};
