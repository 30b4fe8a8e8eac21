#include "tests/web/DevTools.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "platform/web/Chromium.h"
#include "platform/web/GroupClock.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class Read { kSome, kNone, kClosed };

// Reads what `fd` has within `seconds`.
Read readWithin(int fd, std::string& buffer, double seconds) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(std::max(0.0, seconds) * 1000) + 1);
    if (ready < 0) return errno == EINTR ? Read::kNone : Read::kClosed;
    if (ready == 0) return Read::kNone;
    char chunk[65536];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) return Read::kNone;
    if (n <= 0) return Read::kClosed;
    buffer.append(chunk, static_cast<size_t>(n));
    return Read::kSome;
}

// Reads what `fd` has before `deadline`, on a browser's own clock: a start
// or an answer that a crowded core holds back is waited for, a hang is not.
bool readSomeOnItsClock(int fd, std::string& buffer, web::GroupDeadline& deadline) {
    for (;;) {
        const int ms = deadline.millisecondsLeft(250);
        if (ms == 0) return false;
        const Read read = readWithin(fd, buffer, ms / 1000.0);
        if (read != Read::kNone) return read == Read::kSome;
    }
}

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

int connectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// `seconds` from now on the browser's own clock; its threads were running
// before.
web::GroupDeadline browserDeadline(double seconds) {
    return web::GroupDeadline(seconds, Browser::shared().pid(), false);
}

// A plain HTTP/1.1 exchange with the browser's endpoint; the body.
std::string httpRequest(int port, const std::string& method, const std::string& path) {
    int fd = connectLoopback(port);
    if (fd < 0) return "";
    writeAll(fd, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    std::string response;
    // The endpoint may keep the connection open: the body ends by its length.
    web::GroupDeadline deadline = browserDeadline(10);
    size_t body = std::string::npos, length = 0;
    while (readSomeOnItsClock(fd, response, deadline)) {
        if (body == std::string::npos && (body = response.find("\r\n\r\n")) != std::string::npos) {
            body += 4;
            std::string head = response.substr(0, body);
            for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            size_t at = head.find("content-length:");
            length = at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 15, nullptr, 10);
        }
        if (body != std::string::npos && response.size() >= body + length) break;
    }
    close(fd);
    return body == std::string::npos ? "" : response.substr(body);
}

}  // namespace

Browser& Browser::shared() {
    static Browser browser;
    return browser;
}

Browser::Browser() {
    const auto chromium = web::Chromium::binary();
    if (chromium.empty()) {
        error_ = "Chromium is not installed (scripts/setup installs it)";
        return;
    }
    char profile[] = "/tmp/calvaro-devtools-XXXXXX";
    if (!mkdtemp(profile)) {
        error_ = "no profile folder";
        return;
    }
    profile_ = profile;
    std::vector<std::string> args = {chromium.string(), "--headless", "--no-sandbox", "--disable-gpu",
                                     "--disable-quic", "--no-first-run", "--disable-background-networking",
                                     "--disable-component-update", "--disable-sync", "--hide-scrollbars",
                                     "--window-size=390,844", "--remote-debugging-port=0",
                                     "--remote-allow-origins=*", "--user-data-dir=" + profile_,
                                     // A name of another site that resolves to this machine, as
                                     // after a DNS rebinding.
                                     "--host-resolver-rules=MAP rebound.test 127.0.0.1", "about:blank"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Its singleton folder goes with the profile, even when it is ended.
    const std::string temporary = profile_ + "/tmp";
    mkdir(temporary.c_str(), 0700);
    std::vector<std::string> environment = web::Chromium::environmentWithTemporaryFolder(temporary);
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) {
        error_ = "no pipe";
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        // Its helper processes share its group, so that the end reaches them.
        setpgid(0, 0);
        // A test binary killed (a timeout) takes its browser with it, rather
        // than leaving it at work on a core the next tests need.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // Run as root, the browser raises its own threads (its main and IO
        // threads, its compositors) above every other process: eight of them
        // on one core then starve their own pages. Without the right to, they
        // keep the priority they were started with.
        prctl(PR_CAPBSET_DROP, CAP_SYS_NICE, 0, 0, 0);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(err[1], 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    if (pid_ > 0) setpgid(pid_, pid_);  // as the child does, whichever runs first
    close(err[1]);
    // Chromium names its endpoint on standard error once it listens.
    std::string said;
    const std::string marker = "DevTools listening on ws://127.0.0.1:";
    web::GroupDeadline deadline(30, pid_, true);
    while (said.find(marker) == std::string::npos || said.find('/', said.find(marker) + marker.size()) == std::string::npos)
        if (!readSomeOnItsClock(err[0], said, deadline)) break;
    size_t at = said.find(marker);
    if (at == std::string::npos) {
        error_ = "Chromium did not open its DevTools endpoint: " + said.substr(0, 500);
    } else {
        port_ = std::atoi(said.c_str() + at + marker.size());
    }
    // Its later chatter is not read; closing the pipe would end it.
    std::thread([fd = err[0]] {
        char sink[4096];
        while (read(fd, sink, sizeof sink) > 0) {
        }
        close(fd);
    }).detach();
}

Browser::~Browser() {
    if (pid_ > 0) {
        kill(-pid_, SIGTERM);
        int status;
        waitpid(pid_, &status, 0);
    }
    if (profile_.empty()) return;
    // A helper of the browser may still write its last files while the
    // profile goes, and a folder that gained one is not removed: try again
    // until nothing is left, for a bounded time.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    std::error_code ec;
    while (std::filesystem::remove_all(profile_, ec), std::filesystem::exists(profile_, ec) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

Tab::Tab() {
    Browser& browser = Browser::shared();
    if (!browser.error().empty()) {
        error_ = browser.error();
        return;
    }
    auto target = nlohmann::json::parse(httpRequest(browser.port(), "PUT", "/json/new?about:blank"), nullptr, false);
    if (!target.is_object() || !target.contains("webSocketDebuggerUrl")) {
        error_ = "no page target";
        return;
    }
    targetId_ = target.value("id", "");
    std::string url = target["webSocketDebuggerUrl"];
    std::string path = url.substr(url.find('/', std::strlen("ws://")));
    fd_ = connectLoopback(browser.port());
    if (fd_ < 0) {
        error_ = "cannot connect to the page";
        return;
    }
    writeAll(fd_, "GET " + path +
                      " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    std::string response;
    web::GroupDeadline deadline = browserDeadline(10);
    while (response.find("\r\n\r\n") == std::string::npos)
        if (!readSomeOnItsClock(fd_, response, deadline)) break;
    if (response.find(" 101 ") == std::string::npos) {
        error_ = "the page refused the WebSocket: " + response.substr(0, 200);
        close(fd_);
        fd_ = -1;
    }
    pending_ = response.substr(std::min(response.size(), response.find("\r\n\r\n") + 4));
}

Tab::~Tab() {
    if (fd_ >= 0) close(fd_);
    if (!targetId_.empty() && Browser::shared().port() > 0)
        httpRequest(Browser::shared().port(), "GET", "/json/close/" + targetId_);
}

bool Tab::send(const std::string& text) {
    std::string frame;
    frame += static_cast<char>(0x81);  // a final text frame
    const size_t n = text.size();
    if (n < 126) {
        frame += static_cast<char>(0x80 | n);
    } else if (n < 65536) {
        frame += static_cast<char>(0x80 | 126);
        frame += static_cast<char>(n >> 8);
        frame += static_cast<char>(n & 0xff);
    } else {
        frame += static_cast<char>(0x80 | 127);
        for (int i = 7; i >= 0; --i) frame += static_cast<char>((static_cast<uint64_t>(n) >> (8 * i)) & 0xff);
    }
    static std::mt19937 random(12345);
    char mask[4];
    for (char& m : mask) m = static_cast<char>(random());
    frame.append(mask, 4);
    for (size_t i = 0; i < n; ++i) frame += static_cast<char>(text[i] ^ mask[i % 4]);
    return writeAll(fd_, frame);
}

bool Tab::receive(std::string& text, web::GroupDeadline& deadline) {
    // More bytes before the deadline, looking at the browser's clock every
    // quarter second.
    const auto more = [&] {
        for (;;) {
            const double left = deadline.secondsLeft();
            if (left <= 0) return false;
            const Read read = readWithin(fd_, pending_, std::min(left, 0.25));
            if (read != Read::kNone) return read == Read::kSome;
        }
    };
    text.clear();
    for (;;) {
        while (pending_.size() < 2)
            if (!more()) return false;
        const auto byte = [&](size_t i) { return static_cast<unsigned char>(pending_[i]); };
        const bool final = byte(0) & 0x80;
        const int opcode = byte(0) & 0x0f;
        uint64_t length = byte(1) & 0x7f;
        size_t header = 2;
        if (length == 126) header = 4;
        if (length == 127) header = 10;
        while (pending_.size() < header)
            if (!more()) return false;
        if (length == 126) length = (byte(2) << 8) | byte(3);
        if (length == 127) {
            length = 0;
            for (size_t i = 2; i < 10; ++i) length = length << 8 | byte(i);
        }
        while (pending_.size() < header + length)
            if (!more()) return false;
        std::string payload = pending_.substr(header, length);
        pending_.erase(0, header + length);
        if (opcode == 0x8) return false;              // closed
        if (opcode == 0x9 || opcode == 0xA) continue;  // ping, pong
        text += payload;
        if (final) return true;
    }
}

nlohmann::json Tab::call(const std::string& method, const nlohmann::json& params) {
    if (fd_ < 0) return {{"error", error_}};
    const int id = nextId_++;
    if (!send(nlohmann::json{{"id", id}, {"method", method}, {"params", params}}.dump()))
        return {{"error", "cannot send"}};
    std::string text;
    web::GroupDeadline deadline = browserDeadline(30);
    while (receive(text, deadline)) {
        auto message = nlohmann::json::parse(text, nullptr, false);
        if (!message.is_object()) continue;
        if (message.contains("method")) {
            events_.push_back(message);
            continue;
        }
        if (message.value("id", 0) != id) continue;
        if (message.contains("error")) return {{"error", message["error"].dump()}};
        return message.value("result", nlohmann::json::object());
    }
    return {{"error", "no answer to " + method}};
}

nlohmann::json Tab::evaluate(const std::string& expression) {
    auto result = call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", true}});
    if (result.contains("exceptionDetails")) return {{"error", result["exceptionDetails"].dump()}};
    if (result.contains("result") && result["result"].contains("value")) return result["result"]["value"];
    return result;
}

bool Tab::waitForEvent(const std::string& method, double seconds) {
    web::GroupDeadline deadline = browserDeadline(seconds);
    for (;;) {
        for (auto it = events_.begin(); it != events_.end(); ++it)
            if ((*it)["method"] == method) {
                events_.erase(events_.begin(), it + 1);
                return true;
            }
        events_.clear();
        std::string text;
        if (!receive(text, deadline)) return false;
        auto message = nlohmann::json::parse(text, nullptr, false);
        if (message.is_object() && message.contains("method")) events_.push_back(message);
    }
}

bool Tab::navigate(const std::string& url) {
    call("Page.enable");
    events_.clear();
    call("Page.navigate", {{"url", url}});
    // A page of formulas typesets before its load event: all 2,402 golden
    // formulas, built where nothing lays them out, take two to four seconds
    // of the browser's CPU. The wait is on the browser's clock, which counts
    // none of the time it waited for a core.
    return waitForEvent("Page.loadEventFired", 90);
}

bool Tab::actThenWaitFor(const std::string& action, const std::string& condition, double seconds) {
    events_.clear();
    evaluate(action);
    web::GroupDeadline deadline = browserDeadline(seconds);
    for (;;) {
        // The page may change in place (the live page puts in a newer screen
        // without a load): the browser checks again every 20 ms until the
        // condition holds, for a few seconds of its clock at a time (its
        // clock runs no slower than the browser's own), until the time is up.
        const double left = deadline.secondsLeft();
        const int ms = static_cast<int>(std::clamp(left, 0.0, 5.0) * 1000);
        auto met = evaluate("new Promise(done => { const end = Date.now() + " + std::to_string(ms) +
                            "; const check = () => { let ok = false; try { ok = !!(document.body && "
                            "document.body.dataset.ready === '1' && (" + condition +
                            ")); } catch (e) {} if (ok) done(true); else if (Date.now() >= end) done(false); "
                            "else setTimeout(check, 20); }; check(); })");
        if (met == true) return true;
        if (left <= 0) return false;
        if (met == false) continue;
        // The page went away under the check (a load): wait for the next one.
        if (!waitForEvent("Page.loadEventFired", deadline.secondsLeft())) return false;
    }
}
