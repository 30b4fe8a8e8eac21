#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/web/GroupClock.h"

// One headless Chromium for the whole test binary, driven over its DevTools
// protocol: a page target reached through a WebSocket of our own (plain
// sockets, text frames only). Every wait on the browser is counted in its own
// time (web::GroupDeadline): on a crowded machine it waits as long as the
// browser is kept from its work, and a browser that hangs still fails it.
class Browser {
  public:
    // Started on first use; a missing Chromium leaves error() set.
    static Browser& shared();
    ~Browser();
    const std::string& error() const { return error_; }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }

  private:
    Browser();
    pid_t pid_ = -1;
    int port_ = 0;
    std::string profile_;
    std::string error_;
};

class Tab {
  public:
    // A new page of the shared browser; ok() tells whether it is usable.
    Tab();
    ~Tab();
    Tab(const Tab&) = delete;
    Tab& operator=(const Tab&) = delete;
    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }

    // Sends a command and returns its result (or {"error": ...}).
    nlohmann::json call(const std::string& method, const nlohmann::json& params = nlohmann::json::object());
    // The value of a JavaScript expression (promises awaited).
    nlohmann::json evaluate(const std::string& expression);
    // Waits up to `seconds` for the event `method`; false when it did not come.
    bool waitForEvent(const std::string& method, double seconds);
    // Opens `url` and waits for its load.
    bool navigate(const std::string& url);
    // Evaluates `action`, then waits until `condition` (an expression) is
    // true, through page loads and changes in place, for up to `seconds`.
    bool actThenWaitFor(const std::string& action, const std::string& condition, double seconds = 15);

  private:
    bool send(const std::string& text);
    // One message, read before the caller's `deadline`: one clock for a
    // whole wait, however many messages it reads (each clock made looks at
    // every thread of the browser).
    bool receive(std::string& text, web::GroupDeadline& deadline);
    int fd_ = -1;
    int nextId_ = 1;
    std::string targetId_;
    std::string error_;
    std::string pending_;  // bytes read past the last frame
    std::vector<nlohmann::json> events_;
};
