#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/ui/Driver.h"

namespace app {

// The application live in a browser: an HTTP server on 127.0.0.1 only.
//   GET /             the key window as a live page (platform/web)
//   GET /state        a digest of that page, for the page to see a change
//   GET /katex/...    Debian's KaTeX files
//   GET /chart.js/... Debian's chart library
//   GET /shared/NAME  a picture the share sheet saved ("Solution-....png"),
//                     as a download
//   POST /action      one script line ("tap #calculateButton", "type 7",
//                     "tab 1", "drawer open", "alert Accept", "wait 0") or
//                     "row S.R"; 200 once done, 400 for a malformed line
//                     (nothing is done), 409 with the reason for an action
//                     that cannot be done.
// Requests arrive on the server's threads; every action and every page is
// made on the main thread, through the same Driver the scripts use, while
// pump() runs there.
class LiveServer {
  public:
    explicit LiveServer(ui::Driver& driver);
    ~LiveServer();
    LiveServer(const LiveServer&) = delete;
    LiveServer& operator=(const LiveServer&) = delete;

    // Binds 127.0.0.1:port (0: any free port) and serves on a thread of its own.
    bool start(int port, std::string& error);
    int port() const { return port_; }
    // Runs the main queue (the application's timers and the requests' work)
    // until `stopRequested` answers true.
    void pump(const std::function<bool()>& stopRequested);
    // Refuses new work, answers waiting requests and joins the server's thread.
    void stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

}  // namespace app
