#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "analytics/reporters/MSRReporters.h"
#include "analytics/reporters/MSRScreenViewReporter.h"
#include "platform/foundation/Bundle.h"
#include "tests/core/FacadeHarness.h"

// The facade started on a recording engine in virtual time, with the
// reporters registered against a bundle whose Info.plist the test writes.
class ReportersTest : public FacadeTest {
  protected:
    // `switchValue`: the XML of the "VuzedezoScreenReportingEnabled" value,
    // none for no key.
    void startReporters(const std::optional<std::string>& switchValue = std::nullopt) {
        MSRSetScreenReportingBundle(bundleWithSwitch(switchValue));
        MSRRegisterReporters();
        start();
    }

    std::shared_ptr<const foundation::Bundle> bundleWithSwitch(
        const std::optional<std::string>& switchValue) {
        const auto folder = root_.path() / ("bundle" + std::to_string(++bundles_));
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            << (switchValue ? "<key>VuzedezoScreenReportingEnabled</key>" + *switchValue : "")
            << "</dict></plist>\n";
        return std::make_shared<foundation::Bundle>(folder, "en");
    }

    // The engine's events of these names, in order.
    std::vector<RecordingEngine::Event> events(std::initializer_list<const char*> names) {
        settle();
        std::vector<RecordingEngine::Event> found;
        for (const auto& event : engine_->events)
            for (const char* name : names)
                if (event.name == name) found.push_back(event);
        return found;
    }
    void forgetEvents() {
        settle();
        engine_->events.clear();
    }
    static std::optional<int64_t> integer(const RecordingEngine::Event& event, const std::string& key) {
        auto found = event.parameters.find(key);
        if (found == event.parameters.end()) return std::nullopt;
        const auto* value = std::get_if<MSRValue>(&found->second);
        return value && value->isInt64() ? std::optional<int64_t>(value->int64Value()) : std::nullopt;
    }
    static std::string text(const RecordingEngine::Event& event, const std::string& key) {
        auto found = event.parameters.find(key);
        if (found == event.parameters.end()) return "";
        const auto* value = std::get_if<MSRValue>(&found->second);
        return value && value->stringValue() ? *value->stringValue() : "";
    }
    // The reporters' message codes (below 40000) logged since the last call.
    std::vector<int64_t> takeCodes() {
        std::vector<int64_t> found;
        for (const auto& line : monitor_.takeLines()) {
            auto at = line.find("I-MSR");
            const int64_t code = at == std::string::npos ? 0 : std::stoll(line.substr(at + 5, 6));
            if (code > 0 && code < 40000 && code != 2001 && code != 2002 && code != 2003)
                found.push_back(code);
        }
        return found;
    }
    static size_t count(const std::vector<int64_t>& codes, int64_t code) {
        return static_cast<size_t>(std::count(codes.begin(), codes.end(), code));
    }
    dispatch::FakeClock& clock() { return executor().clock(); }

    int bundles_ = 0;
};
