#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/messages/MSRPBMessages.h"
#include "tools/collector/Collector.h"

namespace tools {

// The attribution endpoints of a Collector, on loopback like the rest:
//   "/skan"                            the conversion value the engine asks for
//                                      after its uploads (a message; by default
//                                      "nothing to apply")
//   "/adserv/conversion/app/deeplink"  the deferred deep link of the install
//                                      (JSON; by default 204, none)
//   "/api/v1/"                         the search-ads attribution of a token
//                                      (JSON; by default not attributed)
// Scripted replies of the Collector still go first.
class AttributionCollector {
  public:
    static constexpr const char* kConversionValuePath = "/skan";
    static constexpr const char* kDeferredDeepLinkPath = "/adserv/conversion/app/deeplink";
    static constexpr const char* kSearchAdsPath = "/api/v1/";

    // Attaches to `collector`, which must outlive this object's use.
    explicit AttributionCollector(Collector& collector);
    AttributionCollector(const AttributionCollector&) = delete;
    AttributionCollector& operator=(const AttributionCollector&) = delete;

    void setConversionValue(const MSRPBSkAdNetworkConversionValueResponse& response);
    // The answer's JSON text; nothing: 204 without a body.
    void setDeferredDeepLink(std::optional<std::string> json);
    void setSearchAdsAnswer(std::string json);

  private:
    ScriptedReply answerConversionValue(const RecordedRequest& request) const;
    ScriptedReply answerDeferredDeepLink(const RecordedRequest& request) const;
    ScriptedReply answerSearchAds(const RecordedRequest& request) const;

    mutable std::mutex mutex_;
    std::vector<uint8_t> conversionValue_;
    std::optional<std::string> deferredDeepLink_;
    std::string searchAds_ = R"({"attribution":false})";
};

}  // namespace tools
