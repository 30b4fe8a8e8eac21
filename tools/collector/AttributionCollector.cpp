#include "tools/collector/AttributionCollector.h"

#include "analytics/messages/MSRPBFieldIndex.h"

namespace tools {

AttributionCollector::AttributionCollector(Collector& collector) {
    MSRPBSkAdNetworkConversionValueResponse nothing;
    MSRPBSetInt32(nothing, MSRSkAdNetworkConversionValueResponseSlot::kStatus, 2);
    conversionValue_ = nothing.protoBuffer().value_or(std::vector<uint8_t>{});
    collector.setResponder(kConversionValuePath,
                           [this](const RecordedRequest& request) { return answerConversionValue(request); });
    collector.setResponder(kDeferredDeepLinkPath,
                           [this](const RecordedRequest& request) { return answerDeferredDeepLink(request); });
    collector.setResponder(kSearchAdsPath, [this](const RecordedRequest& request) { return answerSearchAds(request); });
}

void AttributionCollector::setConversionValue(const MSRPBSkAdNetworkConversionValueResponse& response) {
    std::lock_guard lock(mutex_);
    conversionValue_ = response.protoBuffer().value_or(std::vector<uint8_t>{});
}

void AttributionCollector::setDeferredDeepLink(std::optional<std::string> json) {
    std::lock_guard lock(mutex_);
    deferredDeepLink_ = std::move(json);
}

void AttributionCollector::setSearchAdsAnswer(std::string json) {
    std::lock_guard lock(mutex_);
    searchAds_ = std::move(json);
}

ScriptedReply AttributionCollector::answerConversionValue(const RecordedRequest& request) const {
    ScriptedReply reply;
    // The request must be a conversion-value request of our own messages.
    if (request.method != "POST" || !MSRPBSkAdNetworkConversionValueRequest::initWithBuffer(request.body)) {
        reply.status = 400;
        return reply;
    }
    std::lock_guard lock(mutex_);
    reply.body.assign(conversionValue_.begin(), conversionValue_.end());
    reply.headers["Content-Type"] = "application/x-protobuf";
    return reply;
}

ScriptedReply AttributionCollector::answerDeferredDeepLink(const RecordedRequest&) const {
    ScriptedReply reply;
    std::lock_guard lock(mutex_);
    if (!deferredDeepLink_) {
        reply.status = 204;
        return reply;
    }
    reply.body = *deferredDeepLink_;
    reply.headers["Content-Type"] = "application/json";
    return reply;
}

ScriptedReply AttributionCollector::answerSearchAds(const RecordedRequest& request) const {
    ScriptedReply reply;
    if (request.method != "POST" || request.body.empty()) {
        reply.status = 400;
        return reply;
    }
    std::lock_guard lock(mutex_);
    reply.body = searchAds_;
    reply.headers["Content-Type"] = "application/json";
    return reply;
}

}  // namespace tools
