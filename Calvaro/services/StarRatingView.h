#pragma once

#include <optional>
#include <string>

#include "platform/ui/View.h"

// The star-rating view of the rating prompt: five stars, one layer each,
// and the rating the user gave (half stars allowed).
class StarRatingView : public ui::View {
public:
    static constexpr int starCount = 5;

    struct Settings {
        std::optional<ui::Color> filledColor;
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

    std::string snapshotDescription() const override;

private:
    double rating_ = 0;
    Settings settings_;
};
