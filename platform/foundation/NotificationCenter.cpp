#include "platform/foundation/NotificationCenter.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace foundation {

struct NotificationCenter::Entry {
    std::string name;
    const void* object = nullptr;
    Handler handler;
    bool hasOwner = false;
    std::weak_ptr<void> owner;
    const void* ownerAddress = nullptr;
    std::atomic<bool> active{true};
    std::weak_ptr<State> center;
};

struct NotificationCenter::State {
    std::mutex mutex;
    std::vector<std::shared_ptr<Entry>> entries;

    void remove(const Entry* entry) {
        std::lock_guard lock(mutex);
        std::erase_if(entries, [&](const auto& e) { return e.get() == entry; });
    }
};

NotificationCenter::Token& NotificationCenter::Token::operator=(Token&& other) noexcept {
    if (this != &other) {
        reset();
        entry_ = std::move(other.entry_);
    }
    return *this;
}

NotificationCenter::Token::~Token() {
    reset();
}

void NotificationCenter::Token::reset() {
    if (!entry_) return;
    entry_->active = false;
    if (auto center = entry_->center.lock()) center->remove(entry_.get());
    entry_.reset();
}

NotificationCenter::NotificationCenter() : state_(std::make_shared<State>()) {}

NotificationCenter::~NotificationCenter() {
    // Tokens that outlive the centre find it gone; make sure none of their
    // handlers can still be reached.
    std::lock_guard lock(state_->mutex);
    for (auto& entry : state_->entries) entry->active = false;
}

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, Handler handler,
                                                          const void* object) {
    auto entry = std::make_shared<Entry>();
    entry->name = name;
    entry->object = object;
    entry->handler = std::move(handler);
    entry->center = state_;
    std::lock_guard lock(state_->mutex);
    state_->entries.push_back(entry);
    return Token(entry);
}

void NotificationCenter::addObserver(const std::weak_ptr<void>& owner, const std::string& name,
                                     Handler handler, const void* object) {
    auto entry = std::make_shared<Entry>();
    entry->name = name;
    entry->object = object;
    entry->handler = std::move(handler);
    entry->hasOwner = true;
    entry->owner = owner;
    if (auto alive = owner.lock()) entry->ownerAddress = alive.get();
    entry->center = state_;
    if (owner.expired()) return;
    std::lock_guard lock(state_->mutex);
    state_->entries.push_back(std::move(entry));
}

void NotificationCenter::removeObserver(const void* owner) {
    std::lock_guard lock(state_->mutex);
    std::erase_if(state_->entries, [&](const auto& e) {
        if (!e->hasOwner || e->ownerAddress != owner) return false;
        e->active = false;
        return true;
    });
}

void NotificationCenter::post(const std::string& name, const void* object,
                              std::optional<Value::Dictionary> userInfo) {
    post(Notification{name, object, std::move(userInfo)});
}

void NotificationCenter::post(const Notification& notification) {
    // Deliver from a snapshot, without the lock, so handlers may change the
    // observer list or post again.
    std::vector<std::shared_ptr<Entry>> targets;
    {
        std::lock_guard lock(state_->mutex);
        std::erase_if(state_->entries, [](const auto& e) { return e->hasOwner && e->owner.expired(); });
        for (const auto& entry : state_->entries) {
            if (!entry->name.empty() && entry->name != notification.name) continue;
            if (entry->object && entry->object != notification.object) continue;
            targets.push_back(entry);
        }
    }
    for (const auto& entry : targets) {
        if (!entry->active) continue;  // removed by an earlier handler
        if (entry->hasOwner) {
            auto owner = entry->owner.lock();
            if (!owner) continue;
            entry->handler(notification);
        } else {
            entry->handler(notification);
        }
    }
}

}  // namespace foundation
