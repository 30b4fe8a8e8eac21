#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Calvaro/charts/SolutionImageRendering.h"
#include "Calvaro/charts/data/ChartData.h"
#include "Calvaro/screens/CalculateViewController.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/kit/Buttons.h"
#include "platform/ui/TableView.h"


// The Solution screen (page 1 of the tabs): one row per solution step, one
// per chart and a row of tutorial videos. Filled by the Calculate screen,
// emptied by Clear.
class SolutionViewController : public AdHandlingViewController,
                               public ui::TableViewDataSource,
                               public ui::TableViewDelegate {
public:
    using Step = std::map<std::string, std::string>;
    using ChartRows = std::vector<std::vector<std::shared_ptr<ChartData>>>;
    static constexpr const char* clearNotification = "ClearCurrentCalculationNotification";

    SolutionViewController();
    ~SolutionViewController() override;

    void loadView() override;
    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;

    ui::TableView* tableView() const { return tableView_.get(); }
    kit::FABButton* shareButton() const { return shareButton_.get(); }
    kit::FABButton* manualButton() const { return manualButton_.get(); }

    const std::vector<Step>& solutionSteps() const { return solutionSteps_; }
    // Sets the steps and reloads the table.
    void setSolutionSteps(std::vector<Step> steps);
    const ChartRows& chartSteps() const { return chartSteps_; }
    void setChartSteps(ChartRows charts) { chartSteps_ = std::move(charts); }
    const std::optional<std::string>& manualImageName() const { return manualImageName_; }
    void setManualImageName(std::optional<std::string> name) { manualImageName_ = std::move(name); }
    const std::optional<std::map<int64_t, double>>& configuredRowHeight() const { return configuredRowHeight_; }
    void setConfiguredRowHeight(std::optional<std::map<int64_t, double>> heights) {
        configuredRowHeight_ = std::move(heights);
    }
    const std::vector<std::string>& videoUrlStrings() const { return videoUrlStrings_; }
    void setVideoUrlStrings(std::vector<std::string> urls) { videoUrlStrings_ = std::move(urls); }

    void clearSolution();
    void showManual();
    // Logs "kal_tapped_share" and starts the export on the main queue.
    void shareSolution();
    // The share sheet with the images; nothing for none.
    void presentShareSheet(const std::vector<std::shared_ptr<const ui::Image>>& images);

    // The table.
    int64_t numberOfSections(ui::TableView& tableView) override;
    int64_t numberOfRowsInSection(ui::TableView& tableView, int64_t section) override;
    std::shared_ptr<ui::TableViewCell> cellForRowAt(ui::TableView& tableView, const ui::IndexPath& indexPath) override;
    bool canEditRowAt(ui::TableView&, const ui::IndexPath&) override { return false; }
    std::optional<double> heightForRowAt(ui::TableView& tableView, const ui::IndexPath& indexPath) override;
    void willDisplayCell(ui::TableView& tableView, ui::TableViewCell& cell, const ui::IndexPath& indexPath) override;

private:
    bool hasVideoSection() const { return !solutionSteps_.empty() && !videoUrlStrings_.empty(); }
    void prepareTab();
    void exportSolutionImage();

    std::shared_ptr<ui::TableView> tableView_;
    std::shared_ptr<kit::FABButton> shareButton_;
    std::shared_ptr<kit::FABButton> manualButton_;
    double bottomBannerConstant_ = 0;
    std::optional<std::map<int64_t, double>> configuredRowHeight_;
    std::optional<std::string> manualImageName_;
    std::vector<Step> solutionSteps_;
    ChartRows chartSteps_;
    std::vector<std::string> videoUrlStrings_;
    foundation::NotificationCenter::Token clearObserver_;
};
