#pragma once

// `calvaro serve` as a person meets it in a browser: started in a language
// on a data root, and what the tab showed kept for a person to look at.

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/foundation/Value.h"
#include "tests/web/DevTools.h"
#include "tests/web/WebTestSupport.h"

// The preferences of a user who consented and took the tour, with
// `moreEntries` (plist keys and values) beside them, on the data root `home`.
inline void writeReturningUserPreferences(const std::filesystem::path& home, const std::string& moreEntries = "") {
    std::filesystem::create_directories(home / "Library/Preferences");
    std::ofstream(home / "Library/Preferences/org.calvaro.Calvaro.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>isDsgvoAccepted</key><true/><key>isOnboardingFinished</key><true/>"
        << moreEntries << "</dict></plist>\n";
}

// `calvaro serve --port 0` in `language` on `home`, and the address it
// printed (empty when it printed none within half a minute); ended by Ctrl-C.
struct LiveApplication {
    LiveApplication(const std::filesystem::path& home, const std::string& language)
        : process({"serve", "--port", "0", "--home", home.string()}, {"CALVARO_LANGUAGE=" + language}) {
        const std::string marker = "live at ";
        if (!process.readUntil(
                [&](const std::string& said) {
                    const size_t at = said.find(marker);
                    return at != std::string::npos && said.find(" (", at) != std::string::npos;
                },
                std::chrono::seconds(30)))
            return;
        const std::string& said = process.output();
        const size_t at = said.find(marker) + marker.size();
        url = said.substr(at, said.find(" (", at) - at);
    }
    ~LiveApplication() {
        if (process.pid() > 0) {
            process.signal(SIGINT);
            process.finish();
        }
    }
    CalvaroProcess process;
    std::string url;
};

// The whole page the tab shows, below the fold too, kept as `name`.png under
// CALVARO_TEST_PICTURES when set.
inline void keepLivePicture(Tab& tab, const std::string& name) {
    const char* keep = std::getenv("CALVARO_TEST_PICTURES");
    if (!keep || !*keep) return;
    const auto width = tab.evaluate("document.documentElement.clientWidth");
    const auto height = tab.evaluate("document.documentElement.scrollHeight");
    const auto shot = tab.call("Page.captureScreenshot",
                               {{"format", "png"}, {"captureBeyondViewport", true},
                                {"clip", {{"x", 0}, {"y", 0}, {"width", width}, {"height", height}, {"scale", 1}}}});
    const auto bytes = foundation::base64Decode(shot.value("data", std::string()));
    if (!bytes) return;
    std::filesystem::create_directories(keep);
    std::ofstream(std::filesystem::path(keep) / (name + ".png"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
}
