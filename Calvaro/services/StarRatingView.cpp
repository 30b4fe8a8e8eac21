#include "Calvaro/services/StarRatingView.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

StarRatingView::StarRatingView() : StarRatingView(ui::Rect()) {}

StarRatingView::StarRatingView(const ui::Rect& frame) : ui::View(frame) {
    for (int i = 0; i < starCount; ++i) layer().addSublayer(std::make_shared<ui::Layer>());
}

void StarRatingView::setRating(double rating) {
    if (std::isnan(rating)) rating = 0;
    rating_ = std::clamp(std::round(rating * 2) / 2, 0.0, static_cast<double>(starCount));
}

std::string StarRatingView::snapshotDescription() const {
    char text[32];
    std::snprintf(text, sizeof text, "stars %g/%d", rating_, starCount);
    return text;
}
