#include "platform/web/Chromium.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/Value.h"

namespace web {
namespace {

// The longest a picture may take, Chromium's start and end included; a
// browser that takes longer is stopped and the picture refused.
constexpr double kPictureTimeLimit = 120;

// The browser's window at least: the page is laid out at the picture's size
// whatever the window's, but a window only a few lines high draws no new
// frame once the page has changed after its load, and the picture never comes.
constexpr std::pair<int, int> kMinimumWindow = {800, 600};

// The page is pictured once it says it is done: the page's own script marks
// the body data-ready after it has typeset every formula, the chart library
// having drawn every chart before it; then the fonts it asked for have come
// and one more frame is drawn. A page without that script is done at its
// load.
constexpr const char* kPageDrawn = R"JS(new Promise(function(done){
  function drawn(){ document.fonts.ready.then(function(){ requestAnimationFrame(function(){ done(true); }); }); }
  (function check(){
    if(!window.calvaroTypeset||(document.body&&document.body.dataset.ready==='1')) drawn();
    else requestAnimationFrame(check);
  })();
}))JS";

// The one Chromium profile of the process. Making and deleting a profile
// costs a noticeable part of a picture, so it is made once, in memory where
// the system has a private or shared memory folder, and every run reuses it.
// One profile serves one browser at a time: runs take turns. It goes at the
// process's end (an orderly end after a signal included), never in a forked
// child that happens to exit through the same path.
class Profile {
  public:
    static Profile& shared() {
        static Profile profile;
        return profile;
    }
    Profile(const Profile&) = delete;
    Profile& operator=(const Profile&) = delete;
    ~Profile() {
        if (path_.empty() || ::getpid() != owner_) return;
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
        if (!temporary_.empty()) std::filesystem::remove_all(temporary_, ec);
    }

    // Held for the whole of a run.
    std::mutex& turn() { return turn_; }
    // The folder, made on first use (0700); empty when none could be made.
    const std::string& path() {
        if (path_.empty()) {
            for (const std::filesystem::path& base : bases()) {
                std::string folder = (base / "calvaro-chromium-XXXXXX").string();
                if (::mkdtemp(folder.data())) {
                    path_ = folder;
                    owner_ = ::getpid();
                    break;
                }
            }
        }
        return path_;
    }

    // Chromium's temporary folder, where it makes its singleton folder (and
    // leaves it when it is ended): inside the profile, so that it goes with
    // it, unless the socket Chromium makes in it would get a longer path
    // than a socket may have; then a short one of its own that goes with the
    // profile. Empty when neither can be made: Chromium then keeps the
    // system's.
    const std::string& temporaryFolder() {
        if (!temporary_.empty() || path().empty()) return temporary_;
        // "/org.chromium.Chromium.XXXXXX/SingletonSocket" follows it, and a
        // socket's path has at most 107 bytes.
        constexpr size_t kLongest = 56;
        const std::string inside = path_ + "/tmp";
        if (inside.size() <= kLongest && (::mkdir(inside.c_str(), 0700) == 0 || errno == EEXIST)) {
            temporary_ = inside;
        } else if (std::string folder = "/tmp/calvaro-chromium-tmp-XXXXXX"; ::mkdtemp(folder.data())) {
            temporary_ = folder;
        }
        return temporary_;
    }

  private:
    Profile() = default;

    // Memory first: the user's runtime folder (private to the user), the
    // shared memory folder, then the temporary folder.
    static std::vector<std::filesystem::path> bases() {
        std::vector<std::filesystem::path> out;
        auto add = [&out](const char* folder) {
            std::error_code ec;
            if (folder && *folder == '/' && std::filesystem::is_directory(folder, ec) &&
                ::access(folder, W_OK | X_OK) == 0)
                out.emplace_back(folder);
        };
        add(std::getenv("XDG_RUNTIME_DIR"));
        add("/dev/shm");
        add(std::getenv("TMPDIR"));
        add("/tmp");
        return out;
    }

    std::mutex turn_;
    std::string path_;
    std::string temporary_;
    pid_t owner_ = 0;
};

// Chromium's command line: the common arguments (the profile's among them)
// and then `arguments`; empty with `error` set when it cannot run.
std::vector<std::string> commandLine(const std::string& profile, const std::vector<std::string>& arguments,
                                     std::string& error) {
    const std::filesystem::path chromium = Chromium::binary();
    if (chromium.empty()) return error = "Chromium is not installed (scripts/setup installs it)", std::vector<std::string>{};
    if (profile.empty()) return error = "cannot make a profile folder for Chromium", std::vector<std::string>{};
    std::vector<std::string> args = {chromium.string(),
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--hide-scrollbars",
                                     "--allow-file-access-from-files",
                                     "--disable-extensions",
                                     "--disable-default-apps",
                                     "--disable-breakpad",
                                     "--disable-domain-reliability",
                                     "--disable-client-side-phishing-detection",
                                     "--disable-features=Translate,OptimizationHints,MediaRouter",
                                     "--user-data-dir=" + profile};
    args.insert(args.end(), arguments.begin(), arguments.end());
    return args;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Runs Chromium with `arguments` after the common ones; its standard output
// goes to `out` (when given), its chatter on standard error is dropped.
bool run(const std::vector<std::string>& arguments, std::string* out, std::string& error) {
    Profile& shared = Profile::shared();
    std::lock_guard<std::mutex> turn(shared.turn());
    std::vector<std::string> args = commandLine(shared.path(), arguments, error);
    if (args.empty()) return false;
    std::vector<char*> argv = pointersTo(args);
    std::vector<std::string> environment = Chromium::environmentWithTemporaryFolder(shared.temporaryFolder());
    std::vector<char*> envp = pointersTo(environment);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return error = "cannot make a pipe for Chromium", false;
    pid_t pid = fork();
    if (pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return error = "cannot start Chromium", false;
    }
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(pipeFds[1]);
    std::string output;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n > 0) output.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR) break;
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return error = "Chromium failed (status " + std::to_string(status) + ")", false;
    if (out) *out = std::move(output);
    return true;
}

// A browser driven over its DevTools pipe: commands go in on its fd 3 and
// answers and events come out of its fd 4, each message a JSON text ended by
// a NUL. Every wait is bounded by the deadline; the browser is stopped when
// the session ends without a clean close.
class DevToolsSession {
  public:
    using Json = nlohmann::json;
    using Clock = std::chrono::steady_clock;

    explicit DevToolsSession(double seconds)
        : deadline_(Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000))) {}
    DevToolsSession(const DevToolsSession&) = delete;
    DevToolsSession& operator=(const DevToolsSession&) = delete;
    ~DevToolsSession() {
        if (toBrowser_ >= 0) ::close(toBrowser_);
        if (fromBrowser_ >= 0) ::close(fromBrowser_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            reap();
        }
    }

    bool start(std::vector<std::string> args, std::vector<std::string> environment, std::string& error) {
        std::vector<char*> argv = pointersTo(args);
        std::vector<char*> envp = pointersTo(environment);
        // Commands go through a socket, not a pipe: a write to a browser that
        // has died is then an error, not a SIGPIPE that ends this process.
        int in[2], out[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0)
            return error = "cannot make a pipe for Chromium", false;
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return error = "cannot make a pipe for Chromium", false;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            // Out of the way of 3 and 4 first, whatever numbers the pipes got.
            const int commands = ::fcntl(in[0], F_DUPFD, 10), answers = ::fcntl(out[1], F_DUPFD, 10);
            const int null = ::open("/dev/null", O_RDWR);
            if (commands < 0 || answers < 0 || null < 0 || ::dup2(commands, 3) < 0 || ::dup2(answers, 4) < 0) _exit(127);
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            ::execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        toBrowser_ = in[1];
        fromBrowser_ = out[0];
        if (pid_ < 0) return error = "cannot start Chromium", false;
        return true;
    }

    // Sends a command and waits for its answer; false with `error` set when
    // the browser refused it, died or took too long.
    bool call(const std::string& method, const Json& params, Json& result, std::string& error,
              const std::string& session = {}) {
        Json message = {{"id", ++lastId_}, {"method", method}, {"params", params}};
        if (!session.empty()) message["sessionId"] = session;
        std::string text = message.dump();
        text.push_back('\0');
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = ::send(toBrowser_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return error = "Chromium stopped taking commands", false;
            done += static_cast<size_t>(n);
        }
        for (;;) {
            Json answer;
            if (!next(answer, error)) return error = method + ": " + error, false;
            if (answer.value("id", 0) != lastId_) continue;
            if (answer.contains("error"))
                return error = method + ": " + answer["error"].value("message", std::string("refused")), false;
            result = answer.value("result", Json::object());
            return true;
        }
    }

    // Waits for the event `method` of `session`, which may have come already.
    bool event(const std::string& method, const std::string& session, std::string& error) {
        for (;;) {
            if (seen_.count(method + "\n" + session)) return true;
            Json message;
            if (!next(message, error)) return error = "waiting for " + method + ": " + error, false;
        }
    }

    // After Browser.close: the browser's exit, within the deadline.
    bool ended(std::string& error) {
        while (pid_ > 0) {
            int status = 0;
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
                    return error = "Chromium failed (status " + std::to_string(status) + ")", false;
                return true;
            }
            if (done < 0 && errno != EINTR) return pid_ = -1, true;
            if (Clock::now() > deadline_) return error = "Chromium did not end", false;
            // The pipe closes as the browser goes; then its exit comes at once.
            pollfd fd{fromBrowser_, POLLIN, 0};
            if (::poll(&fd, 1, 10) > 0) {
                char buffer[4096];
                if (::read(fromBrowser_, buffer, sizeof buffer) == 0) ::poll(nullptr, 0, 1);
            }
        }
        return true;
    }

  private:
    // The next message, events remembered by name and session.
    bool next(Json& message, std::string& error) {
        for (;;) {
            if (const size_t end = pending_.find('\0'); end != std::string::npos) {
                message = Json::parse(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(end), nullptr,
                                      false);
                pending_.erase(0, end + 1);
                if (message.is_discarded()) continue;
                if (message.contains("method"))
                    seen_.insert(message.value("method", std::string()) + "\n" +
                                 message.value("sessionId", std::string()));
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
            if (left <= 0) return error = "Chromium took longer than " + std::to_string(int(kPictureTimeLimit)) + " s", false;
            pollfd fd{fromBrowser_, POLLIN, 0};
            const int ready = ::poll(&fd, 1, static_cast<int>(std::min<int64_t>(left, 1000)));
            if (ready < 0 && errno != EINTR) return error = "cannot read from Chromium", false;
            if (ready <= 0) continue;
            char buffer[65536];
            const ssize_t n = ::read(fromBrowser_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return error = "Chromium ended early", false;
            pending_.append(buffer, static_cast<size_t>(n));
        }
    }

    void reap() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

    Clock::time_point deadline_;
    pid_t pid_ = -1;
    int toBrowser_ = -1, fromBrowser_ = -1;
    int lastId_ = 0;
    std::string pending_;
    std::set<std::string> seen_;
};

// Writes `bytes` to `path` (replacing a file there, never through a link).
bool writeBytes(const std::filesystem::path& path, const foundation::Value::Bytes& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    bool ok = fd >= 0;
    for (size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        done += ok ? static_cast<size_t>(n) : 0;
    }
    if (fd >= 0 && ::close(fd) != 0) ok = false;
    return ok;
}

}  // namespace

std::filesystem::path Chromium::binary() {
    if (const char* named = std::getenv("CALVARO_CHROMIUM"); named && *named) return named;
    std::error_code ec;
    for (const char* path : {"/usr/bin/chromium", "/usr/lib/chromium/chromium"})
        if (std::filesystem::exists(path, ec)) return path;
    return {};
}

bool Chromium::dumpDom(const std::string& url, std::string& dom, std::string& error) {
    return run({"--dump-dom", url}, &dom, error);
}

bool Chromium::screenshot(const std::string& url, const std::filesystem::path& png, int width, int height,
                          double scale, std::string& error) {
    using Json = nlohmann::json;
    std::error_code ec;
    std::filesystem::remove(png, ec);
    char scaleText[32];
    std::snprintf(scaleText, sizeof scaleText, "%g", scale);
    Profile& shared = Profile::shared();
    std::lock_guard<std::mutex> turn(shared.turn());
    std::vector<std::string> args =
        commandLine(shared.path(),
                    {"--remote-debugging-pipe",
                     "--window-size=" + std::to_string(std::max(width, kMinimumWindow.first)) + "," +
                         std::to_string(std::max(height, kMinimumWindow.second)),
                     std::string("--force-device-scale-factor=") + scaleText, "about:blank"},
                    error);
    if (args.empty()) return false;
    DevToolsSession browser(kPictureTimeLimit);
    if (!browser.start(std::move(args),
                       Chromium::environmentWithTemporaryFolder(shared.temporaryFolder()), error))
        return false;
    // The browser's first tab; the page is opened in it at the picture's
    // size (a headless window may be wider than asked).
    Json result;
    if (!browser.call("Target.getTargets", Json::object(), result, error)) return false;
    std::string target;
    for (const auto& info : result.value("targetInfos", Json::array()))
        if (info.value("type", std::string()) == "page") target = info.value("targetId", std::string());
    if (target.empty()) return error = "Chromium opened no page", false;
    if (!browser.call("Target.attachToTarget", {{"targetId", target}, {"flatten", true}}, result, error)) return false;
    const std::string session = result.value("sessionId", std::string());
    if (!browser.call("Emulation.setDeviceMetricsOverride",
                      {{"width", width}, {"height", height}, {"deviceScaleFactor", 0}, {"mobile", false}}, result,
                      error, session) ||
        !browser.call("Page.enable", Json::object(), result, error, session) ||
        !browser.call("Page.navigate", {{"url", url}}, result, error, session))
        return false;
    if (result.contains("errorText")) return error = "Chromium cannot open the page: " + result.value("errorText", std::string()), false;
    if (!browser.event("Page.loadEventFired", session, error) ||
        !browser.call("Runtime.evaluate", {{"expression", kPageDrawn}, {"awaitPromise", true}, {"returnByValue", true}},
                      result, error, session))
        return false;
    if (result.contains("exceptionDetails")) return error = "the page did not say it was drawn", false;
    // The same pixels whatever the compression: the fastest is taken.
    if (!browser.call("Page.captureScreenshot", {{"format", "png"}, {"optimizeForSpeed", true}}, result, error, session))
        return false;
    const auto bytes = foundation::base64Decode(result.value("data", std::string()));
    if (!bytes || bytes->empty()) return error = "Chromium gave no picture", false;
    if (!writeBytes(png, *bytes)) return error = "cannot write " + png.string(), false;
    // The browser may be gone before its answer to the close is read: its
    // exit is what counts.
    std::string closing;
    browser.call("Browser.close", Json::object(), result, closing);
    if (!browser.ended(error)) {
        std::filesystem::remove(png, ec);
        return false;
    }
    return true;
}

std::string Chromium::fileUrl(const std::filesystem::path& path) {
    std::string url = "file://";
    for (unsigned char c : std::filesystem::absolute(path).string()) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
            url += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            url += hex;
        }
    }
    return url;
}

std::vector<std::string> Chromium::environmentWithTemporaryFolder(const std::string& folder) {
    std::vector<std::string> environment;
    for (char** entry = environ; entry && *entry; ++entry) {
        if (folder.empty() || std::string_view(*entry).rfind("TMPDIR=", 0) != 0) environment.emplace_back(*entry);
    }
    if (!folder.empty()) environment.push_back("TMPDIR=" + folder);
    return environment;
}

}  // namespace web
