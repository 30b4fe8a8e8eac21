#pragma once

// Everything the metadata stored with raw events is made of, read in one go.
// Equal inputs make equal metadata, so the event writer builds and encodes the
// metadata again only when what it holds has changed.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "analytics/core/MSRBundleFields.h"
#include "analytics/model/MSRUserAttribute.h"

struct MSRRawEventMetadataInputs {
    struct Attribute {
        MSRUserAttribute attribute;
        bool operator==(const Attribute& other) const {
            const MSRUserAttribute& a = attribute;
            const MSRUserAttribute& b = other.attribute;
            return a.origin() == b.origin() && a.name() == b.name() && a.value() == b.value() &&
                   a.lastSetTimestamp() == b.lastSetTimestamp();
        }
    };

    bool complete = false;  // false: no identity or settings to read yet
    std::string appID;
    bool fromAppStore = false;
    std::string appVersion;
    std::optional<std::string> zmpAppID;
    std::optional<std::string> adzevAppID;
    std::optional<std::string> installationID;
    std::optional<std::string> sessionStitchingToken;
    std::optional<int32_t> versionMajor;
    std::optional<int32_t> versionMinor;
    std::optional<int32_t> versionRelease;
    std::string consentSignals;
    bool gateOnTrackingAuthorization = false;
    // The identity's answers; the ephemeral app instance ID is not asked.
    MSRBundleIdentity identity;
    bool dmaConsent = false;
    std::string consentDiagnostics;
    bool adUserDataDenied = false;
    bool isDMARegion = false;
    std::set<std::string> corePlatformServices;
    std::string deviceModel;
    std::string osVersion;
    int32_t timeZoneOffsetMinutes = 0;
    std::optional<std::string> language;
    std::vector<Attribute> attributes;
    // Added when the DMA consent is on and the given attributes lack it.
    std::optional<Attribute> npa;

    bool operator==(const MSRRawEventMetadataInputs& other) const;
};
