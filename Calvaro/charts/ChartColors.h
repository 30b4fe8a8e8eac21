#pragma once

#include <optional>
#include <string>

#include "platform/ui/Color.h"
#include "platform/ui/View.h"

// Colour text and the card shadow, shared by the chart views and the screens'
// colour manager (which sits above the charts).

// "#rrggbb" of a colour's red, green and blue, each cut toward zero from
// 255 times the component; none when the colour has no such components.
std::optional<std::string> hexString(const ui::Color& color);

// The shadow of a card, read for the style in force now.
void addCardShadow(ui::Layer& layer);
