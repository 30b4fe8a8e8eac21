#pragma once

#include <memory>
#include <string>

#include "platform/ui/Button.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/ViewController.h"

// The manual: one page image of the bundle in a zoomable scroll view under
// a heading, and a button that closes it. A new one is made per showing.
class ManualViewController : public ui::ViewController {
public:
    static constexpr const char* nibName = "ManualViewController";
    static constexpr const char* closeButtonIdentifier = "closeManualButton";
    static constexpr double minimumZoomScale = 1.0;
    static constexpr double maximumZoomScale = 4.0;

    // Set by the presenter before the view loads.
    std::string imageName;

    // Presents a new manual showing `imageName` from `presenter` as a page sheet.
    static void show(ui::ViewController& presenter, const std::string& imageName);

    void loadView() override;
    void viewDidLoad() override;

    // The scroll view's zooming view.
    ui::View* viewForZooming() const { return imageView_.get(); }
    // Zooms the page by `scale`, kept within the zoom limits (a pinch).
    void zoom(double scale);
    double zoomScale() const { return zoomScale_; }
    void closeButtonPressed();

    ui::Label* label() const { return label_.get(); }
    ui::ImageView* imageView() const { return imageView_.get(); }
    ui::ScrollView* scrollView() const { return scrollView_.get(); }
    ui::Button* closeButton() const { return closeButton_.get(); }

private:
    std::shared_ptr<ui::Label> label_;
    std::shared_ptr<ui::ImageView> imageView_;
    std::shared_ptr<ui::ScrollView> scrollView_;
    std::shared_ptr<ui::Button> closeButton_;
    double zoomScale_ = 1.0;
};
