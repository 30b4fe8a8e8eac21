#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/store/PaymentTransaction.h"

namespace store {

// The default payment queue. Observers see every batch of updated
// transactions on the delivering thread. A transaction stays unfinished until
// finishTransaction: as on the platform, an observer added later (the next
// launch) is handed the unfinished ones again at once.
class PaymentQueue {
public:
    using Observer = std::function<void(const std::vector<PaymentTransaction>&)>;
    using Token = uint64_t;

    static PaymentQueue& defaultQueue();

    Token addTransactionObserver(Observer observer);
    void removeTransactionObserver(Token token);
    void finishTransaction(const PaymentTransaction& transaction);

    // Keeps the unfinished transactions in this file, as the platform keeps
    // them across launches: those found there are unfinished from now on.
    // Nothing: kept in memory only.
    void setPersistencePath(std::optional<std::filesystem::path> path);

    // ---- test control ----
    // Delivers a batch to every observer; the purchased ones stay unfinished.
    void deliver(const std::vector<PaymentTransaction>& transactions);
    std::vector<PaymentTransaction> unfinishedTransactions() const;
    // No observers, nothing unfinished.
    void reset();

private:
    mutable std::mutex mutex_;
    std::map<Token, Observer> observers_;
    Token nextToken_ = 1;
    std::vector<PaymentTransaction> unfinished_;
    std::optional<std::filesystem::path> persistencePath_;

    void saveLocked() const;
};

}  // namespace store
