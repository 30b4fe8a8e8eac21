#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analytics/model/MSRAudienceFilter.h"

// One audience filter over the events of one (internal) name, as stored: the
// filter message itself stays encoded until it is matched.
class MSREventFilter : public MSRAudienceFilter {
  public:
    MSREventFilter(int32_t audienceID, int32_t filterID, std::string eventName, std::vector<uint8_t> data,
                   bool sessionScoped, bool dynamic, bool sequence)
        : MSRAudienceFilter(audienceID, filterID, sessionScoped, dynamic, sequence),
          eventName_(std::move(eventName)), data_(std::move(data)) {}

    const std::string& eventName() const { return eventName_; }
    // The encoded MSRPBEventFilter.
    const std::vector<uint8_t>& data() const { return data_; }
    bool isEventFilter() const override { return true; }

  private:
    std::string eventName_;
    std::vector<uint8_t> data_;
};
