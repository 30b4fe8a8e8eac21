#pragma once

// The product family's shared colours. This application defines none; the
// screens' palette lives in ColorManager.
struct KalColor {
    KalColor() = delete;
};
