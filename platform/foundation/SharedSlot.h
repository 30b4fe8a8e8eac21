#pragma once

// One process-wide instance of T behind a lock: set, get (optionally made on
// first use) and reset. Every slot joins a list on its first use, so a test
// harness forgets all shared state with one call to resetAllSharedSlots()
// instead of naming each shared instance.
//
// Slots live as function-local statics, never at namespace scope, so no slot
// depends on the order in which translation units are initialised:
//
//   foundation::SharedSlot<Thing>& thingSlot() {
//       static foundation::SharedSlot<Thing> slot;
//       return slot;
//   }

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace foundation {

// Empties every slot that has been used so far (tests only).
void resetAllSharedSlots();

namespace shared_slots {
// Adds a reset to the list resetAllSharedSlots() runs (in reverse order of
// joining, so a later slot, which may hold on to an earlier one, goes first).
void join(std::function<void()> reset);

// Joins the list on construction; Derived has reset().
template <class Derived>
class Member {
protected:
    Member() {
        join([this] { static_cast<Derived*>(this)->reset(); });
    }
    Member(const Member&) = delete;
    Member& operator=(const Member&) = delete;
};
}  // namespace shared_slots

template <class T>
class SharedSlot : public shared_slots::Member<SharedSlot<T>> {
public:
    std::shared_ptr<T> get() const {
        std::lock_guard lock(mutex_);
        return value_;
    }

    // The held instance, made by `make` when there is none yet. `make` runs
    // under the slot's lock: it must not ask this slot again.
    template <class Make>
    std::shared_ptr<T> getOrMake(Make&& make) {
        std::lock_guard lock(mutex_);
        if (!value_) value_ = std::forward<Make>(make)();
        return value_;
    }

    // Holds `value`; answers the instance held before.
    std::shared_ptr<T> exchange(std::shared_ptr<T> value) {
        std::lock_guard lock(mutex_);
        return std::exchange(value_, std::move(value));
    }

    // The previous instance is released outside the lock: its destructor may
    // ask for shared instances itself.
    void set(std::shared_ptr<T> value) { exchange(std::move(value)); }
    void reset() { set(nullptr); }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<T> value_;
};

// A process-wide value of T (a table, a list) behind a lock, read and changed
// only inside with(); reset() and resetAllSharedSlots() bring back T{}.
template <class T>
class SharedValue : public shared_slots::Member<SharedValue<T>> {
public:
    // Runs `f` on the value under the lock and answers what it answers; `f`
    // must not reach this value again.
    template <class F>
    decltype(auto) with(F&& f) {
        std::lock_guard lock(mutex_);
        return std::forward<F>(f)(value_);
    }

    void reset() {
        T previous;
        std::lock_guard lock(mutex_);
        std::swap(previous, value_);
    }

private:
    std::mutex mutex_;
    T value_{};
};

}  // namespace foundation
