#include "app/LiveServer.h"

#include <httplib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "app/ScriptPlayer.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/FileSystem.h"
#include "platform/security/Digest.h"
#include "platform/ui/Application.h"
#include "platform/web/HtmlPage.h"

namespace app {

namespace {

// How long a request waits for the main thread before it is answered 503.
constexpr auto kMainThreadLimit = std::chrono::seconds(30);
constexpr size_t kMaxActionBytes = kMaxLineBytes;

struct Answer {
    int status = 200;
    std::string body;
    std::string type = "text/plain; charset=utf-8";
};

}  // namespace

struct LiveServer::Impl {
    ui::Driver& driver;
    httplib::Server http;
    std::thread thread;
    std::atomic<bool> stopping{false};

    explicit Impl(ui::Driver& d) : driver(d) {}

    // Runs `work` on the main thread and waits for its answer.
    Answer onMain(std::function<Answer()> work) {
        if (stopping) return {503, "the application is ending\n"};
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
            if (stopping || std::chrono::steady_clock::now() > deadline) return {503, "the application is busy or ending\n"};
        return future.get();
    }

    static ui::Window* window() { return ui::Application::shared().keyWindow(); }

    Answer page() {
        ui::Window* w = window();
        if (!w) return {503, "no window\n"};
        web::PageOptions options;
        options.katexBase = "/katex";
        options.chartBase = "/chart.js";
        options.live = true;
        return {200, web::HtmlPage::ofWindow(*w, options), "text/html; charset=utf-8"};
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
            ScriptError why;
            if (!player.play(actions, &why)) return Answer{409, why.message + "\n"};
            return Answer{200, "done\n"};
        });
    }
};

LiveServer::LiveServer(ui::Driver& driver) : impl_(std::make_unique<Impl>(driver)) {}

LiveServer::~LiveServer() {
    stop();
}

bool LiveServer::start(int port, std::string& error) {
    auto& http = impl_->http;
    Impl* impl = impl_.get();
    auto reply = [](httplib::Response& response, const Answer& answer) {
        response.status = answer.status;
        response.set_header("Cache-Control", "no-store");
        response.set_content(answer.body, answer.type.c_str());
    };
    http.Get("/", [impl, reply](const httplib::Request&, httplib::Response& response) {
        reply(response, impl->onMain([impl] { return impl->page(); }));
    });
    http.Get("/state", [impl, reply](const httplib::Request&, httplib::Response& response) {
        reply(response, impl->onMain([impl] {
            Answer page = impl->page();
            if (page.status == 200) page = {200, security::md5Hex(page.body) + "\n"};
            return page;
        }));
    });
    http.Get(R"(/(katex|chart\.js)/([-A-Za-z0-9_.]+(/[-A-Za-z0-9_.]+)?))",
             [reply](const httplib::Request& request, httplib::Response& response) {
                 const std::string name = request.matches[2];
                 if (name.find("..") != std::string::npos) return reply(response, {404, "not found\n"});
                 const char* folder = request.matches[1] == "katex" ? web::kKatexFolder : chart::kChartLibraryFolder;
                 std::ifstream file(std::filesystem::path(folder) / name, std::ios::binary);
                 if (!file) return reply(response, {404, "not found\n"});
                 std::stringstream body;
                 body << file.rdbuf();
                 std::string type = "application/octet-stream";
                 auto ends = [&](const char* suffix) {
                     return name.size() >= std::strlen(suffix) &&
                            name.compare(name.size() - std::strlen(suffix), std::string::npos, suffix) == 0;
                 };
                 if (ends(".js")) type = "text/javascript";
                 else if (ends(".css")) type = "text/css";
                 else if (ends(".woff2")) type = "font/woff2";
                 else if (ends(".woff")) type = "font/woff";
                 else if (ends(".ttf")) type = "font/ttf";
                 response.set_header("Cache-Control", "max-age=3600");
                 response.set_content(body.str(), type.c_str());
             });
    // The pictures the share sheet saved, offered to the browser as downloads.
    http.Get(R"(/shared/(Solution-[-0-9]+\.png))", [reply](const httplib::Request& request, httplib::Response& response) {
        std::ifstream file(foundation::FileSystem::home() / "Shared" / std::string(request.matches[1]), std::ios::binary);
        if (!file) return reply(response, {404, "not found\n"});
        std::stringstream body;
        body << file.rdbuf();
        response.set_header("Cache-Control", "no-store");
        response.set_header("Content-Disposition", "attachment; filename=\"" + std::string(request.matches[1]) + "\"");
        response.set_content(body.str(), "image/png");
    });
    http.Post("/action", [impl, reply](const httplib::Request& request, httplib::Response& response) {
        if (request.body.size() > kMaxActionBytes) return reply(response, {400, "the action is too long\n"});
        reply(response, impl->perform(request.body));
    });
    http.set_payload_max_length(64 * 1024);
    // A browser keeps several connections open; each holds one of the
    // server's threads while idle, so idle ones are let go soon.
    http.set_keep_alive_timeout(1);
    http.new_task_queue = [] { return new httplib::ThreadPool(16); };
    // Never another address than the loopback one: the live page drives the
    // application without any authentication.
    const int bound = port == 0 ? http.bind_to_any_port("127.0.0.1") : (http.bind_to_port("127.0.0.1", port) ? port : -1);
    if (bound <= 0) return error = "cannot listen on 127.0.0.1:" + std::to_string(port), false;
    port_ = bound;
    impl_->thread = std::thread([impl] { impl->http.listen_after_bind(); });
    return true;
}

void LiveServer::pump(const std::function<bool()>& stopRequested) {
    auto main = dispatch::MainQueue::shared();
    while (!stopRequested()) main->runFor(0.1);
}

void LiveServer::stop() {
    if (!impl_ || impl_->stopping.exchange(true)) return;
    impl_->http.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
    // Work the requests left queued runs with the queue's end.
}

}  // namespace app
