// The demonstration's Solution screen (its every row included) as a page,
// made from the view tree as `calvaro serve` makes it for each request, and
// as pictures: the share of its solution (tap to saved PNG), a snapshot with
// its picture as `calvaro --pages DIR --pictures` writes it, and a bare
// Chromium screenshot of the same page as the reference.
//
// Comparing two builds: `web_page_bench --alternate=OTHER [--rounds=N]
// [--only=NAME]` runs each picture benchmark as a fresh process of OTHER (a
// web_page_bench of the other build, listed first) and of this binary in turn,
// N rounds, and prints each one's median and spread with the load.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "Calvaro/charts/SolutionImageRendering.h"
#include "app/CalvaroMain.h"
#include "app/ScriptPlayer.h"
#include "bench/support/BenchStatistics.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ProcessEnd.h"
#include "platform/foundation/FileSystem.h"
#include "platform/ui/AlertController.h"
#include "platform/ui/Application.h"
#include "platform/ui/Driver.h"
#include "platform/ui/Snapshot.h"
#include "platform/web/Chromium.h"
#include "platform/web/HtmlPage.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// The bench's own folders, removed at its end: the data root and a folder
// for pages, pictures and the reference's Chromium profile.
fs::path& dataRoot() {
    static fs::path root;
    return root;
}
fs::path& workFolder() {
    static fs::path folder;
    return folder;
}

[[noreturn]] void stop(const std::string& why) {
    std::cerr << "web_page_bench: " << why << "\n";
    std::exit(1);
}

// Launches the application on a new data root and plays the demonstration
// up to its Solution screen.
ui::Window* solutionScreen() {
    static ui::Window* window = [] {
        char folder[] = "/tmp/calvaro-page-bench-XXXXXX";
        if (!mkdtemp(folder)) std::abort();
        dataRoot() = folder;
        char work[] = "/tmp/calvaro-page-bench-work-XXXXXX";
        if (!mkdtemp(work)) std::abort();
        workFolder() = work;
        foundation::FileSystem::setHome(folder);
        dispatch::markMainThread();
        auto& application = ui::Application::shared();
        if (!application.launch(makeCalvaroAppDelegate())) std::abort();
        ui::Driver driver(application);
        driver.settle();
        std::string script = calvaroDemoScript();
        script = script.substr(0, script.find("snapshot solution"));
        std::vector<app::ScriptAction> actions;
        app::ScriptError error;
        std::ostringstream ignored;
        app::ScriptPlayer player(driver, ignored);
        if (!app::parseScript(script, actions, &error) || !player.play(actions, &error)) stop(error.describe());
        return application.keyWindow();
    }();
    return window;
}

bool writeFile(const fs::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    return static_cast<bool>(file);
}

// What `calvaro --pages DIR --pictures` does for one snapshot: its text, its
// page and its picture at the window's size and scale 2.
void writeSnapshot(ui::Window& window, const std::string& name) {
    const fs::path html = workFolder() / (name + ".html");
    if (!writeFile(workFolder() / (name + ".txt"), ui::Snapshot::ofKeyWindow()) ||
        !writeFile(html, web::HtmlPage::ofWindow(window)))
        stop("cannot write the snapshot's page");
    std::string error;
    const ui::Rect frame = window.frame();
    if (!web::Chromium::screenshot(web::Chromium::fileUrl(html), workFolder() / (name + ".png"),
                                   static_cast<int>(std::lround(frame.width())),
                                   static_cast<int>(std::lround(frame.height())), 2.0, error))
        stop("no picture of the snapshot: " + error);
}

// Runs `args` with nothing to read and its output dropped; its exit status,
// -1 when it could not start, and 128 + the signal that ended it.
int runQuietly(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

// Chromium as one would start it by hand, on a profile of its own kept for
// the bench, with the arguments every picture of ours has.
void bareScreenshot(const fs::path& html, const fs::path& png) {
    const fs::path profile = workFolder() / "bare-profile";
    std::vector<std::string> args = {web::Chromium::binary().string(), "--headless", "--no-sandbox", "--disable-gpu",
                                     "--disable-quic", "--no-first-run", "--disable-background-networking",
                                     "--disable-component-update", "--disable-sync", "--hide-scrollbars",
                                     "--allow-file-access-from-files", "--user-data-dir=" + profile.string(),
                                     "--screenshot=" + png.string(), "--window-size=390,844",
                                     "--force-device-scale-factor=2", web::Chromium::fileUrl(html)};
    const int status = runQuietly(args);
    if (status < 0) stop("cannot start Chromium");
    std::error_code ec;
    if (status != 0 || !fs::exists(png, ec)) stop("Chromium made no picture");
}

void BM_SolutionScreenPage(benchmark::State& state) {
    ui::Window* window = solutionScreen();
    web::PageOptions options;
    options.katexBase = "/katex";
    options.live = true;
    size_t bytes = 0;
    for (auto _ : state) {
        std::string page = web::HtmlPage::ofWindow(*window, options);
        bytes = page.size();
        benchmark::DoNotOptimize(page);
    }
    state.counters["page_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_SolutionScreenPage)->Unit(benchmark::kMicrosecond);

// The share as a user has it: from the tap on the share button, through the
// walk over every row, to the PNG saved once the alert is confirmed (as soon
// as the picture is ready). It is the process's first picture, as in a run
// of the demonstration without --pictures.
void BM_SharePicture(benchmark::State& state) {
    ui::Window* window = solutionScreen();
    ui::Driver driver(ui::Application::shared());
    auto main = dispatch::MainQueue::shared();
    for (auto _ : state) {
        if (!driver.tap("shareButton")) stop("cannot share: " + driver.lastError());
        while (isRenderingSolutionImage) main->runFor(0.001);
        if (!driver.answerAlert("OK")) stop("no image-quality alert: " + driver.lastError());
        auto* sheet = dynamic_cast<ui::ActivityViewController*>(window->topViewController());
        if (!sheet) stop("no share sheet");
        sheet->view();  // the sheet saves its picture as it is drawn
        state.PauseTiming();
        if (sheet->savedPaths().empty() || sheet->savedPaths()[0].empty())
            stop("the picture was not saved: " + (sheet->itemTexts().empty() ? "" : sheet->itemTexts()[0]));
        std::error_code ec;
        fs::remove(sheet->savedPaths()[0], ec);
        sheet->dismiss(false);
        driver.settle();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_SharePicture)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// One snapshot with its picture, after a first one: as the demonstration's
// later snapshots are made.
void BM_SnapshotPicture(benchmark::State& state) {
    ui::Window* window = solutionScreen();
    writeSnapshot(*window, "first");
    for (auto _ : state) writeSnapshot(*window, "solution");
}
BENCHMARK(BM_SnapshotPicture)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// The reference: the same page pictured by Chromium alone, after a first run
// that made its profile.
void BM_BareChromiumScreenshot(benchmark::State& state) {
    ui::Window* window = solutionScreen();
    const fs::path html = workFolder() / "bare.html";
    if (!writeFile(html, web::HtmlPage::ofWindow(*window))) stop("cannot write the page");
    bareScreenshot(html, workFolder() / "bare-first.png");
    for (auto _ : state) bareScreenshot(html, workFolder() / "bare.png");
}
BENCHMARK(BM_BareChromiumScreenshot)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// One benchmark of `binary` in a process of its own; its time in ms, or a
// negative number when it failed.
double runOnce(const std::string& binary, const std::string& name) {
    const std::string out = (workFolder() / "round.json").string();
    std::vector<std::string> args = {binary, "--benchmark_filter=^" + name + "(/|$)", "--benchmark_out=" + out,
                                     "--benchmark_out_format=json", "--benchmark_format=console"};
    if (runQuietly(args) != 0) return -1;
    try {
        std::ifstream in(out);
        const nlohmann::json report = nlohmann::json::parse(in);
        const auto& run = report.at("benchmarks").at(0);
        const double time = run.at("real_time").get<double>();
        const std::string unit = run.at("time_unit").get<std::string>();
        return unit == "ms" ? time : unit == "us" ? time / 1e3 : unit == "ns" ? time / 1e6 : time * 1e3;
    } catch (const std::exception&) {
        return -1;
    }
}

std::string summary(const std::vector<double>& times) {
    if (times.empty()) return "no run succeeded";
    const bench::Spread spread = bench::spreadOf(times);
    char text[160];
    std::snprintf(text, sizeof text, "median %7.0f ms  (min %5.0f, quartiles %5.0f-%5.0f, max %5.0f; %zu runs)",
                  spread.median, spread.low, spread.q1, spread.q3, spread.high, spread.count);
    return text;
}

// Rounds of (other build, this build) for every picture benchmark.
int alternate(const std::string& other, int rounds, const std::string& only) {
    char work[] = "/tmp/calvaro-page-bench-work-XXXXXX";
    if (!mkdtemp(work)) stop("cannot make a work folder");
    workFolder() = work;
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    std::vector<std::string> names = {"BM_SharePicture", "BM_SnapshotPicture", "BM_BareChromiumScreenshot"};
    if (!only.empty()) names = {only};
    std::vector<std::vector<double>> times(names.size() * 2);
    const std::string loadBefore = bench::loadAverage();
    std::cout << "load before: " << loadBefore << "\n";
    for (int round = 1; round <= rounds; ++round) {
        std::cout << "round " << round << ":";
        for (size_t b = 0; b < names.size(); ++b)
            for (int which = 0; which < 2; ++which) {
                const double ms = runOnce(which == 0 ? other : self, names[b]);
                if (ms >= 0) times[2 * b + which].push_back(ms);
                std::cout << " " << (which == 0 ? "other " : "this ") << names[b].substr(3) << " "
                          << static_cast<long>(ms);
            }
        std::cout << "  load " << bench::loadAverage() << std::endl;
    }
    std::cout << "load after: " << bench::loadAverage() << "\n";
    for (size_t b = 0; b < names.size(); ++b) {
        std::cout << names[b] << "\n  other: " << summary(times[2 * b]) << "\n  this:  " << summary(times[2 * b + 1])
                  << "\n";
        if (!times[2 * b].empty() && !times[2 * b + 1].empty())
            std::printf("  other / this: %.2f\n", bench::spreadOf(times[2 * b]).median / bench::spreadOf(times[2 * b + 1]).median);
    }
    std::error_code ec;
    fs::remove_all(workFolder(), ec);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string other, only;
    int rounds = 12;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--alternate=", 0) == 0) other = arg.substr(12);
        else if (arg.rfind("--rounds=", 0) == 0) rounds = std::max(1, std::atoi(arg.c_str() + 9));
        else if (arg.rfind("--only=", 0) == 0) only = arg.substr(7);
        else rest.push_back(argv[i]);
    }
    if (!other.empty()) return alternate(other, rounds, only);
    int restCount = static_cast<int>(rest.size());
    rest.push_back(nullptr);
    benchmark::Initialize(&restCount, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (dataRoot().empty()) return 0;
    auto& application = ui::Application::shared();
    application.terminate();
    application.waitForBackgroundTasks(30);
    dispatch::endQueues(30);
    // The engine's queues have ended: nothing writes into the data root now.
    std::error_code ec;
    fs::remove_all(dataRoot(), ec);
    fs::remove_all(dataRoot().string() + ".keychain", ec);
    fs::remove_all(workFolder(), ec);
    return 0;
}
