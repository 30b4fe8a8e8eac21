#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/dispatch/Queue.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/store/Product.h"

// The store's product details, kept for the process. Its collections are
// touched only on its own serial queue; lookups from any other thread wait
// for it.
class MSRInAppPurchaseProductCache : public std::enable_shared_from_this<MSRInAppPurchaseProductCache> {
public:
    using Products = std::map<std::string, store::Product>;
    using Completion =
        std::function<void(Products products, std::set<std::string> invalid, std::optional<std::string> error)>;

    // Above this many entries (valid and invalid together) a response
    // replaces the whole cache.
    static constexpr size_t kMaxEntries = 100;

    static std::shared_ptr<MSRInAppPurchaseProductCache> sharedInstance();

    std::optional<store::Product> cachedProductForProductIdentifier(const std::string& productIdentifier);
    // One store request for the identifiers; `completion` runs on `queue`.
    // Nothing happens without a queue or a completion.
    void requestProductsWithProductIdentifiers(const std::set<std::string>& productIdentifiers,
                                               std::shared_ptr<dispatch::Queue> queue, Completion completion);

    size_t entryCount();

private:
    MSRInAppPurchaseProductCache();

    std::shared_ptr<dispatch::SerialQueue> lockQueue_;
    Products validProducts_;
    std::set<std::string> invalidProductIdentifiers_;
};
