#include "app/LiveServer.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "app/ScriptPlayer.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileSystem.h"
#include "platform/security/Digest.h"
#include "platform/security/Random.h"
#include "platform/ui/Application.h"
#include "platform/web/HtmlPage.h"

namespace app {

namespace {

// How long a request waits for the main thread before it is answered 503.
constexpr auto kMainThreadLimit = std::chrono::seconds(30);
constexpr size_t kMaxActionBytes = kMaxLineBytes;
constexpr size_t kTokenBytes = 32;
// Far above any picture of a screen the share sheet makes.
constexpr size_t kMaxSharedPictureBytes = 32 * 1024 * 1024;

using Answer = HttpResponse;

bool endsWith(const std::string& text, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// Compares in a time that tells nothing of where the texts differ.
bool sameSecret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

// Where the page's elements load from (its libraries, the shared pictures):
// "/s/SECRET" and what follows. An element cannot send a header; the path
// goes to this server alone, and the page sends no Referer.
constexpr std::string_view kSecretPath = "/s/";

// What follows "/s/SECRET" in `path` ("/katex/katex.min.js"); nothing for a
// path that does not start with it.
std::optional<std::string_view> pathUnderSecret(std::string_view path, const std::string& secret) {
    if (secret.empty() || path.substr(0, kSecretPath.size()) != kSecretPath) return std::nullopt;
    path.remove_prefix(kSecretPath.size());
    const size_t end = path.find('/');
    if (end == std::string_view::npos || !sameSecret(path.substr(0, end), secret)) return std::nullopt;
    return path.substr(end);
}

// The secret of a first visit: "secret=..." in the query of a GET of "/".
std::optional<std::string_view> querySecret(const HttpRequest& request) {
    if (request.method != "GET" || request.path != "/") return std::nullopt;
    const size_t mark = request.target.find('?');
    if (mark == std::string::npos) return std::nullopt;
    std::string_view rest = std::string_view(request.target).substr(mark + 1);
    while (!rest.empty()) {
        const size_t end = rest.find('&');
        const std::string_view pair = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (pair.rfind("secret=", 0) == 0) return pair.substr(7);
    }
    return std::nullopt;
}

// 421 for a request that names another server than 127.0.0.1:port (or
// localhost:port) as its Host.
std::optional<HttpResponse> misdirected(const HttpRequest& request, int port) {
    const std::string self = "127.0.0.1:" + std::to_string(port);
    const std::string* host = request.header("Host");
    // Any other name, even one resolving to this address, is another site's.
    if (!host || (*host != self && *host != "localhost:" + std::to_string(port)))
        return HttpResponse{421, "this server answers for " + self + " only\n"};
    return std::nullopt;
}

// "name" or "folder/name" of letters, digits, '-', '_' and '.', never "..".
bool isLibraryFileName(const std::string& name) {
    if (name.empty() || name.find("..") != std::string::npos || name.front() == '/' || name.back() == '/' ||
        std::count(name.begin(), name.end(), '/') > 1)
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' || c == '/';
    });
}

// A file of Debian's KaTeX or chart library.
Answer libraryFile(const std::string& path) {
    const bool katex = path.rfind("/katex/", 0) == 0;
    const std::string name = path.substr(katex ? 7 : 10);
    if (!isLibraryFileName(name)) return {404, "not found\n"};
    std::ifstream file(std::filesystem::path(katex ? web::kKatexFolder : chart::kChartLibraryFolder) / name,
                       std::ios::binary);
    if (!file) return {404, "not found\n"};
    std::stringstream body;
    body << file.rdbuf();
    std::string type = "application/octet-stream";
    if (endsWith(name, ".js")) type = "text/javascript";
    else if (endsWith(name, ".css")) type = "text/css";
    else if (endsWith(name, ".woff2")) type = "font/woff2";
    else if (endsWith(name, ".woff")) type = "font/woff";
    else if (endsWith(name, ".ttf")) type = "font/ttf";
    return {200, body.str(), type, {{"Cache-Control", "max-age=3600"}}};
}

// "Solution-<digits and dashes>.png", the names the share sheet gives.
bool isSharedPictureName(const std::string& name) {
    static constexpr const char* kPrefix = "Solution-";
    static constexpr size_t kPrefixBytes = 9;
    if (name.size() <= kPrefixBytes + 4 || name.compare(0, kPrefixBytes, kPrefix) != 0 || !endsWith(name, ".png"))
        return false;
    return std::all_of(name.begin() + kPrefixBytes, name.end() - 4,
                       [](char c) { return (c >= '0' && c <= '9') || c == '-'; });
}

// The page a browser shows for the bare address: short, in the
// application's language, and as wide as a phone.
Answer refusedPage() {
    const foundation::Bundle& bundle = foundation::Bundle::main();
    const std::string title = web::escapeHtml(bundle.localizedFormat("Calvaro needs the whole address", ui::kRefusalsTable));
    std::string text = web::escapeHtml(bundle.localizedFormat(
        "Open the address that calvaro printed when it started: it ends in ?secret=…", ui::kRefusalsTable));
    // The address's ending is read as one piece: a browser would break the
    // line after its "?".
    static constexpr std::string_view kEnding = "?secret=…";
    if (const size_t at = text.find(kEnding); at != std::string::npos) {
        text.replace(at, kEnding.size(), "<span class=\"address\">" + std::string(kEnding) + "</span>");
    }
    return {403,
            "<!DOCTYPE html>\n<html lang=\"" + web::escapeHtml(bundle.language()) +
                "\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
                "<meta name=\"referrer\" content=\"no-referrer\"><title>" + title + "</title><style>"
                "body{margin:0;padding:24px 20px;font:17px/1.4 \"DejaVu Sans\",\"Liberation Sans\",sans-serif;"
                "color:#222;background:#fff;overflow-wrap:anywhere}h1{font-size:22px;margin:0 0 12px}p{margin:0}"
                ".address{white-space:nowrap}"
                "</style></head>\n<body><h1>" + title + "</h1><p id=\"refused\">" + text + "</p></body></html>\n",
            "text/html; charset=utf-8"};
}

// A picture the share sheet saved, offered to the browser as a download. The
// folder lies in the data root, so a link or pipe planted there is neither
// followed nor waited on.
Answer sharedPicture(const std::string& path) {
    const std::string name = path.substr(8);
    if (!isSharedPictureName(name)) return {404, "not found\n"};
    const std::filesystem::path folder = foundation::FileSystem::home() / "Shared";
    std::error_code ignored;
    if (std::filesystem::is_symlink(folder, ignored)) return {404, "not found\n"};
    std::string bytes;
    if (!foundation::FileSystem::readFile(folder / name, bytes, kMaxSharedPictureBytes)) return {404, "not found\n"};
    return {200, std::move(bytes), "image/png",
            {{"Cache-Control", "no-store"}, {"Content-Disposition", "attachment; filename=\"" + name + "\""}}};
}

}  // namespace

struct LiveServer::Impl {
    ui::Driver& driver;
    std::unique_ptr<LoopbackServer> http;
    std::atomic<bool> stopping{false};
    std::atomic<int> port{0};
    std::string token;
    std::string secret;
    // Whether the process was asked to end; asked on the main thread only.
    std::function<bool()> stopRequested;

    explicit Impl(ui::Driver& d) : driver(d) {}

    // Runs `work` on the main thread and waits for its answer.
    Answer onMain(std::function<Answer()> work) {
        // The reasons the page shows its user are in the user's language.
        const foundation::Bundle& bundle = foundation::Bundle::main();
        if (stopping) return {503, bundle.localizedFormat("the application is ending", ui::kRefusalsTable) + "\n"};
        auto promise = std::make_shared<std::promise<Answer>>();
        auto future = promise->get_future();
        dispatch::MainQueue::shared()->async([promise, work = std::move(work)] {
            try {
                promise->set_value(work());
            } catch (const std::exception& e) {
                promise->set_value({500, std::string("failed: ") + e.what() + "\n"});
            }
        });
        const auto deadline = std::chrono::steady_clock::now() + kMainThreadLimit;
        while (future.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready)
            if (stopping || std::chrono::steady_clock::now() > deadline)
                return {503, bundle.localizedFormat("the application is busy or ending", ui::kRefusalsTable) + "\n"};
        return future.get();
    }

    static ui::Window* window() { return ui::Application::shared().keyWindow(); }

    // The screen as the live page draws it; null without a window.
    std::optional<std::string> screen() {
        ui::Window* w = window();
        if (!w) return std::nullopt;
        web::PageOptions options;
        options.live = true;
        options.actionToken = token;
        options.secret = secret;
        const std::string underSecret = std::string(kSecretPath) + secret;
        options.katexBase = underSecret + "/katex";
        options.chartBase = underSecret + "/chart.js";
        options.sharedBase = underSecret + "/shared";
        return web::HtmlPage::ofWindow(*w, options);
    }

    // The page carries the state it was made in, which the page compares
    // with /state from then on: a change made before its first look at
    // /state (a picture saved right after the screen was fetched) would
    // otherwise be taken as what it already shows, and never fetched.
    Answer page() {
        auto html = screen();
        if (!html) return {503, "no window\n"};
        const std::string state = security::md5Hex(*html);
        if (const auto at = html->find("<head>"); at != std::string::npos)
            html->insert(at + 6, "<meta name=\"calvaro-state\" content=\"" + state + "\">");
        return {200, std::move(*html), "text/html; charset=utf-8"};
    }

    Answer state() {
        auto html = screen();
        if (!html) return {503, "no window\n"};
        return {200, security::md5Hex(*html) + "\n"};
    }

    Answer perform(const std::string& line) {
        std::vector<ScriptAction> actions;
        ScriptError error;
        if (!parseScript(line, actions, &error) || actions.size() != 1)
            return {400, "malformed action: " + (error.message.empty() ? "one action is expected" : error.message) + "\n"};
        // A wait holds the main thread; the page asks for short ones only.
        if (actions[0].kind == ScriptAction::Kind::wait && actions[0].seconds > 5)
            return {400, "a wait of the live page is at most 5 seconds\n"};
        return onMain([this, actions] {
            std::ostringstream ignored;
            ScriptPlayer player(driver, ignored);
            // Ctrl-C ends a wait the page asked for at once.
            player.setStopRequest([this] { return stopRequested && stopRequested(); });
            ScriptError why;
            // The page shows the reason to its user: the Driver's words for
            // them, else a plain one (a wait cut short by the end).
            if (player.play(actions, &why)) return Answer{200, "done\n"};
            if (why.refusal.empty())
                why.refusal =
                    foundation::Bundle::main().localizedFormat("the action could not be done", ui::kRefusalsTable);
            return Answer{409, why.refusal + "\n"};
        });
    }

    Answer route(const HttpRequest& request, int port) {
        if (auto wrongHost = misdirected(request, port)) return *wrongHost;
        if (!holdsSecret(request, secret)) {
            // A person who reloads the page (its address has lost the
            // secret) reads why nothing shows, and what to do.
            if (request.method == "GET" && request.path == "/") return refusedPage();
            return {403, "only the holder of this server's secret is served: open the address calvaro printed\n"};
        }
        if (auto refused = refusal(request, port, token)) return *refused;
        // The page, its state and its actions are asked for by the page's
        // script, which sends the secret; what its elements load carries it
        // in the path.
        const auto underSecret = pathUnderSecret(request.path, secret);
        const std::string path = underSecret ? std::string(*underSecret) : request.path;
        const bool get = request.method == "GET";
        if (!underSecret) {
            if (path == "/" && get) return onMain([this] { return page(); });
            if (path == "/state" && get) return onMain([this] { return state(); });
            if (path == "/action" && request.method == "POST") return perform(request.body);
            if (path == "/" || path == "/state" || path == "/action") return {405, "method not allowed\n"};
        }
        if ((path.rfind("/katex/", 0) == 0 || path.rfind("/chart.js/", 0) == 0) && get) return libraryFile(path);
        if (path.rfind("/shared/", 0) == 0 && get) return sharedPicture(path);
        if (path.rfind("/shared/", 0) == 0) return {405, "method not allowed\n"};
        return {404, "not found\n"};
    }
};

bool LiveServer::holdsSecret(const HttpRequest& request, const std::string& secret) {
    if (secret.empty()) return false;
    if (const std::string* sent = request.header(kSecretHeader); sent && sameSecret(*sent, secret)) return true;
    if (pathUnderSecret(request.path, secret)) return true;
    const auto fromQuery = querySecret(request);
    return fromQuery && sameSecret(*fromQuery, secret);
}

std::optional<HttpResponse> LiveServer::refusal(const HttpRequest& request, int port,
                                                const std::string& token) {
    if (auto wrongHost = misdirected(request, port)) return wrongHost;
    const std::string* host = request.header("Host");
    const std::string origin = "http://" + *host;
    const std::string* sentOrigin = request.header("Origin");
    if (sentOrigin && *sentOrigin != origin) return Answer{403, "requests of other pages are refused\n"};
    if (request.method != "POST") return std::nullopt;
    if (!sentOrigin) return Answer{403, "an action needs the page's own Origin\n"};
    // A browser sends a request of another type, or with a header of its
    // own, to another origin only after asking, which this server refuses.
    const std::string* type = request.header("Content-Type");
    if (!type || type->substr(0, type->find(';')) != kActionType)
        return Answer{415, std::string("an action is of type ") + kActionType + "\n"};
    const std::string* sentToken = request.header(kTokenHeader);
    if (!sentToken || token.empty() || !sameSecret(*sentToken, token))
        return Answer{403, "the action lacks the page's token\n"};
    if (request.body.size() > kMaxActionBytes) return Answer{413, "the action is too long\n"};
    return std::nullopt;
}

LiveServer::LiveServer(ui::Driver& driver) : impl_(std::make_unique<Impl>(driver)) {}

LiveServer::~LiveServer() {
    stop();
}

const std::string& LiveServer::token() const {
    return impl_->token;
}

const std::string& LiveServer::secret() const {
    return impl_->secret;
}

std::string LiveServer::url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/?secret=" + impl_->secret;
}

bool LiveServer::start(int port, std::string& error, LoopbackServerLimits limits) {
    auto secret = security::randomBytes(kTokenBytes);
    if (!secret) return error = "no random bytes for the page's token", false;
    impl_->token = security::toHex(secret->data(), secret->size());
    auto access = security::randomBytes(kTokenBytes);
    if (!access) return error = "no random bytes for the server's secret", false;
    impl_->secret = security::toHex(access->data(), access->size());
    limits.request.maxBodyBytes = std::min(limits.request.maxBodyBytes, kMaxActionBytes);
    Impl* impl = impl_.get();
    impl_->http = std::make_unique<LoopbackServer>(
        [impl](const HttpRequest& request) {
            Answer answer = impl->route(request, impl->port);
            if (answer.headers.empty()) answer.headers.emplace_back("Cache-Control", "no-store");
            answer.headers.emplace_back("X-Content-Type-Options", "nosniff");
            // No other page may show this one in a frame and have it clicked.
            answer.headers.emplace_back("X-Frame-Options", "DENY");
            // The addresses of the page's own requests carry the secret: no
            // other site learns them as the Referer of a link followed.
            answer.headers.emplace_back("Referrer-Policy", "no-referrer");
            return answer;
        },
        limits, [impl](const HttpRequest& request) { return holdsSecret(request, impl->secret); });
    // Never another address than the loopback one.
    if (!impl_->http->start(port, error)) return false;
    port_ = impl_->http->port();
    impl_->port = port_;
    return true;
}

void LiveServer::pump(const std::function<bool()>& stopRequested) {
    impl_->stopRequested = stopRequested;
    auto main = dispatch::MainQueue::shared();
    while (!stopRequested()) main->runFor(0.1);
}

void LiveServer::stop() {
    if (!impl_ || impl_->stopping.exchange(true)) return;
    // Requests waiting for the main thread see `stopping` and are answered
    // that the application ends; what the main thread answered before (a
    // wait cut short by the end) still reaches its page.
    if (impl_->http) impl_->http->stop();
    // Work the requests left queued runs with the queue's end.
}

}  // namespace app
