#include "platform/web/Chromium.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace web {
namespace {

// How much of its own (virtual) time a page is given after its load before it
// is pictured: time runs only while nothing is being fetched, and jumps ahead
// while the page is idle, so a page that is done (its formulas typeset and its
// charts drawn by its load) costs nothing more, and one that still has frames
// or timers to run gets them first.
constexpr int kVirtualTimeBudgetMs = 5000;

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
    pid_t owner_ = 0;
};

// Runs Chromium with `arguments` after the common ones; its standard output
// goes to `out` (when given), its chatter on standard error is dropped.
bool run(const std::vector<std::string>& arguments, std::string* out, std::string& error) {
    const std::filesystem::path chromium = Chromium::binary();
    if (chromium.empty()) return error = "Chromium is not installed (scripts/setup installs it)", false;
    Profile& shared = Profile::shared();
    std::lock_guard<std::mutex> turn(shared.turn());
    const std::string profile = shared.path();
    if (profile.empty()) return error = "cannot make a profile folder for Chromium", false;
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
                                     "--user-data-dir=" + profile};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

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
        execv(argv[0], argv.data());
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
    std::error_code ec;
    std::filesystem::remove(png, ec);
    char scaleText[32];
    std::snprintf(scaleText, sizeof scaleText, "%g", scale);
    if (!run({"--screenshot=" + std::filesystem::absolute(png).string(),
              "--window-size=" + std::to_string(width) + "," + std::to_string(height),
              std::string("--force-device-scale-factor=") + scaleText,
              "--virtual-time-budget=" + std::to_string(kVirtualTimeBudgetMs), url},
             nullptr, error))
        return false;
    if (!std::filesystem::exists(png, ec)) return error = "Chromium wrote no picture", false;
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

}  // namespace web
