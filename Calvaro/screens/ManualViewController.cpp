#include "Calvaro/screens/ManualViewController.h"

#include <algorithm>

#include "platform/foundation/Bundle.h"
#include "platform/kit/Buttons.h"
#include "platform/kit/Icon.h"
#include "platform/ui/Storyboard.h"

void ManualViewController::show(ui::ViewController& presenter, const std::string& imageName) {
    if (!ui::Nib::isRegistered(nibName))
        ui::Nib::registerController(nibName, [] { return std::make_shared<ManualViewController>(); });
    auto manual = std::static_pointer_cast<ManualViewController>(ui::Nib::loadController(nibName));
    manual->imageName = imageName;
    manual->setModalPresentationStyle(ui::ModalPresentationStyle::pageSheet);
    presenter.present(manual, true);
}

// What the nib holds: the heading and the close button on top, the page
// below in its scroll view.
void ManualViewController::loadView() {
    ui::ViewController::loadView();
    ui::View& root = *view();
    const ui::Rect bounds = root.bounds();
    root.setBackgroundColor(ui::Color::systemBackground());
    label_ = std::make_shared<ui::Label>(ui::Rect(20, 20, bounds.width() - 88, 44));
    label_->setFont(ui::Font::named("Avenir-Heavy", 22));
    root.addSubview(label_);
    closeButton_ = std::make_shared<kit::IconButton>(kit::Icon::close(), ui::Color::label());
    closeButton_->setFrame(ui::Rect(bounds.width() - 64, 18, 48, 48));
    std::weak_ptr<ui::ViewController> weak = weak_from_this();
    closeButton_->addTarget(ui::ControlEvent::touchUpInside, [weak](ui::Control&) {
        if (auto self = std::static_pointer_cast<ManualViewController>(weak.lock())) self->closeButtonPressed();
    });
    root.addSubview(closeButton_);
    scrollView_ = std::make_shared<ui::ScrollView>(ui::Rect(0, 72, bounds.width(), bounds.height() - 72));
    scrollView_->setAccessibilityIdentifier("manualScrollView");
    imageView_ = std::make_shared<ui::ImageView>(scrollView_->bounds());
    imageView_->setContentMode(ui::ContentMode::scaleAspectFit);
    scrollView_->addSubview(imageView_);
    scrollView_->setContentSize(imageView_->frame().size);
    root.addSubview(scrollView_);
}

void ManualViewController::viewDidLoad() {
    imageView_->setImage(ui::Image::named(imageName));
    label_->setText(foundation::localizedString("Assistance"));
    closeButton_->setAccessibilityIdentifier(closeButtonIdentifier);
}

void ManualViewController::zoom(double scale) {
    zoomScale_ = std::clamp(zoomScale_ * scale, minimumZoomScale, maximumZoomScale);
    const ui::Rect page = scrollView_->bounds();
    imageView_->setFrame(ui::Rect(0, 0, page.width() * zoomScale_, page.height() * zoomScale_));
    scrollView_->setContentSize(imageView_->frame().size);
}

void ManualViewController::closeButtonPressed() { dismiss(true); }
