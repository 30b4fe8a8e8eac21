#include "analytics/core/MSRScreenViewReporterInterface.h"

#include "analytics/core/MSRComponentRegistry.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/SharedSlot.h"

namespace {

foundation::SharedSlot<const foundation::Bundle>& switchBundleSlot() {
    static foundation::SharedSlot<const foundation::Bundle> slot;
    return slot;
}

// The platform's Boolean reading of text: true on a leading Y, y, T, t or a
// digit 1-9 after optional blanks, signs and zeros; false otherwise.
bool booleanFromText(const std::string& text) {
    for (char c : text) {
        if (c == ' ' || c == '+' || c == '-' || c == '0') continue;
        return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    return false;
}

}  // namespace

bool MSRIsScreenReportingEnabled() {
    auto bundle = switchBundleSlot().get();
    return MSRIsScreenReportingEnabled(bundle ? *bundle : foundation::Bundle::main());
}

void MSRSetScreenReportingBundle(std::shared_ptr<const foundation::Bundle> bundle) {
    switchBundleSlot().set(std::move(bundle));
}

bool MSRIsScreenReportingEnabled(const foundation::Bundle& bundle) {
    for (const char* key : {"VuzedezoScreenReportingEnabled", "VuzedezoAutomaticScreenReportingEnabled"}) {
        const foundation::Value value = bundle.objectForInfoDictionaryKey(key);
        if (value.isAbsent()) continue;
        if (auto flag = value.boolValue()) return *flag;
        if (auto number = value.doubleValue()) return *number != 0;
        if (const auto* text = value.string()) return booleanFromText(*text);
        return true;
    }
    return true;
}

std::shared_ptr<MSRScreenViewReporterInterface> MSRScreenViewReporterInterface::shared() {
    return MSRComponentRegistry::make<MSRScreenViewReporterInterface>();
}
