#include "platform/store/PaymentQueue.h"

#include <algorithm>

namespace store {

PaymentQueue& PaymentQueue::defaultQueue() {
    static PaymentQueue* queue = new PaymentQueue();  // lives for the process
    return *queue;
}

PaymentQueue::Token PaymentQueue::addTransactionObserver(Observer observer) {
    std::vector<PaymentTransaction> pending;
    Token token = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        token = nextToken_++;
        observers_.emplace(token, observer);
        pending = unfinished_;
    }
    if (!pending.empty() && observer) observer(pending);
    return token;
}

void PaymentQueue::removeTransactionObserver(Token token) {
    std::lock_guard<std::mutex> lock(mutex_);
    observers_.erase(token);
}

void PaymentQueue::finishTransaction(const PaymentTransaction& transaction) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(unfinished_, [&](const PaymentTransaction& pending) {
        return pending.transactionIdentifier == transaction.transactionIdentifier &&
               pending.payment.productIdentifier == transaction.payment.productIdentifier;
    });
}

void PaymentQueue::deliver(const std::vector<PaymentTransaction>& transactions) {
    std::vector<Observer> observers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const PaymentTransaction& transaction : transactions) {
            if (transaction.state == TransactionState::Purchased) unfinished_.push_back(transaction);
        }
        for (const auto& [token, observer] : observers_) observers.push_back(observer);
    }
    // Outside the lock: an observer may finish transactions.
    for (const Observer& observer : observers) {
        if (observer) observer(transactions);
    }
}

std::vector<PaymentTransaction> PaymentQueue::unfinishedTransactions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unfinished_;
}

void PaymentQueue::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    observers_.clear();
    unfinished_.clear();
}

}  // namespace store
