#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analytics/model/MSRAudienceFilter.h"

// One audience filter over one (internal) user property name, as stored.
class MSRPropertyFilter : public MSRAudienceFilter {
  public:
    MSRPropertyFilter(int32_t audienceID, int32_t filterID, std::string propertyName, std::vector<uint8_t> data,
                      bool sessionScoped, bool dynamic, bool sequence)
        : MSRAudienceFilter(audienceID, filterID, sessionScoped, dynamic, sequence),
          propertyName_(std::move(propertyName)), data_(std::move(data)) {}

    const std::string& propertyName() const { return propertyName_; }
    // The encoded MSRPBPropertyFilter.
    const std::vector<uint8_t>& data() const { return data_; }
    bool isEventFilter() const override { return false; }

  private:
    std::string propertyName_;
    std::vector<uint8_t> data_;
};
