// A picture's browser and file at the end of the process: the first signal
// ends the browser at once, and the picture's file appears only whole.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "app/SignalWatcher.h"
#include "platform/web/Chromium.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/web/WebTestSupport.h"

namespace {

namespace fs = std::filesystem;

// What reached `fd` before `deadline`, until the writers closed it; `closed`
// says whether they did.
std::string readFifoUntil(int fd, const std::function<bool(const std::string&)>& enough,
                          std::chrono::steady_clock::time_point deadline, bool& closed) {
    std::string got;
    closed = false;
    while (!enough(got)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            got.append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            closed = true;
            break;
        }
    }
    return got;
}

// The first signal ends the browser of a picture under way (a browser that
// never answers, which only that ends) and the process ends in order; were
// the browser left to the forced exit, that exit would come 1.8 s later and
// say so. The browser holds a FIFO open: its end is seen as the FIFO's
// close, an event, not a lapse of time.
TEST(ChromiumEndTest, TheFirstSignalEndsThePicturesBrowserAtOnce) {
    TemporaryDataRoot folder("chromium-first-signal");
    const fs::path fifo = folder.path() / "browser-alive";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Opened first, so that the browser's open for writing does not wait.
    const int alive = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(alive, 0);
    const fs::path browser = folder.path() / "silent-chromium";
    writeFile(browser, "#!/bin/sh\nexec 9>'" + fifo.string() + "'\necho started >&9\nexec sleep 600\n");
    fs::permissions(browser, fs::perms::owner_all);
    const fs::path script = folder.path() / "picture.txt";
    writeFile(script, "snapshot shot\nwait 600\n");
    CalvaroProcess calvaro({"--home", (folder.path() / "home").string(), "--script", script.string(), "--pages",
                            (folder.path() / "pages").string(), "--pictures"},
                           {"XDG_RUNTIME_DIR=" + folder.path().string(), "CALVARO_CHROMIUM=" + browser.string()},
                           folder.path() / "errors.txt");
    bool closed = false;
    const std::string started = readFifoUntil(
        alive, [](const std::string& got) { return got.find("started\n") != std::string::npos; },
        std::chrono::steady_clock::now() + std::chrono::minutes(2), closed);
    ASSERT_EQ(started, "started\n") << calvaro.said();
    calvaro.signal(SIGINT);
    const auto signalled = std::chrono::steady_clock::now();
    readFifoUntil(
        alive, [](const std::string&) { return false; }, signalled + std::chrono::seconds(30), closed);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
    ::close(alive);
    EXPECT_TRUE(closed) << "the browser is still there";
    const int status = calvaro.finish();
    const double exited = std::chrono::duration<double>(std::chrono::steady_clock::now() - signalled).count();
    const std::string said = calvaro.said();
    EXPECT_EQ(status, 128 + SIGINT) << said;
    // The forced exit comes kStopTimeLimit after the signal at the soonest:
    // a browser gone before that was ended by the first signal, however long
    // a crowded core then kept the rest of the end.
    EXPECT_TRUE(said.find("the end took too long") == std::string::npos ||
                (closed && seconds < app::SignalWatcher::kStopTimeLimit))
        << "the browser was ended by the forced exit, " << seconds << " s after the signal:\n"
        << said;
    EXPECT_FALSE(fs::exists(folder.path() / "pages" / "shot.png"));
    std::cout << "[ measured ] after the signal, the browser ended in " << seconds << " s, calvaro in " << exited
              << " s\n";
}

// The names the picture's folder saw made, written, moved in and removed,
// in order ("+name" made, "w name" written, "> name" moved in, "- name"
// removed), from an inotify watch.
std::vector<std::string> changesIn(int watch) {
    std::vector<std::string> changes;
    alignas(inotify_event) char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(watch, buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            const std::string name = event->len ? event->name : "";
            if (event->mask & IN_CREATE) changes.push_back("+ " + name);
            if (event->mask & (IN_MODIFY | IN_CLOSE_WRITE)) changes.push_back("w " + name);
            if (event->mask & IN_MOVED_TO) changes.push_back("> " + name);
            if (event->mask & (IN_DELETE | IN_MOVED_FROM)) changes.push_back("- " + name);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return changes;
}

// A picture is written under another name and moved to its own once whole:
// no reader, at whatever moment the writer is stopped, finds a part of it
// under its name. (Under its own name it is never made nor written.)
TEST(ChromiumEndTest, APictureAppearsUnderItsNameOnlyWhole) {
    ASSERT_FALSE(web::Chromium::binary().empty()) << "no Chromium";
    TemporaryDataRoot folder("chromium-whole-picture");
    const fs::path pictures = folder.path() / "pictures";
    fs::create_directories(pictures);
    writeFile(folder.path() / "page.html",
              "<!DOCTYPE html><html><body style=\"margin:0;background:#0a0\"></body></html>");
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, pictures.c_str(),
                                  IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE),
              0);
    std::string error;
    const bool taken = web::Chromium::screenshot(web::Chromium::fileUrl(folder.path() / "page.html"),
                                                 pictures / "shot.png", 120, 80, 1, error);
    const std::vector<std::string> changes = changesIn(watch);
    ::close(watch);
    ASSERT_TRUE(taken) << error;
    std::string all;
    for (const std::string& change : changes) all += change + "\n";
    int movedIn = 0;
    for (const std::string& change : changes) {
        EXPECT_NE(change, "+ shot.png") << all;
        EXPECT_NE(change, "w shot.png") << all;
        movedIn += change == "> shot.png";
    }
    EXPECT_EQ(movedIn, 1) << all;
    EXPECT_EQ(pngSize(pictures / "shot.png"), std::make_pair(120u, 80u));
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(pictures)) left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"shot.png"}) << "a temporary file is left";
}

}  // namespace
