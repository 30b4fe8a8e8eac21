#pragma once

#include <optional>
#include <string>

#include "platform/ui/Color.h"
#include "platform/ui/View.h"

// "#rrggbb" of a colour's red, green and blue, each cut toward zero from
// 255 times the component; none when the colour has no such components.
std::optional<std::string> hexString(const ui::Color& color);

// In dark style the colour with its brightness multiplied by `factor` (not
// below 0); in any other style the colour itself.
ui::Color adjustedForDarkStyle(const ui::Color& color, double factor);

// A colour of the palette: opaque, dimmed in dark style.
ui::Color makeAppColor(double red, double green, double blue);

// The palette of the screens and chart views, each colour made once on
// first use and kept.
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

// The card shadow of chart and video panels, lighter in dark style.
void addCardShadow(ui::Layer& layer);
// The small grey shadow of light style under buttons and fields; none in dark style.
void addLightStyleShadow(ui::Layer& layer);
