#include "Calvaro/services/OnboardingManager.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Traits.h"

namespace {

using foundation::localizedString;

// The family's accent colours, built once.
const ui::Color& lightAccent() {
    static const ui::Color color = ui::Color::rgb(0.77, 0.24, 0.0);
    return color;
}

const ui::Color& darkAccent() {
    static const ui::Color color = ui::Color::rgb(1.0, 0.63, 0.25);
    return color;
}

OnboardingPageTable tableOf(const std::vector<std::pair<const char*, const char*>>& rows) {
    OnboardingPageTable table;
    for (const auto& [image, key] : rows) table.push_back({"", image, "", localizedString(key)});
    return table;
}

std::string withApplicationTitle(std::string text) {
    static const std::string placeholder = "§appname";
    if (text.find(placeholder) == std::string::npos) return text;
    const std::string title = "\"" + localizedString("Calvaro", "Calvaro") + "\"";
    for (size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + title.size()))
        text.replace(at, placeholder.size(), title);
    return text;
}

}  // namespace

const OnboardingPageTable& OnboardingManager::mainTourPages() {
    static const OnboardingPageTable table = tableOf({{"main_onboarding_1", "onboardingA"},
                                                      {"single_onboarding_2", "onboardingB"},
                                                      {"single_onboarding_3", "onboardingC"},
                                                      {"single_onboarding_4", "onboardingD"},
                                                      {"main_onboarding_4", "onboardingE"}});
    return table;
}

const OnboardingPageTable& OnboardingManager::videoTourPages() {
    static const OnboardingPageTable table = tableOf({{"onboarding_youtube_1", "onboardingYoutube1"},
                                                      {"onboarding_youtube_2", "onboardingYoutube2"},
                                                      {"onboarding_youtube_3", "onboardingYoutube3"},
                                                      {"onboarding_youtube_4", "onboardingYoutube4"},
                                                      {"onboarding_youtube_5", "onboardingYoutube5"}});
    return table;
}

std::vector<OnboardPage> OnboardingManager::pageItems(const OnboardingPageTable& table) const {
    std::vector<OnboardPage> pages;
    for (size_t i = 0; i < table.size(); ++i) {
        const OnboardingPage& row = table[i];
        OnboardPage page;
        page.title = row.title;
        page.imageName = row.imageName;
        page.videoName = row.videoName;
        page.description = withApplicationTitle(row.description);
        page.advanceButtonTitle =
            i + 1 < table.size() ? localizedString("next", "Next") : localizedString("letsStart", "Let's start");
        pages.push_back(std::move(page));
    }
    return pages;
}

OnboardAppearanceConfiguration OnboardingManager::appearanceConfiguration() const {
    OnboardAppearanceConfiguration appearance;
    appearance.tintColor = ui::TraitCollection::isDark() ? darkAccent() : lightAccent();
    appearance.titleColor = ui::Color::label();
    appearance.textColor = ui::Color::label();
    appearance.backgroundColor = ui::Color::systemBackground();
    appearance.imageContentMode = ui::ContentMode::center;
    appearance.titleFont = ui::Font::preferred("title1");
    appearance.textFont = ui::Font::preferred("body");
    appearance.advanceButtonStyling = [tint = appearance.tintColor](ui::Button& button) {
        button.setTitleColor(tint, ui::ControlState::normal);
        button.titleLabel().setFont(ui::Font::system(20, "semibold"));
        if (!ui::TraitCollection::isDark()) {
            ui::Layer& layer = button.layer();
            layer.masksToBounds = false;
            layer.shadowColor = ui::Color::systemGray();
            layer.shadowOpacity = 0.7;
            layer.shadowOffset = {0, 1};
            layer.shadowRadius = 1.0;
        }
    };
    return appearance;
}

std::shared_ptr<OnboardViewController> OnboardingManager::presentTour(const OnboardingPageTable& table,
                                                                     ui::ViewController& presenter,
                                                                     ui::ModalPresentationStyle style, bool animated) {
    OnboardingManager manager;
    auto tour = std::make_shared<OnboardViewController>(manager.pageItems(table), manager.appearanceConfiguration(),
                                                        [] { finishOnboarding(); });
    tour->setModalPresentationStyle(style);
    tour->presentFrom(presenter, animated);
    return tour;
}

void OnboardingManager::finishOnboarding(const std::function<void()>& action) {
    foundation::UserDefaults::standard().set(isOnboardingFinishedKey, true);
    if (action) action();
}
