#pragma once

#include <cstdint>
#include <vector>

// The stored evaluation state of one audience: the encoded MSRPBResultData
// after the latest evaluations, and as it stood when it last went into a
// bundle (empty when it never did).
class MSRFilterResult {
  public:
    MSRFilterResult(int32_t audienceID, std::vector<uint8_t> currentResults, std::vector<uint8_t> previousResults)
        : audienceID_(audienceID), currentResults_(std::move(currentResults)),
          previousResults_(std::move(previousResults)) {}

    int32_t audienceID() const { return audienceID_; }
    const std::vector<uint8_t>& currentResults() const { return currentResults_; }
    const std::vector<uint8_t>& previousResults() const { return previousResults_; }

  private:
    int32_t audienceID_;
    std::vector<uint8_t> currentResults_;
    std::vector<uint8_t> previousResults_;
};
