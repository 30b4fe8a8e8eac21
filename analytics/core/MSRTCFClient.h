#pragma once

#include <memory>
#include <string>

#include "analytics/core/MSRTCFData.h"

class MSRUserDefaults;

// Turns the TCF strings the application's consent platform stores into the
// engine's consent (ad storage, ad personalization, ad user data; source 5),
// logs "_tcf" whenever they change and remembers the last state it applied in
// its own suite, so unchanged data is applied only once, across launches too.
// Made through MSRComponentRegistry; runs on the engine's worker queue.
class MSRTCFClient {
  public:
    static constexpr const char* kStringRepresentationKey = "tcf_StringRepresentation";

    // The standard preferences and the snapshot suite "<root>.tcf.userdefaults".
    MSRTCFClient();
    MSRTCFClient(std::shared_ptr<MSRUserDefaults> standard, std::shared_ptr<MSRUserDefaults> snapshot);
    virtual ~MSRTCFClient() = default;

    static std::string snapshotSuiteName();

    void readTCFData() { tcfData_.readFromUserDefaults(); }
    bool shouldApplyTCFData() const;
    virtual void setConsentFromTCFData();
    void logTCFChangedEvent();
    void storeCurrentData();
    std::string stringRepresentationFromTCFData() const;
    bool persistedValuesEqualCurrentData() const;
    // Five characters: "1", the CMP id in two, the policy version and the flags.
    std::string tcfBundleParameterValue() const;
    static const char* consentStatusFromEnabled(bool enabled) { return enabled ? "granted" : "denied"; }
    void clearPersistedValues();

    const MSRTCFData& tcfData() const { return tcfData_; }
    bool isDMARegion() const { return isDMARegion_; }
    virtual void setIsDMARegion(bool isDMARegion) { isDMARegion_ = isDMARegion; }

  private:
    MSRTCFData tcfData_;
    std::shared_ptr<MSRUserDefaults> userDefaults_;
    bool isDMARegion_ = true;
};
