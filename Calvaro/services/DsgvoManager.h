#pragma once

#include <functional>
#include <memory>

#include "platform/ui/ViewController.h"

// The two consent dialogs and the answers kept in the standard preferences.
class DsgvoManager {
public:
    static constexpr const char* isDsgvoAcceptedKey = "isDsgvoAccepted";
    static constexpr const char* isYoutubeDsgvoAcceptedKey = "isYoutubeDsgvoAccepted";

    DsgvoManager() = delete;

    // Queues the privacy dialog on `presenter`; its only answer stores the
    // acceptance and then runs `completion`.
    static void showPrivacyConsent(std::shared_ptr<ui::ViewController> presenter,
                                   std::function<void()> completion = {});
    // Queues the video-player dialog on `presenter`; each answer is stored
    // before its continuation runs.
    static void showYoutubeConsent(std::shared_ptr<ui::ViewController> presenter, std::function<void()> accepted = {},
                                   std::function<void()> declined = {});
};
