#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Calvaro/charts/palette/Palette.h"
#include "platform/ui/Color.h"
#include "Calvaro/services/StarRatingView.h"
#include "platform/ui/View.h"

// The colour rules of the screens: accent colours chosen by view tags, the
// colouring of a loaded view tree and the card shadows.
class ColorManager {
public:
    static constexpr double appColorAlpha = 1.0;
    static constexpr int64_t halfTransparentTag = 200;

    ColorManager() = delete;

    static ui::Color makeAppColor(double red, double green, double blue);
    // The accent colour of tags 101 to 105, none for other tags.
    static std::optional<ui::Color> accentColor(int64_t tag);

    // Colours the descendants of `root` by their exact class; `root` itself
    // is left alone.
    static void applyColors(ui::View& root);
    static void styleView(ui::View& view);
    // Tag colour for the filled stars and, in light style, a grey shadow on every star.
    static void applyCardStyle(StarRatingView& stars);
    static void addShadow(ui::Layer& layer);
};
