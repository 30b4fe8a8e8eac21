#pragma once

// A key-value store held in memory and written as one property-list file in
// the engine's folder. Every change schedules one write of the whole
// dictionary a second later, so a burst of changes costs one write. A write
// that fails is tried again later; the contents stay in memory meanwhile. A
// file past the property-list bounds is neither read nor written whole: one
// found at the start is kept aside (43006) and what stays of it by its
// bound's order (the engine's keys first) goes on, and contents that would
// pass them first let foreign values give way (43008), else leave the last
// file in place until a change brings them back (43007, noted as lost for
// the process's exit).
// The process's end drops delayed work: from the start of the end on, a
// change waiting for its write, and every later one, is written at once.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "analytics/storage/MSRConfigStore.h"
#include "platform/dispatch/SerialQueue.h"

class MSRPersistentDictionary : public MSRConfigStore,
                                public std::enable_shared_from_this<MSRPersistentDictionary> {
  public:
    static constexpr double kPersistDelay = 1.0;
    static constexpr double kMaxRetryDelay = 64.0;

    // Null for an empty name or when the engine folder cannot be made.
    static std::shared_ptr<MSRPersistentDictionary> create(const std::string& fileName);
    // Writes a pending change at once.
    ~MSRPersistentDictionary() override;

    foundation::Value objectForKey(const std::string& key) override;
    void setObject(const foundation::Value& value, const std::string& key) override;
    void clearAllData() override;
    // Writes a pending change at once: the process may end before the
    // scheduled write would come.
    void synchronize() override;

    const std::string& filePath() const { return filePath_; }
    bool hasPendingPersistence() const;

    void schedulePersistToDisk();
    // Writes a snapshot of the contents; false when the write failed (a retry
    // is then scheduled).
    bool persistToDisk();

    // Room for contents past the file's bound: values under keys the engine
    // does not write, and those past their family's share, give way, the
    // largest first, kept aside in a file of their own. False when they
    // cannot make it.
    bool makeRoom();

  private:
    MSRPersistentDictionary(std::string filePath, foundation::Value::Dictionary content);
    // A write `delay` seconds on, or at once once the end has begun unless
    // it is the `retry` of a failed one.
    void scheduleLocked(double delay, bool retry = false);
    // The queues' end has begun: what waits is written now, and so is
    // every change from here on.
    void writeAtOnceFromNowOn();

    const std::string filePath_;
    // The name its bound is stated under (foundation::setStoredFileBound).
    std::string storedFileName_;
    mutable std::mutex mutex_;
    foundation::Value::Dictionary content_;
    bool hasPendingPersistence_ = false;
    double retryDelay_ = kPersistDelay;
    bool ending_ = false;
    uint64_t queuesEndHandler_ = 0;
    std::shared_ptr<dispatch::SerialQueue> serialQueue_;
};
