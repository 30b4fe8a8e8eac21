#pragma once

// What arrived of the numbered events logged after a consent denial: how
// each was stamped, whether it carried the app instance id, and how often it
// arrived. Shared by the process rows and the data-root fuzzer, which drive
// the event driver alike.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/collector/MeasurementCollector.h"

// A denial's place in a bundle's consent signals ("G1", then ad storage and
// analytics storage); npos for a type the signals do not hold.
inline size_t consentSignalMark(const std::string& type) {
    return type == "analytics_storage" ? 3 : type == "ad_storage" ? 2 : std::string::npos;
}

struct ConsentAfterADenial {
    size_t notDenied = 0;       // sent stamped otherwise than denied
    size_t withInstanceID = 0;  // sent with the app instance id under a denial of analytics storage
    std::string firstStamp;     // the first sent stamped otherwise, said
    std::map<int64_t, int> arrived;  // each event's arrivals, repeats of a bundle not counted

    size_t twice() const {
        size_t count = 0;
        for (const auto& [n, times] : arrived) count += times > 1;
        return count;
    }
};

// Of the accepted "e2e_event"s numbered above `after`, under a denial
// stamped at `mark`.
inline ConsentAfterADenial consentAfterADenial(const std::vector<tools::CollectedUpload>& uploads, size_t mark,
                                               int64_t after) {
    ConsentAfterADenial seen;
    for (const auto& upload : uploads) {
        if (!upload.accepted()) continue;
        for (const auto& bundle : upload.bundles) {
            for (const auto& event : bundle.events) {
                const auto n = event.intParam("n");
                if (event.name != "e2e_event" || !n || *n <= after) continue;
                const std::string stamp = bundle.consentSignals.value_or("");
                if (stamp.size() <= mark || stamp[mark] != '0') {
                    ++seen.notDenied;
                    if (seen.firstStamp.empty()) seen.firstStamp = "event " + std::to_string(*n) + " stamped " + stamp;
                }
                seen.withInstanceID += mark == 3 && bundle.appInstanceID.has_value();
                if (!bundle.repeat) ++seen.arrived[*n];
            }
        }
    }
    return seen;
}
