#pragma once

#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/View.h"

// The star-rating view of the rating prompt: five stars, one layer each,
// and the rating the user gave (half stars allowed). Each star is a small
// label whose layer is the star's layer, so pages draw the stars in the
// colours of the settings.
class StarRatingView : public ui::View {
public:
    static constexpr int starCount = 5;

    struct Settings {
        std::optional<ui::Color> filledColor;  // orange when absent
        std::optional<ui::Color> emptyBorderColor;  // orange when absent
        double starSize = 30;
        bool fillHalfStars = true;
    };

    StarRatingView();
    explicit StarRatingView(const ui::Rect& frame);

    double rating() const { return rating_; }
    // Kept within 0 to the number of stars, to half stars; not a number gives 0.
    void setRating(double rating);
    Settings& settings() { return settings_; }
    const Settings& settings() const { return settings_; }

    void layoutSubviews() override;
    std::string snapshotDescription() const override;
    bool snapshotListsSubviews() const override { return false; }
    std::vector<std::shared_ptr<ui::View>> snapshotSubviews() const override { return {}; }

private:
    double rating_ = 0;
    Settings settings_;
};
