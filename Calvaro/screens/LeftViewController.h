#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Calvaro/services/AppMetaData.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/ui/ViewController.h"

// The drawer menu: the Calculate screen, the history, the introduction and
// the privacy consent; the maker's community and the rating; then the
// maker's other applications from the remote list (the multi-topic ones and
// the single-topic ones), shown only while both lists have entries.
class LeftViewController : public ui::TableViewController {
public:
    static constexpr const char* cellIdentifier = "cell";
    static constexpr const char* didLoadMenuNotification = "didLoadMenu";
    static constexpr const char* communityInviteLink = "https://community.example.org/invite/calvaro";

    LeftViewController();
    ~LeftViewController() override;

    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;
    void viewWillDisappear(bool animated) override;

    // The remote lists changed: takes them again and reloads the table on
    // the main queue, whatever thread the notification came on.
    void didUpdateMenu();

    // `appName` at the device language, else at "en", else "".
    static std::string displayName(const AppMetaData& app);

    int64_t numberOfSections() const { return numberOfSections_; }
    const std::vector<AppMetaData>& multiApps() const { return multiApps_; }
    const std::vector<AppMetaData>& singleApps() const { return singleApps_; }

    int64_t numberOfSections(ui::TableView& tableView) override;
    int64_t numberOfRowsInSection(ui::TableView& tableView, int64_t section) override;
    std::shared_ptr<ui::TableViewCell> cellForRowAt(ui::TableView& tableView, const ui::IndexPath& indexPath) override;
    bool canEditRowAt(ui::TableView&, const ui::IndexPath&) override { return false; }
    std::shared_ptr<ui::View> viewForHeaderInSection(ui::TableView& tableView, int64_t section) override;
    void didSelectRowAt(ui::TableView& tableView, const ui::IndexPath& indexPath) override;

private:
    void didSelectMainRow(int64_t row);
    void didSelectContactRow(int64_t row);
    void didSelectAppRow(int64_t row, bool isMultiApp);
    void takeRemoteLists();

    int64_t numberOfSections_ = 1;
    std::vector<std::string> mainSectionRows_;
    std::vector<std::string> contactSectionRows_;
    std::vector<AppMetaData> multiApps_;
    std::vector<AppMetaData> singleApps_;
    foundation::NotificationCenter::Token activeObserver_;
    foundation::NotificationCenter::Token menuObserver_;
};
