#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/store/Product.h"

namespace store {

struct ProductsResponse {
    std::vector<Product> products;
    std::vector<std::string> invalidProductIdentifiers;
};

// One request for product details. The store's catalog (below) answers it:
// the known products, every other identifier as invalid, or the scripted
// failure. The completion runs once, on the thread that starts the request.
class ProductsRequest {
public:
    // Failures carry the store's error text.
    using Completion = std::function<void(std::optional<ProductsResponse>, std::optional<std::string> error)>;

    explicit ProductsRequest(std::set<std::string> productIdentifiers);
    void start(Completion completion);
    const std::set<std::string>& productIdentifiers() const { return productIdentifiers_; }

private:
    std::set<std::string> productIdentifiers_;
};

// The store's side of product requests: what tests and the `calvaro` options
// script. Empty by default (every identifier invalid).
class ProductCatalog {
public:
    static void addProduct(const Product& product);
    // While set, every request fails with this text.
    static void setFailure(std::optional<std::string> error);
    // The identifiers of every request started so far, in order.
    static std::vector<std::set<std::string>> requests();
    static void reset();

    static std::optional<ProductsResponse> answer(const std::set<std::string>& identifiers,
                                                  std::optional<std::string>* error);
};

}  // namespace store
