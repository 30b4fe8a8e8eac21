#include "tests/web/WebTestSupport.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/foundation/Value.h"
#include "platform/security/Compression.h"
#include "platform/web/Chromium.h"
#include "tests/support/TestPaths.h"
#include "tests/web/DevTools.h"

bool Element::hasClass(const std::string& name) const {
    std::istringstream classes(get("class"));
    std::string one;
    while (classes >> one)
        if (one == name) return true;
    return false;
}

namespace {

std::string unescape(std::string text) {
    static const std::pair<const char*, const char*> entities[] = {
        {"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&#39;", "'"}, {"&amp;", "&"}};
    for (const auto& [from, to] : entities)
        for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += std::strlen(to))
            text.replace(at, std::strlen(from), to);
    return text;
}

std::vector<double> numbers(const std::string& text) {
    std::istringstream in(text);
    std::vector<double> out;
    double v;
    while (in >> v) out.push_back(v);
    return out;
}

}  // namespace

std::vector<Element> elements(const std::string& dom, const std::string& tag) {
    std::vector<Element> out;
    const std::string open = "<" + tag;
    for (size_t at = dom.find(open); at != std::string::npos; at = dom.find(open, at + 1)) {
        char after = dom[at + open.size()];
        if (after != ' ' && after != '>') continue;
        size_t end = dom.find('>', at);
        if (end == std::string::npos) break;
        std::string inside = dom.substr(at + open.size(), end - at - open.size());
        Element element;
        // name="value" or a bare name, separated by blanks (as Chromium serialises).
        for (size_t i = 0; i < inside.size();) {
            while (i < inside.size() && std::isspace(static_cast<unsigned char>(inside[i]))) ++i;
            size_t nameEnd = i;
            while (nameEnd < inside.size() && inside[nameEnd] != '=' &&
                   !std::isspace(static_cast<unsigned char>(inside[nameEnd])) && inside[nameEnd] != '/')
                ++nameEnd;
            if (nameEnd == i) {
                ++i;
                continue;
            }
            std::string name = inside.substr(i, nameEnd - i), value;
            i = nameEnd;
            if (i + 1 < inside.size() && inside[i] == '=' && inside[i + 1] == '"') {
                size_t close = inside.find('"', i + 2);
                if (close == std::string::npos) close = inside.size();
                value = inside.substr(i + 2, close - i - 2);
                i = close + 1;
            }
            element.attributes[name] = unescape(value);
        }
        out.push_back(std::move(element));
    }
    return out;
}

namespace {

// One browser for the test binary, one tab for its pages.
Tab& sharedTab() {
    static Tab tab;
    EXPECT_TRUE(tab.ok()) << tab.error();
    return tab;
}

}  // namespace

Tab& openPage(const std::filesystem::path& page, bool measure) {
    Tab& tab = sharedTab();
    std::string url = web::Chromium::fileUrl(page) + (measure ? "#measure" : "");
    // A new document each time: the same page with another hash would not load again.
    tab.navigate("about:blank");
    EXPECT_TRUE(tab.navigate(url)) << url;
    return tab;
}

std::string withScreenUnlaid(std::string html) {
    const size_t body = html.find("<body");
    EXPECT_NE(body, std::string::npos) << "no body";
    if (body != std::string::npos) html.insert(body, "<style id=\"unlaid\">#screen{display:none}</style>");
    return html;
}

void layOutWithEveryFont(Tab& tab) {
    const auto laid = tab.evaluate(R"((async () => {
        await Promise.all([...document.fonts].map(f => f.load().catch(() => {})));
        const unlaid = document.getElementById('unlaid');
        if (!unlaid) return false;
        unlaid.remove();
        return document.getElementById('screen').getBoundingClientRect().height > 0;
    })())");
    EXPECT_EQ(laid, true) << laid.dump().substr(0, 500);
}

std::string domOf(const std::filesystem::path& page, bool measure) {
    auto html = openPage(page, measure).evaluate("document.documentElement.outerHTML");
    std::string dom = html.is_string() ? html.get<std::string>() : "";
    EXPECT_NE(dom.find("data-ready=\"1\""), std::string::npos) << "the page's script did not run: " << page;
    return dom;
}

std::string pictureOf(const std::filesystem::path& page, const std::filesystem::path& png, double width,
                      double height, double scale) {
    std::string dom = domOf(page, false);
    Tab& tab = sharedTab();
    tab.call("Emulation.setDeviceMetricsOverride",
             {{"width", static_cast<int>(std::ceil(width))}, {"height", static_cast<int>(std::ceil(height))},
              {"deviceScaleFactor", scale}, {"mobile", false}});
    auto shot = tab.call("Page.captureScreenshot",
                         {{"format", "png"},
                          {"clip", {{"x", 0}, {"y", 0}, {"width", width}, {"height", height}, {"scale", 1}}}});
    tab.call("Emulation.clearDeviceMetricsOverride");
    EXPECT_TRUE(shot.contains("data")) << shot.dump();
    const auto bytes = foundation::base64Decode(shot.value("data", ""));
    EXPECT_TRUE(bytes && !bytes->empty());
    writeFile(png, bytes ? std::string(bytes->begin(), bytes->end()) : std::string());
    // Kept for a person to look at when asked.
    if (const char* keep = std::getenv("CALVARO_TEST_PICTURES"); keep && *keep) {
        std::error_code ec;
        std::filesystem::copy_file(png, std::filesystem::path(keep) / png.filename(),
                                   std::filesystem::copy_options::overwrite_existing, ec);
    }
    return dom;
}

std::pair<uint32_t, uint32_t> pngSize(const std::filesystem::path& path) {
    const std::string bytes = readFile(path);
    if (bytes.size() < 24 || bytes.compare(1, 3, "PNG") != 0) return {0, 0};
    auto word = [&](size_t at) {
        uint32_t v = 0;
        for (size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
        return v;
    };
    return {word(16), word(20)};
}

std::optional<std::array<uint8_t, 4>> pngPixel(const std::filesystem::path& path, uint32_t x, uint32_t y) {
    const std::string bytes = readFile(path);
    if (bytes.size() < 33 || bytes.compare(1, 3, "PNG") != 0) return std::nullopt;
    auto word = [&](size_t at) {
        uint32_t v = 0;
        for (size_t i = 0; i < 4; ++i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
        return v;
    };
    const uint32_t width = word(16), height = word(20);
    const int depth = static_cast<unsigned char>(bytes[24]), colour = static_cast<unsigned char>(bytes[25]);
    const int interlace = static_cast<unsigned char>(bytes[28]);
    if (depth != 8 || (colour != 2 && colour != 6) || interlace != 0 || x >= width || y >= height) return std::nullopt;
    std::vector<uint8_t> deflated;
    for (size_t at = 8; at + 12 <= bytes.size();) {
        const uint32_t length = word(at);
        if (at + 12 + length > bytes.size()) return std::nullopt;
        if (bytes.compare(at + 4, 4, "IDAT") == 0)
            deflated.insert(deflated.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at + 8),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
        at += 12 + length;
    }
    const size_t channels = colour == 6 ? 4 : 3, stride = width * channels;
    auto raw = security::inflate(deflated, nullptr, (stride + 1) * height + 1);
    if (!raw || raw->size() < (stride + 1) * (y + 1)) return std::nullopt;
    // Rows are unfiltered in order up to the one asked for.
    std::vector<uint8_t> previous(stride, 0), row(stride);
    for (uint32_t r = 0; r <= y; ++r) {
        const uint8_t* line = raw->data() + r * (stride + 1);
        for (size_t i = 0; i < stride; ++i) {
            const int a = i >= channels ? row[i - channels] : 0, b = previous[i];
            const int c = i >= channels ? previous[i - channels] : 0;
            int predicted = 0;
            switch (line[0]) {
                case 1: predicted = a; break;
                case 2: predicted = b; break;
                case 3: predicted = (a + b) / 2; break;
                case 4: {
                    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                    predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
                    break;
                }
                default: break;
            }
            row[i] = static_cast<uint8_t>(line[1 + i] + predicted);
        }
        previous.swap(row);
    }
    const uint8_t* pixel = previous.data() + x * channels;
    return std::array<uint8_t, 4>{pixel[0], pixel[1], pixel[2], channels == 4 ? pixel[3] : uint8_t{255}};
}

std::vector<std::string> framesOffByMoreThanAPoint(const std::string& dom, size_t& compared) {
    std::vector<std::string> off;
    compared = 0;
    for (const auto& element : elements(dom)) {
        if (!element.has("data-frame")) continue;
        const std::string box = element.get("data-box");
        if (box == "none") continue;
        ++compared;
        auto frame = numbers(element.get("data-frame"));
        auto laid = numbers(box);
        bool differs = frame.size() != 4 || laid.size() != 4;
        for (size_t i = 0; !differs && i < 4; ++i) differs = std::fabs(frame[i] - laid[i]) > 1.0;
        if (differs)
            off.push_back("<" + element.get("class") + (element.has("id") ? " #" + element.get("id") : "") +
                          "> frame " + element.get("data-frame") + " laid out at " + box);
    }
    return off;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

extern "C" char** environ;

CalvaroProcess::CalvaroProcess(std::vector<std::string> arguments, const std::vector<std::string>& replaced,
                               const std::filesystem::path& errors)
    : errors_(errors) {
    if (errors_.empty()) {
        std::string name = (std::filesystem::temp_directory_path() / "calvaro-stderr-XXXXXX").string();
        const int fd = ::mkstemp(name.data());
        if (fd >= 0) {
            ::close(fd);
            errors_ = name;
            ownErrors_ = true;
        }
    }
    for (const auto& a : arguments) commandLine_ += (commandLine_.empty() ? "" : " ") + a;
    arguments.insert(arguments.begin(), CALVARO_EXECUTABLE);
    std::vector<char*> argv;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = replaced;
    for (char** e = environ; *e; ++e) {
        const std::string variable = *e;
        bool kept = true;
        for (const auto& r : replaced) kept = kept && variable.rfind(r.substr(0, r.find('=') + 1), 0) != 0;
        if (kept) environment.push_back(variable);
    }
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors_.empty() ? "/dev/null" : errors_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    if (posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
}

CalvaroProcess::~CalvaroProcess() {
    if (pid_ > 0) {
        ::kill(-pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (testing::Test::HasFailure())
        std::cerr << "--- what calvaro " << commandLine_ << " said:\n" << said() << "\n---\n";
    if (out_ >= 0) ::close(out_);
    std::error_code ignored;
    if (ownErrors_) std::filesystem::remove(errors_, ignored);
}

bool CalvaroProcess::readUntil(const std::function<bool(const std::string&)>& holds, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!holds(output_))
        if (!readSome(deadline)) return false;
    return true;
}

bool CalvaroProcess::readUntil(const std::string& text) {
    return readUntil([&](const std::string& output) { return output.find(text) != std::string::npos; },
                     std::chrono::minutes(3));
}

void CalvaroProcess::signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
}

int CalvaroProcess::finish() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (readSome(deadline)) {
    }
    for (int status = 0; pid_ > 0;) {
        if (const pid_t done = ::waitpid(pid_, &status, WNOHANG); done == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > deadline) return -1;
        ::poll(nullptr, 0, 20);
    }
    return -1;
}

std::string CalvaroProcess::said() const {
    return errors_.empty() ? output_ : output_ + "\n--- standard error:\n" + readFile(errors_);
}

bool CalvaroProcess::readSome(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd fd{out_, POLLIN, 0};
    if (out_ < 0 || left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n <= 0) return false;
    output_.append(buffer, static_cast<size_t>(n));
    return true;
}
