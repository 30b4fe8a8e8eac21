#include "Calvaro/screens/SolutionViewController.h"

#include "Calvaro/screens/ColorManager.h"
#include "Calvaro/screens/ManualViewController.h"
#include "Calvaro/screens/ScreenUtilities.h"
#include "Calvaro/screens/SolutionImageExport.h"
#include "Calvaro/screens/ViewManager.h"
#include "analytics/core/DEDIzurarove.h"
#include "Calvaro/screens/SolutionRowCells.h"
#include "Calvaro/screens/SolutionStepTableViewCell.h"
#include "Calvaro/screens/VideoCollectionTableViewCell.h"
#include "Calvaro/services/CalculationType.h"
#include "Calvaro/services/RemoteConfigManager.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/kit/Icon.h"
#include "platform/kit/TabsController.h"
#include "platform/kit/ToolbarController.h"
#include "platform/ui/Storyboard.h"
#include "platform/ui/Traits.h"

namespace {

constexpr int64_t stepSection = 0;
constexpr int64_t chartSection = 1;
constexpr double chartRowRestartDelay = 0.5;

}  // namespace

SolutionViewController::SolutionViewController() { prepareTab(); }

SolutionViewController::~SolutionViewController() {
    if (tableView_) {
        tableView_->setDataSource(nullptr);
        tableView_->setDelegate(nullptr);
    }
}

void SolutionViewController::prepareTab() {
    prepareTabItem(*this, foundation::localizedString("Result"), !solutionSteps_.empty(),
                   foundation::localizedString("resultNeedsCalculation"));
}

void SolutionViewController::loadView() {
    ui::ViewController::loadView();
    ui::View& root = *view();
    const ui::Rect bounds = root.bounds();
    tableView_ = std::make_shared<ui::TableView>(ui::Rect(0, 0, bounds.width(), bounds.height()));
    tableView_->setSeparatorStyle(ui::TableViewCellSeparatorStyle::none);
    tableView_->setAccessibilityIdentifier("solutionTableView");
    root.addSubview(tableView_);
    shareButton_ = std::make_shared<kit::FABButton>();
    shareButton_->setFrame(ui::Rect(bounds.width() - 64, bounds.height() - 200, 48, 48));
    shareButton_->setAccessibilityIdentifier("shareButton");
    root.addSubview(shareButton_);
    manualButton_ = std::make_shared<kit::FABButton>(kit::Icon::named("info"));
    manualButton_->setFrame(ui::Rect(bounds.width() - 64, bounds.height() - 260, 48, 48));
    manualButton_->setAccessibilityIdentifier("manualButton");
    root.addSubview(manualButton_);
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    shareButton_->addTarget(ui::ControlEvent::touchUpInside, [weak](ui::Control&) {
        if (auto self = std::static_pointer_cast<SolutionViewController>(weak.lock())) self->shareSolution();
    });
    manualButton_->addTarget(ui::ControlEvent::touchUpInside, [weak](ui::Control&) {
        if (auto self = std::static_pointer_cast<SolutionViewController>(weak.lock())) self->showManual();
    });
}

void SolutionViewController::viewDidLoad() {
    tableView_->setDataSource(this);
    tableView_->setDelegate(this);
    registerSolutionRowNibs();
    tableView_->registerCell(SolutionStepTableViewCell::reuseIdentifier,
                             [](const std::string&) {
                                 // The storyboard's prototype cell: awakes as a nib's cell does.
                                 auto cell = std::make_shared<SolutionStepTableViewCell>();
                                 cell->awakeFromNib();
                                 return cell;
                             });
    tableView_->registerNib(ChartTableViewCell::nibName, ChartTableViewCell::reuseIdentifier);
    tableView_->registerNib(VideoCollectionTableViewCell::nibName, VideoCollectionTableViewCell::reuseIdentifier);
    shareButton_->setImage(kit::Icon::share());
    prepareTab();
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    clearObserver_ = foundation::NotificationCenter::defaultCenter().addObserver(
        clearNotification, [weak](const foundation::Notification&) {
            if (auto self = std::static_pointer_cast<SolutionViewController>(weak.lock())) self->clearSolution();
        });
    // The layout's trailing constraint lets the table run under the two
    // floating buttons to the screen's edge: chart rows are sized from the
    // screen's width and must fit, and so must the shared image.
    ui::Rect frame = tableView_->frame();
    tableView_->setFrame(ui::Rect(frame.x(), frame.y(), view()->bounds().width(), frame.height()));
    view()->layoutIfNeeded();
}

void SolutionViewController::viewWillAppear(bool) {
    ColorManager::applyColors(*view());
    manualButton_->setHidden(!manualImageName_ || manualImageName_->empty());
    shareButton_->setHidden(solutionSteps_.empty());
    prepareTab();
    videoUrlStrings_ = RemoteConfigManager::shared().videoUrlStrings(CalculationType::powerAndLogarithmicFunction);
    tableView_->setTableFooterView(
        std::make_shared<ui::View>(ui::Rect(0, 0, 0, tableView_->frame().height() * 0.25)));
    tableView_->reloadData();
    if (bannerView) bannerView->setHidden(true);
    bottomBannerConstant_ = bottomSafeAreaInset();
    view()->layoutIfNeeded();
    if (kit::ToolbarController* toolbar = kit::toolbarController(*this))
        toolbar->toolbar().setTitle(foundation::localizedString("Calculate Title"));
}

void SolutionViewController::setSolutionSteps(std::vector<Step> steps) {
    solutionSteps_ = std::move(steps);
    if (tableView_) tableView_->reloadData();
}

void SolutionViewController::clearSolution() {
    loadViewIfNeeded();
    if (tableView_->numberOfSections() > 0 && tableView_->numberOfRowsInSection(stepSection) > 0)
        tableView_->scrollToRow({stepSection, 0}, ui::TableViewScrollPosition::top, false);
    solutionSteps_.clear();
    tableView_->reloadData();
    chartSteps_.clear();
    prepareTab();
    manualImageName_.reset();
    tableView_->setTableFooterView(nullptr);
    tableView_->reloadData();
    if (kit::TabsController* tabs = kit::tabsController(*this)) tabs->select(0);
}

void SolutionViewController::showManual() {
    if (!manualImageName_ || manualImageName_->empty()) return;
    ManualViewController::show(*this, *manualImageName_);
}

void SolutionViewController::shareSolution() {
    foundation::Value::List steps;
    for (const auto& step : solutionSteps_) {
        foundation::Value::Dictionary entry;
        for (const auto& [key, value] : step) entry[key] = foundation::Value(value);
        steps.emplace_back(std::move(entry));
    }
    DEDIzurarove::logEventWithName(
        "kal_tapped_share",
        DEDIzurarove::Parameters{{"solutionSteps", foundation::Value(std::move(steps))},
                                 {"solutionStepsCount", foundation::Value(static_cast<int64_t>(solutionSteps_.size()))}});
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    dispatch::MainQueue::shared()->async([weak] {
        if (auto self = std::static_pointer_cast<SolutionViewController>(weak.lock())) self->exportSolutionImage();
    });
}

// The sheet is asked for twice: when the user confirms the alert and when
// the picture is ready. Whichever comes while nothing else is presented shows
// it (a confirmation before the picture finds the list empty; the end of the
// rendering while the alert is up is refused), so it shows exactly once.
void SolutionViewController::exportSolutionImage() {
    if (solutionSteps_.empty()) return;
    isRenderingSolutionImage = true;
    ViewManager::showLoadingOverlay();
    auto images = std::make_shared<std::vector<std::shared_ptr<const ui::Image>>>();
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    auto ok = std::make_shared<ui::AlertAction>("OK", ui::AlertActionStyle::defaultStyle, [weak, images](ui::AlertAction&) {
        if (auto self = std::static_pointer_cast<SolutionViewController>(weak.lock())) self->presentShareSheet(*images);
    });
    presentAlert(*this, foundation::localizedString("sharingImageQualityTitle"),
                 foundation::localizedString("sharingImageQualityText"), {ok}, ui::AlertControllerStyle::alert);
    tableScreenshot(*tableView_, std::nullopt, std::nullopt, [weak, images](ViewImagePointer image) {
        if (image) images->push_back(image);
        ViewManager::hideLoadingOverlay();
        isRenderingSolutionImage = false;
        if (auto self = std::static_pointer_cast<SolutionViewController>(weak.lock())) self->presentShareSheet(*images);
    });
}

void SolutionViewController::presentShareSheet(const std::vector<std::shared_ptr<const ui::Image>>& images) {
    if (images.empty()) return;
    std::vector<ui::ActivityViewController::Item> items;
    for (const auto& image : images) items.push_back({"image", image->name(), image});
    auto sheet = std::make_shared<ui::ActivityViewController>(std::move(items));
    if (ui::TraitCollection::idiom() == ui::UserInterfaceIdiom::pad) {
        const ui::Rect frame = view()->frame();
        sheet->setModalPresentationStyle(ui::ModalPresentationStyle::popover);
        sheet->popoverPresentationController().sourceView = view().get();
        sheet->popoverPresentationController().sourceRect = ui::Rect(0, frame.height(), frame.width(), 50);
    }
    present(sheet, true);
}

int64_t SolutionViewController::numberOfSections(ui::TableView&) {
    return 1 + (chartSteps_.empty() ? 0 : 1) + (hasVideoSection() ? 1 : 0);
}

int64_t SolutionViewController::numberOfRowsInSection(ui::TableView& tableView, int64_t section) {
    if (section == stepSection) return static_cast<int64_t>(solutionSteps_.size());
    if (section == chartSection && !chartSteps_.empty()) return static_cast<int64_t>(chartSteps_.size());
    return section == numberOfSections(tableView) - 1 && hasVideoSection() ? 1 : 0;
}

std::shared_ptr<ui::TableViewCell> SolutionViewController::cellForRowAt(ui::TableView& tableView,
                                                                        const ui::IndexPath& indexPath) {
    if (indexPath.section == stepSection) {
        auto cell = std::static_pointer_cast<SolutionStepTableViewCell>(
            tableView.dequeueReusableCell(SolutionStepTableViewCell::reuseIdentifier, indexPath));
        const Step& step = solutionSteps_.at(static_cast<size_t>(indexPath.row));
        auto title = step.find("title");
        cell->setStepTitle(title == step.end() ? "" : title->second);
        cell->setStep(step);
        return cell;
    }
    if (indexPath.section == chartSection && !chartSteps_.empty()) {
        auto cell = std::static_pointer_cast<ChartTableViewCell>(
            tableView.dequeueReusableCell(ChartTableViewCell::reuseIdentifier, indexPath));
        cell->setBackgroundColor(ui::Color::clear());
        cell->configureChart(chartSteps_.at(static_cast<size_t>(indexPath.row)), *view());
        return cell;
    }
    auto cell = std::static_pointer_cast<VideoCollectionTableViewCell>(
        tableView.dequeueReusableCell(VideoCollectionTableViewCell::reuseIdentifier, indexPath));
    cell->videoUrlStringArray = videoUrlStrings_;
    cell->reloadData();
    return cell;
}

std::optional<double> SolutionViewController::heightForRowAt(ui::TableView& tableView, const ui::IndexPath& indexPath) {
    if (indexPath.section == stepSection) {
        if (configuredRowHeight_) {
            if (auto it = configuredRowHeight_->find(indexPath.row); it != configuredRowHeight_->end()) return it->second;
        }
        return tableView.rowHeight();
    }
    if (indexPath.section == chartSection && !chartSteps_.empty()) {
        const auto& row = chartSteps_.at(static_cast<size_t>(indexPath.row));
        // A row always holds a description; an empty one gets a square.
        const double ratio = row.empty() || row.front()->frameRatio <= 0 ? 1.0 : row.front()->frameRatio;
        return view()->frame().width() / ratio;
    }
    return VideoCollectionTableViewCell::rowHeight();
}

void SolutionViewController::willDisplayCell(ui::TableView&, ui::TableViewCell& cell, const ui::IndexPath& indexPath) {
    auto* chart = dynamic_cast<ChartTableViewCell*>(&cell);
    if (!chart || indexPath.section != chartSection || chartSteps_.empty()) return;
    chart->restartAnimationAfter(chartRowRestartDelay);
}
