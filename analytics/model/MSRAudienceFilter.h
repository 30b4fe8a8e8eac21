#pragma once

#include <cstdint>

// What every stored audience filter tells about itself: whose it is and how
// its outcomes are kept (reset with each session, replaced by later
// outcomes, or remembered as a series of times).
class MSRAudienceFilter {
  public:
    virtual ~MSRAudienceFilter() = default;

    int32_t audienceID() const { return audienceID_; }
    int32_t filterID() const { return filterID_; }
    bool isSessionScoped() const { return sessionScoped_; }
    bool isDynamic() const { return dynamic_; }
    bool isSequence() const { return sequence_; }
    // Event filters add to a sequence; property filters replace their time.
    virtual bool isEventFilter() const = 0;

  protected:
    MSRAudienceFilter(int32_t audienceID, int32_t filterID, bool sessionScoped, bool dynamic, bool sequence)
        : sessionScoped_(sessionScoped), dynamic_(dynamic), sequence_(sequence), audienceID_(audienceID),
          filterID_(filterID) {}

  private:
    bool sessionScoped_;
    bool dynamic_;
    bool sequence_;
    int32_t audienceID_;
    int32_t filterID_;
};
