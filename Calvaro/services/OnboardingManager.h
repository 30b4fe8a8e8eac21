#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Calvaro/services/OnboardViewController.h"

// One page of a tour's table.
struct OnboardingPage {
    std::string title;
    std::string imageName;
    std::string videoName;
    std::string description;
};

using OnboardingPageTable = std::vector<OnboardingPage>;

// Turns the tours' tables into the page kit's pages, supplies its appearance
// and records that the onboarding was finished.
class OnboardingManager {
public:
    static constexpr const char* isOnboardingFinishedKey = "isOnboardingFinished";

    OnboardingManager() = default;

    // The main tour and the video tour, built once per process.
    static const OnboardingPageTable& mainTourPages();
    static const OnboardingPageTable& videoTourPages();

    std::vector<OnboardPage> pageItems(const OnboardingPageTable& table) const;
    // For the interface style current now.
    OnboardAppearanceConfiguration appearanceConfiguration() const;

    // A tour of `table` in the current appearance, whose end stores the
    // finished flag, presented from `presenter` in `style`.
    static std::shared_ptr<OnboardViewController> presentTour(const OnboardingPageTable& table,
                                                             ui::ViewController& presenter,
                                                             ui::ModalPresentationStyle style, bool animated);

    // Stores the finished flag, then runs `action` when there is one.
    static void finishOnboarding(const std::function<void()>& action = {});
};
