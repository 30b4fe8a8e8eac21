// Pictures taken by headless Chromium: when the page is pictured, and where
// the browser's profile lives and when it goes.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/web/Chromium.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/support/TestPaths.h"
#include "tests/web/WebTestSupport.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// A page of ours (it has the typesetting script's entry point) that is green
// once it says it is drawn; `finish` is the script that gets it there.
std::string signalPage(const std::string& finish) {
    return "<!DOCTYPE html><html><head><style>body{margin:0;width:100px;height:60px;background:#c00}"
           "</style></head><body><script>window.calvaroTypeset=function(){};"
           "function drawn(){document.body.style.background='#0a0';document.body.dataset.ready='1';}" +
           finish + "</script></body></html>";
}

// The same pixels give the same PNG bytes (one encoder, one setting), so
// pictures are compared by their bytes.
TEST(ChromiumPictureTest, APageIsPicturedWhenItSaysItIsDrawn) {
    TemporaryDataRoot folder("chromium-picture");
    struct SignalCase {
        const char* name;
        std::string finish;
    };
    const SignalCase cases[] = {
        {"at once", "drawn();"},
        {"after a timer", "setTimeout(drawn, 300);"},
        {"after frames", "var n=0;(function f(){if(++n<20)requestAnimationFrame(f);else drawn();})();"},
    };
    std::string error;
    const fs::path reference = folder.path() / "green.png";
    writeFile(folder.path() / "green.html", signalPage("drawn();"));
    ASSERT_TRUE(web::Chromium::screenshot(web::Chromium::fileUrl(folder.path() / "green.html"), reference, 100, 60, 1,
                                          error))
        << error;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path page = folder.path() / "page.html", png = folder.path() / "page.png";
        writeFile(page, signalPage(c.finish));
        ASSERT_TRUE(web::Chromium::screenshot(web::Chromium::fileUrl(page), png, 100, 60, 1, error)) << error;
        EXPECT_EQ(pngSize(png), std::make_pair(100u, 60u));
        EXPECT_EQ(readFile(png), readFile(reference)) << "pictured before the page was drawn";
    }
    // Not ours: pictured at its load, whatever it does later.
    const fs::path page = folder.path() / "plain.html", png = folder.path() / "plain.png";
    writeFile(page, "<!DOCTYPE html><html><body style=\"margin:0;background:#c00\"></body></html>");
    ASSERT_TRUE(web::Chromium::screenshot(web::Chromium::fileUrl(page), png, 100, 60, 1, error)) << error;
    EXPECT_NE(readFile(png), readFile(reference));
    EXPECT_FALSE(web::Chromium::screenshot(web::Chromium::fileUrl(folder.path() / "missing.html"),
                                           folder.path() / "missing.png", 100, 60, 1, error));
}

// A browser that ends before it answers (here one that ends at once, before
// or after the first command reaches it) is a refused picture, not a crash.
TEST(ChromiumPictureTest, ABrowserThatEndsEarlyRefusesThePicture) {
    TemporaryDataRoot folder("chromium-ends");
    const fs::path fake = folder.path() / "chromium";
    writeFile(fake, "#!/bin/sh\nexit 0\n");
    fs::permissions(fake, fs::perms::owner_all);
    writeFile(folder.path() / "page.html", "<!DOCTYPE html><html><body></body></html>");
    ::setenv("CALVARO_CHROMIUM", fake.c_str(), 1);
    std::string error;
    for (int run = 0; run < 3; ++run)
        EXPECT_FALSE(web::Chromium::screenshot(web::Chromium::fileUrl(folder.path() / "page.html"),
                                               folder.path() / "page.png", 100, 60, 1, error));
    ::unsetenv("CALVARO_CHROMIUM");
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(fs::exists(folder.path() / "page.png"));
}

// Chromium makes its singleton folder in the temporary folder and removes it
// only when it ends in order: one that is killed leaves it. It is given a
// temporary folder inside the profile, which goes with the profile.
TEST(ChromiumPictureTest, AnEndedBrowserLeavesNothingInTheTemporaryFolder) {
    TemporaryDataRoot folder("chromium-temporary");
    const fs::path fake = folder.path() / "chromium", system = folder.path() / "system-tmp";
    fs::create_directories(system);
    writeFile(fake, "#!/bin/sh\nmkdir -p \"${TMPDIR:-/tmp}/org.chromium.Chromium.left\"\nexit 0\n");
    fs::permissions(fake, fs::perms::owner_all);
    writeFile(folder.path() / "page.html", "<!DOCTYPE html><html><body></body></html>");
    const char* saved = std::getenv("TMPDIR");
    const std::string savedTemporary = saved ? saved : "";
    ::setenv("TMPDIR", system.c_str(), 1);
    ::setenv("CALVARO_CHROMIUM", fake.c_str(), 1);
    std::string error;
    EXPECT_FALSE(web::Chromium::screenshot(web::Chromium::fileUrl(folder.path() / "page.html"),
                                           folder.path() / "page.png", 100, 60, 1, error));
    std::string dom;
    web::Chromium::dumpDom(web::Chromium::fileUrl(folder.path() / "page.html"), dom, error);
    ::unsetenv("CALVARO_CHROMIUM");
    if (saved) ::setenv("TMPDIR", savedTemporary.c_str(), 1);
    else ::unsetenv("TMPDIR");
    EXPECT_TRUE(fs::is_empty(system)) << "left: " << fs::directory_iterator(system)->path();
}

// `calvaro` with pictures, its runtime folder one of the test's own: the
// folders in it named like a Chromium profile.
std::vector<fs::path> profilesIn(const fs::path& runtime) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(runtime, ec))
        if (entry.path().filename().string().rfind("calvaro-chromium-", 0) == 0) out.push_back(entry.path());
    return out;
}

// Every picture of a process uses one profile, in the user's runtime folder
// when there is one (0700), and nothing of it is left when the process ends,
// after its script or after Ctrl-C.
TEST(ChromiumPictureTest, PicturesOfAProcessShareOneProfileThatGoesAtItsEnd) {
    for (const bool interrupted : {false, true}) {
        SCOPED_TRACE(interrupted ? "ended by SIGINT" : "script done");
        TemporaryDataRoot folder("chromium-profile");
        const fs::path runtime = folder.path() / "runtime";
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        const fs::path script = folder.path() / "pictures.txt";
        writeFile(script, std::string("snapshot one\nsnapshot two\n") + (interrupted ? "wait 600\n" : ""));
        std::vector<std::string> args = {CALVARO_EXECUTABLE,
                                         "--home",
                                         (folder.path() / "home").string(),
                                         "--script",
                                         script.string(),
                                         "--pages",
                                         (folder.path() / "pages").string(),
                                         "--pictures"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> environment = {"XDG_RUNTIME_DIR=" + runtime.string()};
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "XDG_RUNTIME_DIR=", 16) != 0) environment.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& e : environment) envp.push_back(e.data());
        envp.push_back(nullptr);

        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);

        // The second snapshot's header comes after the first one's picture:
        // the profile is there, and stays for the second picture.
        std::string output;
        char buffer[4096];
        bool secondBegun = false;
        for (ssize_t n; !secondBegun && (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
            output.append(buffer, static_cast<size_t>(n));
            secondBegun = output.find("=== snapshot 2") != std::string::npos;
        }
        ASSERT_TRUE(secondBegun) << output;
        const auto profiles = profilesIn(runtime);
        ASSERT_EQ(profiles.size(), 1u) << "one profile for the process";
        struct stat info {};
        ASSERT_EQ(::lstat(profiles[0].c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        if (interrupted) ::kill(pid, SIGINT);
        while (::read(out[0], buffer, sizeof buffer) > 0) {
        }
        ::close(out[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), interrupted ? 128 + SIGINT : 0);
        EXPECT_EQ(pngSize(folder.path() / "pages" / "one.png"), std::make_pair(780u, 1688u));
        EXPECT_EQ(pngSize(folder.path() / "pages" / "two.png"), std::make_pair(780u, 1688u));
        EXPECT_TRUE(profilesIn(runtime).empty()) << "the profile is left behind";
    }
}

}  // namespace
