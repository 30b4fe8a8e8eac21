#include "platform/store/ProductsRequest.h"

namespace store {

namespace {

struct Catalog {
    std::mutex mutex;
    std::map<std::string, Product> products;
    std::optional<std::string> failure;
    std::vector<std::set<std::string>> requests;
};

Catalog& catalog() {
    static Catalog* shared = new Catalog();  // lives for the process
    return *shared;
}

}  // namespace

ProductsRequest::ProductsRequest(std::set<std::string> productIdentifiers)
    : productIdentifiers_(std::move(productIdentifiers)) {}

void ProductsRequest::start(Completion completion) {
    std::optional<std::string> error;
    std::optional<ProductsResponse> response = ProductCatalog::answer(productIdentifiers_, &error);
    if (completion) completion(std::move(response), std::move(error));
}

void ProductCatalog::addProduct(const Product& product) {
    std::lock_guard<std::mutex> lock(catalog().mutex);
    catalog().products[product.productIdentifier] = product;
}

void ProductCatalog::setFailure(std::optional<std::string> error) {
    std::lock_guard<std::mutex> lock(catalog().mutex);
    catalog().failure = std::move(error);
}

std::vector<std::set<std::string>> ProductCatalog::requests() {
    std::lock_guard<std::mutex> lock(catalog().mutex);
    return catalog().requests;
}

void ProductCatalog::reset() {
    std::lock_guard<std::mutex> lock(catalog().mutex);
    catalog().products.clear();
    catalog().failure.reset();
    catalog().requests.clear();
}

std::optional<ProductsResponse> ProductCatalog::answer(const std::set<std::string>& identifiers,
                                                       std::optional<std::string>* error) {
    std::lock_guard<std::mutex> lock(catalog().mutex);
    catalog().requests.push_back(identifiers);
    if (catalog().failure) {
        if (error) *error = catalog().failure;
        return std::nullopt;
    }
    ProductsResponse response;
    for (const std::string& identifier : identifiers) {
        auto known = catalog().products.find(identifier);
        if (known == catalog().products.end()) {
            response.invalidProductIdentifiers.push_back(identifier);
        } else {
            response.products.push_back(known->second);
        }
    }
    return response;
}

}  // namespace store
