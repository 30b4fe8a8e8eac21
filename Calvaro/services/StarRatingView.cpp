#include "Calvaro/services/StarRatingView.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/ui/Label.h"

StarRatingView::StarRatingView() : StarRatingView(ui::Rect()) {}

StarRatingView::StarRatingView(const ui::Rect& frame) : ui::View(frame) {
    for (int i = 0; i < starCount; ++i) {
        auto star = std::make_shared<ui::Label>();
        star->setTextAlignment(ui::TextAlignment::center);
        addSubview(star);
        layer().addSublayer(star->layerPointer());
    }
}

void StarRatingView::setRating(double rating) {
    if (std::isnan(rating)) rating = 0;
    rating_ = std::clamp(std::round(rating * 2) / 2, 0.0, static_cast<double>(starCount));
    setNeedsLayout();
}

// A filled star for each point given (a half point too), an outlined one for the rest.
void StarRatingView::layoutSubviews() {
    const ui::Color filled = settings_.filledColor.value_or(ui::Color::orange());
    const ui::Color empty = settings_.emptyBorderColor.value_or(ui::Color::orange());
    const double size = settings_.starSize;
    for (size_t i = 0; i < subviews().size(); ++i) {
        auto* star = static_cast<ui::Label*>(subviews()[i].get());
        star->setFrame(ui::Rect(static_cast<double>(i) * (size + 5), 0, size, size));
        star->setFont(ui::Font::system(size * 0.9));
        const double left = rating_ - static_cast<double>(i);
        star->setText(left >= 0.5 ? "\xE2\x98\x85" : "\xE2\x98\x86");
        star->setTextColor(left >= 0.5 ? filled : empty);
    }
}

std::string StarRatingView::snapshotDescription() const {
    char text[32];
    std::snprintf(text, sizeof text, "stars %g/%d", rating_, starCount);
    return text;
}
