// The page of the demonstration's Solution screen (its every row included),
// made from the view tree as `calvaro serve` makes it for each request.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "app/CalvaroMain.h"
#include "app/ScriptPlayer.h"
#include "bench/support/BenchTemporaryFolder.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/ProcessEnd.h"
#include "platform/foundation/FileSystem.h"
#include "platform/ui/Application.h"
#include "platform/ui/Driver.h"
#include "platform/web/HtmlPage.h"

namespace {

// Holds the data root; removed once the application and its queues have ended.
bench::BenchTemporaryFolder& temporaryFolder() {
    static bench::BenchTemporaryFolder folder("page-bench");
    return folder;
}

// Launches the application on a new data root and plays the demonstration
// up to its Solution screen.
ui::Window* solutionScreen() {
    static ui::Window* window = [] {
        const std::filesystem::path home = temporaryFolder().dataRoot();
        if (home.empty()) std::abort();
        foundation::FileSystem::setHome(home);
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
        if (!app::parseScript(script, actions, &error) || !player.play(actions, &error)) {
            std::cerr << error.describe() << "\n";
            std::abort();
        }
        return application.keyWindow();
    }();
    return window;
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

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    auto& application = ui::Application::shared();
    application.terminate();
    application.waitForBackgroundTasks(30);
    const bool ended = dispatch::endQueues(30);
    temporaryFolder().remove();
    // A thread still running must not meet the static destructors.
    if (!ended) std::_Exit(1);
    return 0;
}
