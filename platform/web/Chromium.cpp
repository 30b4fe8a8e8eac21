#include "platform/web/Chromium.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace web {
namespace {

// Runs Chromium with `arguments` after the common ones; its standard output
// goes to `out` (when given), its chatter on standard error is dropped.
bool run(const std::vector<std::string>& arguments, std::string* out, std::string& error) {
    const std::filesystem::path chromium = Chromium::binary();
    if (chromium.empty()) return error = "Chromium is not installed (scripts/setup installs it)", false;
    char profileTemplate[] = "/tmp/calvaro-chromium-XXXXXX";
    if (!mkdtemp(profileTemplate)) return error = "cannot make a profile folder for Chromium", false;
    const std::string profile = profileTemplate;
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
    std::error_code ec;
    std::filesystem::remove_all(profile, ec);
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
              std::string("--force-device-scale-factor=") + scaleText, url},
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
