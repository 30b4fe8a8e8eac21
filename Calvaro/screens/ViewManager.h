#pragma once

#include <memory>
#include <string>

#include "platform/ui/View.h"
#include "platform/ui/Window.h"

// View work that belongs to no single screen: the key window, the toast, the
// loading overlay and segmented-control images.
class ViewManager {
public:
    static constexpr int64_t loadingOverlayTag = 8989;
    // The toast on screen, found again by this tag so that a new one replaces it.
    static constexpr int64_t toastTag = 8990;
    static constexpr double toastDuration = 3.0;
    static constexpr double fadeOutDuration = 2.0;

    ViewManager() = delete;

    // The first window of the first connected scene when that is a window
    // scene with a window; otherwise null.
    static ui::Window* keyWindow();

    // Shows `message` near the bottom of the key window's root view for three
    // seconds, then fades it out. The box is as high as the wrapped message
    // needs, at least 40 points, and ends 80 points above the bottom. A toast
    // still on screen is taken away first: two boxes at one place would show
    // the older text through the newer.
    static void showToast(const std::string& message);
    static void fadeOut(const std::shared_ptr<ui::View>& view);

    // Both only queue their work on the main queue, so they may be called
    // from any thread and keep their order.
    static void showLoadingOverlay();
    static void hideLoadingOverlay();

    static void fixSegmentedControlImages(ui::View& root);
};
