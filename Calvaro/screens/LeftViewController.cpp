#include "Calvaro/screens/LeftViewController.h"

#include "Calvaro/screens/AppDelegate.h"
#include "Calvaro/screens/ColorManager.h"
#include "Calvaro/screens/HistoryTableViewController.h"
#include "Calvaro/screens/ScreenUtilities.h"
#include "Calvaro/services/DsgvoManager.h"
#include "Calvaro/services/OnboardingManager.h"
#include "Calvaro/services/RemoteConfigManager.h"
#include "Calvaro/services/URLOpening.h"
#include "analytics/core/DEDIzurarove.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/kit/NavigationDrawerController.h"
#include "platform/kit/ToolbarController.h"
#include "platform/ui/Application.h"
#include "platform/ui/Storyboard.h"

namespace {

using foundation::localizedString;

constexpr double headerHeight = 30.0;
constexpr double rowHeight = 44.0;

// Asks whether the URL opens before opening it; a text that is no URL does not.
bool openAppURL(const std::string& text) {
    ui::Application& application = ui::Application::shared();
    if (!services::isValidURL(text) || !application.canOpenURL(text)) return false;
    application.open(text);
    return true;
}

// Store pages are web pages; remote data names no other kind of link here.
void openStoreURL(const std::string& text) {
    if (services::isWebLink(text)) ui::Application::shared().open(text);
}

void openCommunityInvite() { openStoreURL(LeftViewController::communityInviteLink); }

std::string englishName(const AppMetaData& app) {
    auto it = app.appName.find("en");
    return it == app.appName.end() ? std::string() : it->second;
}

}  // namespace

LeftViewController::LeftViewController()
    : mainSectionRows_{localizedString("Calculate Title"), localizedString("History"), localizedString("introduction"),
                       localizedString("privacyPolicy")},
      contactSectionRows_{localizedString("Discord"), localizedString("Rate this App")} {
    takeRemoteLists();
}

LeftViewController::~LeftViewController() = default;

void LeftViewController::takeRemoteLists() {
    RemoteConfigManager& remote = RemoteConfigManager::shared();
    singleApps_ = remote.singleApps();
    multiApps_ = remote.multiApps();
}

std::string LeftViewController::displayName(const AppMetaData& app) {
    if (auto it = app.appName.find(foundation::Bundle::preferredLanguage()); it != app.appName.end())
        return it->second;
    return englishName(app);
}

void LeftViewController::viewDidLoad() {
    view()->setBackgroundColor(ColorManager::accentColor(102));
    tableView().setSeparatorStyle(ui::TableViewCellSeparatorStyle::none);
    tableView().setAccessibilityIdentifier("menuTableView");
    tableView().setContentInset({0, 0, 0, 0});
    tableView().setRowHeight(rowHeight);
    // The storyboard's standard cell.
    tableView().registerCell(cellIdentifier,
                             [](const std::string& identifier) { return std::make_shared<ui::TableViewCell>(identifier); });
}

void LeftViewController::viewWillAppear(bool) {
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    auto update = [weak](const foundation::Notification&) {
        if (auto self = weak.lock()) static_cast<LeftViewController&>(*self).didUpdateMenu();
    };
    auto& center = foundation::NotificationCenter::defaultCenter();
    activeObserver_ = center.addObserver(ui::Application::didBecomeActiveNotification, update);
    menuObserver_ = center.addObserver(didLoadMenuNotification, update);
}

void LeftViewController::viewWillDisappear(bool) {
    activeObserver_.reset();
    menuObserver_.reset();
}

// The lists are written and read on the main queue only: the notification
// may come from the remote configuration's own thread while the table reads
// them.
void LeftViewController::didUpdateMenu() {
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    dispatch::MainQueue::shared()->async([weak] {
        auto self = std::static_pointer_cast<LeftViewController>(weak.lock());
        if (!self) return;
        self->takeRemoteLists();
        if (self->isViewLoaded()) self->tableView().reloadData();
    });
}

int64_t LeftViewController::numberOfSections(ui::TableView&) {
    numberOfSections_ = !multiApps_.empty() && !singleApps_.empty() ? 4 : 2;
    return numberOfSections_;
}

int64_t LeftViewController::numberOfRowsInSection(ui::TableView&, int64_t section) {
    switch (section) {
        case 0: return static_cast<int64_t>(mainSectionRows_.size());
        case 1: return static_cast<int64_t>(contactSectionRows_.size());
        case 2: return static_cast<int64_t>(multiApps_.size());
        default: return static_cast<int64_t>(singleApps_.size());
    }
}

std::shared_ptr<ui::TableViewCell> LeftViewController::cellForRowAt(ui::TableView& tableView,
                                                                    const ui::IndexPath& indexPath) {
    auto cell = tableView.dequeueReusableCell(cellIdentifier, indexPath);
    cell->setBackgroundColor(ColorManager::accentColor(102));
    ui::Label& label = cell->textLabel();
    label.setFrame(ui::Rect(16, 0, tableView.frame().width() - 32, rowHeight));
    label.setFont(ui::Font::named("Avenir-Medium", 17.0));
    label.setAdjustsFontSizeToFitWidth(true);
    label.setTextColor(nearBlackColor());
    const auto row = static_cast<size_t>(indexPath.row);
    switch (indexPath.section) {
        case 0: label.setText(mainSectionRows_.at(row)); break;
        case 1: label.setText(contactSectionRows_.at(row)); break;
        case 2: label.setText(displayName(multiApps_.at(row))); break;
        default: label.setText(displayName(singleApps_.at(row))); break;
    }
    return cell;
}

std::shared_ptr<ui::View> LeftViewController::viewForHeaderInSection(ui::TableView& tableView, int64_t section) {
    const double width = tableView.frame().width();
    if (section == 0) return std::make_shared<ui::View>(ui::Rect(0, 0, width, 0));
    auto header = std::make_shared<ui::View>(ui::Rect(0, 0, width, headerHeight));
    header->setBackgroundColor(ColorManager::accentColor(103));
    auto label = std::make_shared<ui::Label>(ui::Rect(3.0, 0.0, width - 3.0, headerHeight));
    label->setFont(ui::Font::named("Avenir-Medium", 16.0));
    label->setTextColor(nearBlackColor());
    static const char* const titles[] = {"", "Visit us:", "All in one:", "Other apps:"};
    if (section <= 3) label->setText(" " + localizedString(titles[section]));
    header->addSubview(label);
    return header;
}

void LeftViewController::didSelectRowAt(ui::TableView& tableView, const ui::IndexPath& indexPath) {
    if (auto selected = tableView.indexPathForSelectedRow())
        tableView.reloadRows({*selected}, ui::TableViewRowAnimation::none);
    if (indexPath.section == 0)
        didSelectMainRow(indexPath.row);
    else if (indexPath.section == 1)
        didSelectContactRow(indexPath.row);
    else
        didSelectAppRow(indexPath.row, indexPath.section == 2);
}

void LeftViewController::didSelectMainRow(int64_t row) {
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    auto closeDrawer = [weak](bool) {
        auto self = weak.lock();
        if (kit::NavigationDrawerController* drawer = self ? kit::navigationDrawerController(*self) : nullptr)
            drawer->closeLeftView(0);
    };
    switch (row) {
        case 0:
            DEDIzurarove::logEventWithName("tapped_menu_calculate");
            AppDelegate::showFreshCalculateScreen(*this);
            break;
        case 1: {
            DEDIzurarove::logEventWithName("tapped_menu_history");
            kit::NavigationDrawerController* drawer = kit::navigationDrawerController(*this);
            auto* toolbar = drawer ? dynamic_cast<kit::ToolbarController*>(drawer->rootViewController().get()) : nullptr;
            if (!toolbar) break;
            AppDelegate::registerMainStoryboard();
            toolbar->transition(ui::Storyboard("Main").instantiate<HistoryTableViewController>("HistoryTableViewController"),
                                closeDrawer);
            break;
        }
        case 2: {
            DEDIzurarove::logEventWithName("tapped_onboarding");
            OnboardingManager::presentTour(OnboardingManager::mainTourPages(), *this,
                                           ui::ModalPresentationStyle::formSheet, true);
            break;
        }
        case 3:
            DEDIzurarove::logEventWithName("tapped_privacy_policy");
            DsgvoManager::showPrivacyConsent(shared_from_this());
            break;
        default: break;
    }
}

void LeftViewController::didSelectContactRow(int64_t row) {
    if (row == 0) {
        DEDIzurarove::logEventWithName("tapped_discord");
        checkInternetConnection(*this, openCommunityInvite);
    } else if (row == 1) {
        DEDIzurarove::logEventWithName("tapped_rate_app");
        std::weak_ptr<ui::ViewController> weak = weak_from_this();
        checkInternetConnection(*this, [weak] {
            if (auto self = weak.lock()) rateApp(*self);
        });
    }
}

void LeftViewController::didSelectAppRow(int64_t row, bool isMultiApp) {
    const auto& apps = isMultiApp ? multiApps_ : singleApps_;
    if (row < 0 || row >= static_cast<int64_t>(apps.size())) return;
    const AppMetaData app = apps[static_cast<size_t>(row)];
    bool hasApp = openAppURL(app.appURLPro) || openAppURL(app.appURL);
    if (!hasApp) openStoreURL(app.storeURLPro);
    DEDIzurarove::logEventWithName("Tapped App Link",
                                   DEDIzurarove::Parameters{{"has_app", hasApp}, {"kalApp", englishName(app)}});
}
