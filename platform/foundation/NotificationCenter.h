#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace foundation {

struct Notification {
    std::string name;
    const void* object = nullptr;  // the sender, compared by address only
    std::optional<Value::Dictionary> userInfo;
};

// Notifications between parts of the program that do not know each other.
//
// Delivery is synchronous on the posting thread, in the order the observers
// were added. An observer lives as long as its token, or as long as the owner
// it was registered with; after that it is never called again, so nothing can
// call into an object that is gone. (An owner-held observer keeps its owner
// alive while its handler runs; a token reset on another thread lets a
// delivery already under way finish.) An observer may add or remove
// observers, or post, from inside its handler.
class NotificationCenter {
    struct Entry;
    struct State;

public:
    using Handler = std::function<void(const Notification&)>;

    // Removes its observer when destroyed or reset; may outlive the centre.
    class Token {
      public:
        Token() = default;
        Token(Token&&) noexcept = default;
        Token& operator=(Token&& other) noexcept;
        ~Token();
        void reset();
        explicit operator bool() const { return static_cast<bool>(entry_); }

      private:
        friend class NotificationCenter;
        explicit Token(std::shared_ptr<Entry> entry) : entry_(std::move(entry)) {}
        std::shared_ptr<Entry> entry_;
    };

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The process-wide centre.
    static NotificationCenter& defaultCenter();

    // Observes `name` (every name when empty) from `object` (any sender when
    // null) until the token goes away.
    [[nodiscard]] Token addObserver(const std::string& name, Handler handler, const void* object = nullptr);

    // Observes while `owner` lives: the handler is skipped and dropped once
    // the owner has been destroyed, and the owner is kept alive while its
    // handler runs.
    void addObserver(const std::weak_ptr<void>& owner, const std::string& name, Handler handler,
                     const void* object = nullptr);
    // Drops every observer registered for `owner`.
    void removeObserver(const void* owner);

    void post(const std::string& name, const void* object = nullptr,
              std::optional<Value::Dictionary> userInfo = std::nullopt);
    void post(const Notification& notification);

private:
    std::shared_ptr<State> state_;
};

}  // namespace foundation
