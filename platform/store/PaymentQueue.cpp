#include "platform/store/PaymentQueue.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace store {

namespace {

// One transaction a line: state, product, quantity, identifier, original
// identifier ("-" for none), date ("-" for none), separated by tabs. Store
// identifiers hold neither tabs nor line ends.
std::string line(const PaymentTransaction& transaction) {
    std::ostringstream out;
    out.precision(17);
    out << static_cast<int>(transaction.state) << '\t' << transaction.payment.productIdentifier << '\t'
        << transaction.payment.quantity << '\t' << transaction.transactionIdentifier.value_or("-") << '\t'
        << (transaction.originalTransaction ? transaction.originalTransaction->transactionIdentifier.value_or("-")
                                            : std::string("-"))
        << '\t';
    if (transaction.transactionDate) {
        out << *transaction.transactionDate;
    } else {
        out << '-';
    }
    return out.str();
}

std::optional<PaymentTransaction> parse(const std::string& text) {
    std::vector<std::string> fields;
    std::stringstream in(text);
    for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
    if (fields.size() != 6) return std::nullopt;
    try {
        PaymentTransaction transaction;
        transaction.state = static_cast<TransactionState>(std::stoi(fields[0]));
        transaction.payment = {fields[1], std::stoll(fields[2])};
        if (fields[3] != "-") transaction.transactionIdentifier = fields[3];
        if (fields[4] != "-") {
            auto original = std::make_shared<PaymentTransaction>();
            original->transactionIdentifier = fields[4];
            transaction.originalTransaction = original;
        }
        if (fields[5] != "-") transaction.transactionDate = std::stod(fields[5]);
        return transaction;
    } catch (const std::exception&) {
        return std::nullopt;  // a damaged line is skipped
    }
}

}  // namespace

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

void PaymentQueue::setPersistencePath(std::optional<std::filesystem::path> path) {
    std::lock_guard<std::mutex> lock(mutex_);
    persistencePath_ = std::move(path);
    if (!persistencePath_) return;
    std::ifstream in(*persistencePath_);
    for (std::string text; std::getline(in, text);) {
        if (auto transaction = parse(text)) unfinished_.push_back(std::move(*transaction));
    }
}

void PaymentQueue::saveLocked() const {
    if (!persistencePath_) return;
    std::error_code error;
    std::filesystem::create_directories(persistencePath_->parent_path(), error);
    const std::filesystem::path temporary = persistencePath_->string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        for (const PaymentTransaction& transaction : unfinished_) out << line(transaction) << '\n';
        if (!out.flush()) return;
    }
    std::filesystem::rename(temporary, *persistencePath_, error);
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
    saveLocked();
}

void PaymentQueue::deliver(const std::vector<PaymentTransaction>& transactions) {
    std::vector<Observer> observers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const PaymentTransaction& transaction : transactions) {
            if (transaction.state != TransactionState::Purchased) continue;
            const bool known = std::any_of(unfinished_.begin(), unfinished_.end(), [&](const PaymentTransaction& pending) {
                return pending.transactionIdentifier == transaction.transactionIdentifier &&
                       pending.payment.productIdentifier == transaction.payment.productIdentifier;
            });
            if (!known) unfinished_.push_back(transaction);
        }
        saveLocked();
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
    persistencePath_.reset();
}

}  // namespace store
