#pragma once

#include <memory>
#include <optional>

#include "Calvaro/services/KalAdData.h"
#include "platform/kit/Buttons.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/ViewController.h"

// The house ad: the image of one of the family's offers, a button with the
// discount and a close button. It counts its presentations and reports
// presentation, closing and opening of the offer. The application itself
// never presents it; a caller sets `currentAd` and presents it.
class KalAdsViewController : public ui::ViewController {
public:
    static constexpr const char* countKalAdsPresentedKey = "countKalAdsPresented";

    std::optional<KalAdData> currentAd;

    void loadView() override;
    void viewDidLoad() override;
    void viewDidAppear(bool animated) override;

    void closeButtonPressed();
    void discountButtonPressed();

    ui::Button* closeButton() const { return closeButton_.get(); }
    ui::ImageView* adImageView() const { return adImageView_.get(); }
    ui::Button* discountButton() const { return discountButton_.get(); }

private:
    void log(const std::string& event);

    std::shared_ptr<kit::IconButton> closeButton_;
    std::shared_ptr<ui::ImageView> adImageView_;
    std::shared_ptr<kit::RaisedButton> discountButton_;
};
