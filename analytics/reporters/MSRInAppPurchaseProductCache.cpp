#include "analytics/reporters/MSRInAppPurchaseProductCache.h"

#include "platform/foundation/SharedSlot.h"
#include "platform/store/ProductsRequest.h"

namespace {

foundation::SharedSlot<MSRInAppPurchaseProductCache>& cacheSlot() {
    static foundation::SharedSlot<MSRInAppPurchaseProductCache> slot;
    return slot;
}

}  // namespace

MSRInAppPurchaseProductCache::MSRInAppPurchaseProductCache()
    : lockQueue_(dispatch::SerialQueue::create("com.vuzedezo.measurement.product-cache")) {}

std::shared_ptr<MSRInAppPurchaseProductCache> MSRInAppPurchaseProductCache::sharedInstance() {
    return cacheSlot().getOrMake(
        [] { return std::shared_ptr<MSRInAppPurchaseProductCache>(new MSRInAppPurchaseProductCache()); });
}

std::optional<store::Product> MSRInAppPurchaseProductCache::cachedProductForProductIdentifier(
    const std::string& productIdentifier) {
    std::optional<store::Product> product;
    lockQueue_->sync([&] {
        auto found = validProducts_.find(productIdentifier);
        if (found != validProducts_.end()) product = found->second;
    });
    return product;
}

size_t MSRInAppPurchaseProductCache::entryCount() {
    size_t count = 0;
    lockQueue_->sync([&] { count = validProducts_.size() + invalidProductIdentifiers_.size(); });
    return count;
}

void MSRInAppPurchaseProductCache::requestProductsWithProductIdentifiers(
    const std::set<std::string>& productIdentifiers, std::shared_ptr<dispatch::Queue> queue, Completion completion) {
    if (!queue || !completion) return;
    std::weak_ptr<MSRInAppPurchaseProductCache> weak = weak_from_this();
    lockQueue_->async([weak, productIdentifiers, queue, completion] {
        auto cache = weak.lock();
        if (!cache) return;
        store::ProductsRequest request(productIdentifiers);
        request.start([&](std::optional<store::ProductsResponse> response, std::optional<std::string> error) {
            Products products;
            std::set<std::string> invalid;
            if (response) {
                for (const store::Product& product : response->products) {
                    if (!product.productIdentifier.empty()) products.emplace(product.productIdentifier, product);
                }
                invalid.insert(response->invalidProductIdentifiers.begin(),
                               response->invalidProductIdentifiers.end());
            }
            for (const auto& [identifier, product] : products) cache->validProducts_[identifier] = product;
            for (const std::string& identifier : invalid) cache->validProducts_.erase(identifier);
            cache->invalidProductIdentifiers_.insert(invalid.begin(), invalid.end());
            for (const auto& entry : products) cache->invalidProductIdentifiers_.erase(entry.first);
            if (cache->validProducts_.size() + cache->invalidProductIdentifiers_.size() > kMaxEntries) {
                cache->validProducts_ = products;
                cache->invalidProductIdentifiers_ = invalid;
            }
            queue->async([completion, products = std::move(products), invalid = std::move(invalid),
                          error = std::move(error)] { completion(products, invalid, error); });
        });
    });
}
