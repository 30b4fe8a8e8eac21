#include "platform/store/StoreTransaction.h"

#include <atomic>

namespace store {

namespace {
std::atomic<bool> supported{true};
}

bool offersSupported() { return supported.load(); }
void setOffersSupported(bool value) { supported.store(value); }

}  // namespace store
