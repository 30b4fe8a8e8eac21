#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Calvaro/charts/ChartColors.h"
#include "platform/ui/Color.h"
#include "Calvaro/services/StarRatingView.h"
#include "platform/ui/View.h"


// In dark style the colour with its brightness multiplied by `factor` (not
// below 0); in any other style the colour itself.
ui::Color adjustedForDarkStyle(const ui::Color& color, double factor);

// The screens' palette, each colour made once on first use and kept.
const ui::Color& appOrange();
const ui::Color& appLightOrange();
const ui::Color& appDarkOrange();
const ui::Color& appPink();
const ui::Color& appDarkPink();
const ui::Color& nearBlackColor();
const ui::Color& groupedBackgroundColor();
const ui::Color& grayColor();
const ui::Color& secondaryGrayColor();
const ui::Color& labelTextColor();
const ui::Color& secondaryLabelTextColor();
const ui::Color& fieldLayerColor();
const ui::Color& fieldBorderColor();
const ui::Color& enabledFieldBackgroundColor();
const ui::Color& disabledFieldBackgroundColor();

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
