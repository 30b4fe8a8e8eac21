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
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/FileSystem.h"
#include "platform/foundation/Value.h"
#include "platform/web/GroupClock.h"

namespace web {
namespace {

// The longest a picture may take, Chromium's start and end included, in
// the browser's own time (its turns taken by other work on a crowded machine
// do not count); a browser that takes longer is stopped and the picture
// refused.
constexpr double kPictureTimeLimit = 120;

// On a busy machine a browser now and then takes the commands sent while it
// starts and never answers them, though it answers the same command sent
// later: the first command is sent again each time it has had no answer for
// this long (a browser that is only slow to start answers twice, and the
// first answer counts).
constexpr double kFirstAnswerLimit = 5;

// A browser that stopped taking commands is going: the end of its answers
// comes with its exit, and is waited for this long at most.
constexpr double kDrainLimit = 5;

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
// process's end, never in a forked child that happens to exit through the
// same path. An end that cannot wait for a picture (a signal, a deadline)
// ends the browser first: the process must not leave a browser writing into
// a profile it is removing, nor a profile nobody will remove.
class Profile {
  public:
    static Profile& shared() {
        static Profile profile;
        return profile;
    }
    Profile(const Profile&) = delete;
    Profile& operator=(const Profile&) = delete;
    ~Profile() {
        if (::getpid() == owner_) end();
    }

    // Held for the whole of a run.
    std::mutex& turn() { return turn_; }
    // The folder, made on first use (0700); empty when none could be made
    // or the process's end has begun.
    std::string path() {
        std::lock_guard<std::mutex> lock(state_);
        return pathLocked();
    }

    // Chromium's temporary folder, where it makes its singleton folder (and
    // leaves it when it is ended): inside the profile, so that it goes with
    // it, unless the socket Chromium makes in it would get a longer path
    // than a socket may have; then a short one of its own in the temporary
    // folder that goes with the profile. Empty when neither can be made:
    // Chromium then keeps the system's.
    std::string temporaryFolder() {
        std::lock_guard<std::mutex> lock(state_);
        if (!temporary_.empty() || pathLocked().empty()) return temporary_;
        // "/org.chromium.Chromium.XXXXXX/SingletonSocket" follows it, and a
        // socket's path has at most 107 bytes.
        constexpr size_t kLongest = 56;
        const std::string inside = path_ + "/tmp";
        if (inside.size() <= kLongest && (::mkdir(inside.c_str(), 0700) == 0 || errno == EEXIST)) {
            temporary_ = inside;
            return temporary_;
        }
        constexpr std::string_view kName = "/calvaro-chromium-tmp-XXXXXX";
        const char* system = std::getenv("TMPDIR");
        std::string base = system && *system == '/' ? system : "/tmp";
        if (base.size() + kName.size() > kLongest) base = "/tmp";
        if (std::string folder = base + std::string(kName); ::mkdtemp(folder.data())) temporary_ = folder;
        return temporary_;
    }

    // A browser just started for a run, the leader of a process group of
    // its own. False when the process's end has begun: the group is then
    // ended at once, and the caller reaps the browser all the same.
    bool admit(pid_t browser) {
        std::lock_guard<std::mutex> lock(state_);
        if (ended_) {
            ::kill(-browser, SIGKILL);
            return false;
        }
        browser_ = browser;
        return true;
    }
    // Reaps the run's browser, which has exited: under the lock, so that
    // the end never signals a group whose number a new process may reuse.
    int release(pid_t browser) {
        int status = 0;
        {
            std::lock_guard<std::mutex> lock(state_);
            if (browser_ == browser) browser_ = 0;
            while (::waitpid(browser, &status, 0) < 0 && errno == EINTR) {
            }
        }
        released_.notify_all();
        return status;
    }
    bool ended() {
        std::lock_guard<std::mutex> lock(state_);
        return ended_;
    }

    // Ends the running browser's whole process group, refuses every later
    // run, and removes the folders once the run has reaped the browser (or
    // after kReapLimit: a browser its run could not reap yet is dead all the
    // same).
    void end() {
        std::unique_lock<std::mutex> lock(state_);
        const bool first = !ended_;
        ended_ = true;
        if (browser_ > 0) ::kill(-browser_, SIGKILL);
        // Only the first end waits: a later one (a deadline) comes when
        // waiting is over.
        if (first) released_.wait_for(lock, kReapLimit, [this] { return browser_ == 0; });
        if (path_.empty() || ::getpid() != owner_) return;
        // A process of the group may still finish a write it began before
        // the signal reached it: what it adds is removed by the next try.
        for (int attempt = 0; attempt < 20; ++attempt) {
            std::error_code ec;
            std::filesystem::remove_all(path_, ec);
            if (!temporary_.empty()) std::filesystem::remove_all(temporary_, ec);
            if (!std::filesystem::exists(path_, ec) && (temporary_.empty() || !std::filesystem::exists(temporary_, ec)))
                break;
            ::poll(nullptr, 0, 10);
        }
        path_.clear();
        temporary_.clear();
    }

  private:
    Profile() = default;

    static constexpr std::chrono::milliseconds kReapLimit{1000};

    const std::string& pathLocked() {
        if (path_.empty() && !ended_) {
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
    std::mutex state_;
    std::condition_variable released_;
    bool ended_ = false;
    pid_t browser_ = 0;
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

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineIn(double seconds) {
    return Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
}

// Milliseconds to `deadline`, at most `most`; 0 once it has passed.
int millisecondsUntil(Clock::time_point deadline, int64_t most) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, most));
}

// Chromium::setStartedHookForTesting's hook.
std::mutex chromiumStartedHookLock;
std::function<void(int)> chromiumStartedHook;

void chromiumBrowserStarted(pid_t pid) {
    std::function<void(int)> hook;
    {
        std::lock_guard<std::mutex> lock(chromiumStartedHookLock);
        hook = chromiumStartedHook;
    }
    if (hook) hook(static_cast<int>(pid));
}

// A browser process: the leader of a process group of its own, so that it
// is ended together with every process it starts (renderers, zygotes), and
// known to the profile, so that the process's end can end it from any
// thread. Ended and reaped when it goes, unless it was reaped before.
class BrowserProcess {
  public:
    BrowserProcess() = default;
    BrowserProcess(const BrowserProcess&) = delete;
    BrowserProcess& operator=(const BrowserProcess&) = delete;
    ~BrowserProcess() {
        if (pid_ <= 0) return;
        ::kill(-pid_, SIGKILL);
        siginfo_t info{};
        while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
        }
        Profile::shared().release(pid_);
    }

    // Starts `args` with `environment`; `plumb` sets up the child's
    // descriptors between fork and exec (async-signal-safe calls only) and
    // answers false when it cannot.
    template <typename Plumb>
    bool start(std::vector<std::string> args, std::vector<std::string> environment, Plumb plumb, std::string& error) {
        std::vector<char*> argv = pointersTo(args);
        std::vector<char*> envp = pointersTo(environment);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            if (plumb()) ::execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        if (pid_ < 0) return error = "cannot start Chromium", false;
        // The group exists before anyone may end it, whichever of the two
        // calls comes first.
        ::setpgid(pid_, pid_);
        if (!Profile::shared().admit(pid_)) return error = "the process is ending", false;
        return true;
    }

    pid_t pid() const { return pid_; }

    // The browser's exit status, once it has exited (then it is reaped);
    // false while it runs.
    bool exited(int& status) {
        if (pid_ <= 0) return status = 0, true;
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) < 0) {
            if (errno == EINTR) return false;
        } else if (info.si_pid == 0) {
            return false;
        }
        // Its helpers may outlive it for a while: they go now, while the
        // group's number is still the unreaped browser's, so that the next
        // browser has the profile to itself.
        ::kill(-pid_, SIGKILL);
        status = Profile::shared().release(pid_);
        pid_ = -1;
        return true;
    }

  private:
    pid_t pid_ = -1;
};

std::string failedStatus(int status) { return "Chromium failed (status " + std::to_string(status) + ")"; }

// Runs Chromium with `arguments` after the common ones; its standard output
// goes to `out` (when given), its chatter on standard error is dropped.
bool run(const std::vector<std::string>& arguments, std::string* out, std::string& error) {
    Profile& shared = Profile::shared();
    std::lock_guard<std::mutex> turn(shared.turn());
    std::vector<std::string> args = commandLine(shared.path(), arguments, error);
    if (args.empty()) return false;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return error = "cannot make a pipe for Chromium", false;
    GroupDeadline deadline(kPictureTimeLimit);
    BrowserProcess browser;
    const bool started = browser.start(std::move(args),
                                       Chromium::environmentWithTemporaryFolder(shared.temporaryFolder()),
                                       [&] {
                                           const int null = ::open("/dev/null", O_RDWR);
                                           return null >= 0 && ::dup2(null, STDIN_FILENO) >= 0 &&
                                                  ::dup2(pipeFds[1], STDOUT_FILENO) >= 0 &&
                                                  ::dup2(null, STDERR_FILENO) >= 0;
                                       },
                                       error);
    if (started) deadline.follow(browser.pid());
    close(pipeFds[1]);
    std::string output;
    char buffer[65536];
    for (bool open = started; open;) {
        pollfd fd{pipeFds[0], POLLIN, 0};
        const int wait = deadline.millisecondsLeft(1000);
        if (wait == 0) {
            error = "Chromium took longer than " + std::to_string(int(kPictureTimeLimit)) + " s";
            break;
        }
        if (::poll(&fd, 1, wait) <= 0) continue;
        const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
        if (n > 0) output.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR) open = false;
    }
    close(pipeFds[0]);
    if (!started || !error.empty()) return false;
    int status = 0;
    while (!browser.exited(status)) {
        if (deadline.passed()) return error = "Chromium did not end", false;
        ::poll(nullptr, 0, 10);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return error = failedStatus(status), false;
    if (out) *out = std::move(output);
    return true;
}

// A browser driven over its DevTools pipe: commands go in on its fd 3 and
// answers and events come out of its fd 4, each message a JSON text ended by
// a NUL. Every wait is bounded by the deadline, on the browser's own clock;
// the browser is stopped when the session ends without a clean close.
class DevToolsSession {
  public:
    using Json = nlohmann::json;

    explicit DevToolsSession(double seconds) : deadline_(seconds) {}
    DevToolsSession(const DevToolsSession&) = delete;
    DevToolsSession& operator=(const DevToolsSession&) = delete;
    ~DevToolsSession() {
        if (toBrowser_ >= 0) ::close(toBrowser_);
        if (fromBrowser_ >= 0) ::close(fromBrowser_);
    }

    bool start(std::vector<std::string> args, std::vector<std::string> environment, std::string& error) {
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
        const bool started = browser_.start(std::move(args), std::move(environment),
                                            [&] {
                                                // Out of the way of 3 and 4 first, whatever
                                                // numbers the pipes got.
                                                const int commands = ::fcntl(in[0], F_DUPFD, 10);
                                                const int answers = ::fcntl(out[1], F_DUPFD, 10);
                                                const int null = ::open("/dev/null", O_RDWR);
                                                return commands >= 0 && answers >= 0 && null >= 0 &&
                                                       ::dup2(commands, 3) >= 0 && ::dup2(answers, 4) >= 0 &&
                                                       ::dup2(null, STDIN_FILENO) >= 0 &&
                                                       ::dup2(null, STDOUT_FILENO) >= 0 &&
                                                       ::dup2(null, STDERR_FILENO) >= 0;
                                            },
                                            error);
        ::close(in[0]);
        ::close(out[1]);
        toBrowser_ = in[1];
        fromBrowser_ = out[0];
        if (started) {
            deadline_.follow(browser_.pid());
            chromiumBrowserStarted(browser_.pid());
        }
        return started;
    }

    // Sends a command and waits for its answer; false with `error` set when
    // the browser refused it, died or took too long. With `repeatAfter`, a
    // command that has had no answer after that many seconds is sent again,
    // and the first answer to any of its sendings counts.
    bool call(const std::string& method, const Json& params, Json& result, std::string& error,
              const std::string& session = {}, double repeatAfter = 0) {
        std::set<int> sent;
        for (;;) {
            if (!send(method, params, session)) {
                drain();
                return error = "Chromium stopped taking commands", false;
            }
            sent.insert(lastId_);
            const Clock::time_point until = repeatAfter > 0 ? deadlineIn(repeatAfter) : Clock::time_point::max();
            Json answer;
            bool quiet = false;
            while (next(answer, error, until, quiet)) {
                if (!sent.count(answer.value("id", 0))) continue;
                if (answer.contains("error"))
                    return error = method + ": " + answer["error"].value("message", std::string("refused")), false;
                result = answer.value("result", Json::object());
                return true;
            }
            if (!quiet) return error = method + ": " + error, false;
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

    // Whether the browser went (its pipe closed) after it had answered: a
    // browser that died at work, not one that could not start.
    bool lostAtWork() const { return answered_ && gone_; }

    // After Browser.close: the browser's exit, within the deadline.
    bool ended(std::string& error) {
        for (int status = 0;;) {
            if (browser_.exited(status)) {
                if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return error = failedStatus(status), false;
                return true;
            }
            if (deadline_.passed()) return error = "Chromium did not end", false;
            // The pipe closes as the browser goes; then its exit comes at once.
            pollfd fd{fromBrowser_, POLLIN, 0};
            if (::poll(&fd, 1, 10) > 0) {
                char buffer[4096];
                if (::read(fromBrowser_, buffer, sizeof buffer) == 0) ::poll(nullptr, 0, 1);
            }
        }
    }

  private:
    bool send(const std::string& method, const Json& params, const std::string& session) {
        Json message = {{"id", ++lastId_}, {"method", method}, {"params", params}};
        if (!session.empty()) message["sessionId"] = session;
        std::string text = message.dump();
        text.push_back('\0');
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = ::send(toBrowser_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return gone_ = true, false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // The browser stopped taking commands: it is going. What it said before
    // it went is read to its end, so that a browser that answered and then
    // died is known as such, whichever of its two ends is seen first.
    void drain() {
        Json message;
        std::string ignored;
        bool quiet = false;
        const Clock::time_point until = deadlineIn(kDrainLimit);
        while (next(message, ignored, until, quiet)) {
        }
    }

    bool next(Json& message, std::string& error) {
        bool quiet = false;
        return next(message, error, Clock::time_point::max(), quiet);
    }

    // The next message, events remembered by name and session; false with
    // `quiet` set when none came before `until` (by the wall clock), the
    // deadline not passed.
    bool next(Json& message, std::string& error, Clock::time_point until, bool& quiet) {
        for (;;) {
            if (const size_t end = pending_.find('\0'); end != std::string::npos) {
                message = Json::parse(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(end), nullptr,
                                      false);
                pending_.erase(0, end + 1);
                if (message.is_discarded()) continue;
                answered_ = true;
                if (message.contains("method"))
                    seen_.insert(message.value("method", std::string()) + "\n" +
                                 message.value("sessionId", std::string()));
                return true;
            }
            const int toDeadline = deadline_.millisecondsLeft(1000);
            if (toDeadline == 0)
                return error = "Chromium took longer than " + std::to_string(int(kPictureTimeLimit)) + " s", false;
            const int wait = std::min(toDeadline, millisecondsUntil(until, 1000));
            if (wait == 0) return quiet = true, false;
            pollfd fd{fromBrowser_, POLLIN, 0};
            const int ready = ::poll(&fd, 1, wait);
            if (ready < 0 && errno != EINTR) return error = "cannot read from Chromium", false;
            if (ready <= 0) continue;
            char buffer[65536];
            const ssize_t n = ::read(fromBrowser_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return gone_ = true, error = "Chromium ended early", false;
            pending_.append(buffer, static_cast<size_t>(n));
        }
    }

    GroupDeadline deadline_;
    BrowserProcess browser_;
    int toBrowser_ = -1, fromBrowser_ = -1;
    int lastId_ = 0;
    bool answered_ = false, gone_ = false;
    std::string pending_;
    std::set<std::string> seen_;
};

// Chromium::screenshot, while the process's end has not begun. `lost` is
// set when the browser died at work, after it had answered.
bool takePicture(const std::string& url, const std::filesystem::path& png, int width, int height, double scale,
                 std::string& error, bool& lost) {
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
    struct LostOnFailure {
        const DevToolsSession& browser;
        bool& lost;
        ~LostOnFailure() { lost = browser.lostAtWork(); }
    } noteLoss{browser, lost};
    if (!browser.start(std::move(args),
                       Chromium::environmentWithTemporaryFolder(shared.temporaryFolder()), error))
        return false;
    // The browser's first tab; the page is opened in it at the picture's
    // size (a headless window may be wider than asked).
    Json result;
    if (!browser.call("Target.getTargets", Json::object(), result, error, {}, kFirstAnswerLimit)) return false;
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
    // Whole or not at all, whenever the process may end.
    if (!foundation::FileSystem::writeAtomically(
            png, std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size())))
        return error = "cannot write " + png.string(), false;
    // The picture is whole from here on and stays, however the browser ends:
    // a Ctrl-C that kills it now ends it, not the picture. The browser may be
    // gone before its answer to the close is read.
    std::string closing;
    browser.call("Browser.close", Json::object(), result, closing);
    browser.ended(closing);
    return true;
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
    // A browser that dies at work, now and then on a starved machine, is
    // started once more; one that cannot start is not.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (Profile::shared().ended()) return error = "the process is ending", false;
        bool lost = false;
        if (takePicture(url, png, width, height, scale, error, lost)) return true;
        if (Profile::shared().ended()) return error = "the process is ending", false;
        if (!lost) return false;
    }
    return false;
}

void Chromium::end() { Profile::shared().end(); }

void Chromium::setStartedHookForTesting(std::function<void(int pid)> hook) {
    std::lock_guard<std::mutex> lock(chromiumStartedHookLock);
    chromiumStartedHook = std::move(hook);
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
