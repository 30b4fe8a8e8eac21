#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/LoopbackServer.h"
#include "platform/ui/Driver.h"

namespace app {

// The application live in a browser: an HTTP server on 127.0.0.1 only.
//   GET /             the key window as a live page (platform/web)
//   GET /state        a digest of that page, for the page to see a change
//   GET /katex/...    Debian's KaTeX files (the page asks for
//                     /s/SECRET/katex/..., as for the two below)
//   GET /chart.js/... Debian's chart library
//   GET /shared/NAME  a picture the share sheet saved ("Solution-....png"),
//                     as a download
//   POST /action      the page's own (see below): one script line
//                     ("tap #calculateButton", "type 7",
//                     "tab 1", "drawer open", "alert Accept", "wait 0") or
//                     "row S.R"; 200 once done, 400 for a malformed line
//                     (nothing is done), 409 with the reason for an action
//                     that cannot be done.
// Only whoever holds the secret printed with the address (url()) is served:
// loopback TCP is open to every user of the machine. The first visit brings
// it in the query ("/?secret=..."); the page keeps it in its script, takes it
// out of the address bar and sends it with each of its requests (header
// X-Calvaro-Secret); what its elements load (the libraries, the shared
// pictures) is served under "/s/SECRET/...", and no answer lets a Referer
// go out. It is never a cookie: a cookie of 127.0.0.1 goes with requests to
// every port of it, another user's server's included.
// Every request without the secret, "/" included, is answered 403, and the
// requests of those that hold it are answered before any other.
// Beside that the server answers the page alone: a request must name the
// server itself as its Host (421
// otherwise, which defeats a foreign name resolving to the loopback address),
// an Origin, where one is sent, must be the page's own (403), and an action
// must come from the page's own origin, as a request no other page can send
// without asking first (Content-Type application/x-calvaro-action, 415
// otherwise) carrying the token the page received with it (403 otherwise),
// new at every start. No cross-origin access is offered.
// Requests arrive on the server's threads; every action and every page is
// made on the main thread, through the same Driver the scripts use, while
// pump() runs there.
class LiveServer {
  public:
    explicit LiveServer(ui::Driver& driver);
    ~LiveServer();
    LiveServer(const LiveServer&) = delete;
    LiveServer& operator=(const LiveServer&) = delete;

    // Binds 127.0.0.1:port (0: any free port) and serves on threads of its own.
    bool start(int port, std::string& error, LoopbackServerLimits limits = {});
    int port() const { return port_; }
    // The address to open, secret included: "http://127.0.0.1:PORT/?secret=HEX".
    std::string url() const;
    // What a client must hold to be served, new at every start.
    const std::string& secret() const;
    // The secret the page sends with its actions.
    const std::string& token() const;

    // Whether the request carries `secret`: in the header kSecretHeader, as
    // the start of its path ("/s/SECRET/..."), or in the query of a GET of "/".
    static bool holdsSecret(const HttpRequest& request, const std::string& secret);
    static constexpr const char* kSecretHeader = "X-Calvaro-Secret";

    // Why a request is not to be answered, as the answer to give; nothing
    // for a request of the page served on 127.0.0.1:port with `token`.
    static std::optional<HttpResponse> refusal(const HttpRequest& request, int port, const std::string& token);
    // Media type of an action.
    static constexpr const char* kActionType = "application/x-calvaro-action";
    static constexpr const char* kTokenHeader = "X-Calvaro-Token";
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
