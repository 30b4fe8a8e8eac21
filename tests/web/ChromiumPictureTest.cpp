// Pictures taken by headless Chromium: when the page is pictured, and where
// the browser's profile lives and when it goes.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/web/Chromium.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/support/TestPaths.h"
#include "tests/web/WebTestSupport.h"

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
    const fs::path starts = folder.path() / "starts";
    writeFile(fake, "#!/bin/sh\necho >> '" + starts.string() + "'\nexit 0\n");
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
    EXPECT_EQ(readFile(starts), "\n\n\n") << "a browser that cannot start is not started again";
}

// A browser that dies at work, after it has answered (here the first one
// says a word and ends), is started once more, and the picture comes; one
// that dies at work every time is a refused picture after two.
TEST(ChromiumPictureTest, ABrowserThatDiesAtWorkIsStartedOnceMore) {
    TemporaryDataRoot folder("chromium-dies");
    const fs::path fake = folder.path() / "chromium", starts = folder.path() / "starts";
    const std::string dying = "echo >> '" + starts.string() +
                              "'\nprintf '{\"method\":\"Target.targetCreated\",\"params\":{}}\\000' >&4\nexit 0\n";
    writeFile(fake, "#!/bin/sh\n[ -e '" + starts.string() + "' ] && exec '" +
                        web::Chromium::binary().string() + "' \"$@\"\n" + dying);
    fs::permissions(fake, fs::perms::owner_all);
    writeFile(folder.path() / "page.html", signalPage("drawn();"));
    const fs::path png = folder.path() / "page.png";
    ::setenv("CALVARO_CHROMIUM", fake.c_str(), 1);
    std::string error;
    EXPECT_TRUE(web::Chromium::screenshot(web::Chromium::fileUrl(folder.path() / "page.html"), png, 100, 60, 1, error))
        << error;
    EXPECT_EQ(pngSize(png), std::make_pair(100u, 60u));

    // Whether its exit or its last words are seen first, a browser that
    // answered and went died at work: many rounds, so that both orders come.
    writeFile(fake, "#!/bin/sh\n" + dying);
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        fs::remove(starts);
        EXPECT_FALSE(web::Chromium::screenshot(web::Chromium::fileUrl(folder.path() / "page.html"),
                                               folder.path() / "lost.png", 100, 60, 1, error));
        EXPECT_EQ(readFile(starts), "\n\n") << error;
    }
    ::unsetenv("CALVARO_CHROMIUM");
    EXPECT_FALSE(fs::exists(folder.path() / "lost.png"));
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

// A folder of the test's own with `relative` made in it (0700).
fs::path privateFolder(const fs::path& root, const std::string& relative) {
    const fs::path folder = root / relative;
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms::owner_all);
    return folder;
}

// Every picture of a process uses one profile, in the user's runtime folder
// when there is one (0700), and nothing of it is left when the process ends,
// after its script or after Ctrl-C (which ends the picture under way: it is
// then whole or absent).
TEST(ChromiumPictureTest, PicturesOfAProcessShareOneProfileThatGoesAtItsEnd) {
    for (const bool interrupted : {false, true}) {
        SCOPED_TRACE(interrupted ? "ended by SIGINT" : "script done");
        TemporaryDataRoot folder("chromium-profile");
        const fs::path runtime = privateFolder(folder.path(), "runtime");
        const fs::path script = folder.path() / "pictures.txt";
        writeFile(script, std::string("snapshot one\nsnapshot two\n") + (interrupted ? "wait 600\n" : ""));
        CalvaroProcess calvaro({"--home", (folder.path() / "home").string(), "--script", script.string(), "--pages",
                                (folder.path() / "pages").string(), "--pictures"},
                               {"XDG_RUNTIME_DIR=" + runtime.string()}, folder.path() / "errors.txt");

        // The second snapshot's header comes after the first one's picture:
        // the profile is there, and stays for the second picture.
        ASSERT_TRUE(calvaro.readUntil("=== snapshot 2")) << calvaro.said();
        const auto profiles = profilesIn(runtime);
        ASSERT_EQ(profiles.size(), 1u) << "one profile for the process";
        struct stat info {};
        ASSERT_EQ(::lstat(profiles[0].c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        if (interrupted) calvaro.signal(SIGINT);
        EXPECT_EQ(calvaro.finish(), interrupted ? 128 + SIGINT : 0) << calvaro.said();
        EXPECT_EQ(pngSize(folder.path() / "pages" / "one.png"), std::make_pair(780u, 1688u));
        if (!interrupted || fs::exists(folder.path() / "pages" / "two.png")) {
            EXPECT_EQ(pngSize(folder.path() / "pages" / "two.png"), std::make_pair(780u, 1688u));
        }
        EXPECT_TRUE(profilesIn(runtime).empty()) << "the profile is left behind";
    }
}

// What is wrong with the file at `path` as a picture: "" for a whole PNG
// (its signature first, its end chunk last) or no file at all.
std::string halfPicture(const fs::path& path) {
    if (!fs::exists(path)) return "";
    const std::string bytes = readFile(path);
    static const std::string signature("\x89PNG\r\n\x1a\n", 8);
    static const std::string end("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    if (bytes.rfind(signature, 0) != 0) return "no PNG signature";
    if (bytes.size() < signature.size() + end.size() || bytes.compare(bytes.size() - end.size(), end.size(), end) != 0)
        return "no end chunk: cut after " + std::to_string(bytes.size()) + " bytes";
    return "";
}

// Everything in `folder`, one name a line.
std::string entriesOf(const fs::path& folder) {
    std::string names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) names += entry.path().filename().string() + "\n";
    return names;
}

// Ctrl-C at any moment of a picture ends it at once, and the process leaves
// nothing of the browser in the runtime or temporary folder it was given
// (profile, Chromium's own temporary folder) and no picture but a whole one.
// The browser starts a second late, as on a busy machine, so that the
// moments fall before it runs, while it starts and while it draws; the end
// after a signal has less than two seconds, less than such a picture takes.
TEST(ChromiumPictureTest, AnInterruptedPictureLeavesNoProfileAndAWholePictureOrNone) {
    const std::filesystem::path chromium = web::Chromium::binary();
    ASSERT_FALSE(chromium.empty()) << "no Chromium";
    const int momentsInMilliseconds[] = {0, 300, 1100, 1600, 2400, 3500};
    for (const int moment : momentsInMilliseconds) {
        SCOPED_TRACE("SIGINT " + std::to_string(moment) + " ms after the snapshot began");
        TemporaryDataRoot folder("chromium-interrupted");
        const fs::path runtime = privateFolder(folder.path(), "runtime");
        // Short enough for Chromium's socket path: the temporary folder
        // Chromium is given is made in it.
        std::string temporary = "/tmp/cvXXXXXX";
        ASSERT_TRUE(::mkdtemp(temporary.data()));
        const fs::path late = folder.path() / "late-chromium";
        writeFile(late, "#!/bin/sh\nsleep 1\nexec '" + chromium.string() + "' \"$@\"\n");
        fs::permissions(late, fs::perms::owner_all);
        const fs::path script = folder.path() / "picture.txt", pages = folder.path() / "pages";
        writeFile(script, "snapshot shot\nwait 600\n");
        int status = -1;
        std::string said;
        {
            CalvaroProcess calvaro({"--home", (folder.path() / "home").string(), "--script", script.string(),
                                    "--pages", pages.string(), "--pictures"},
                                   {"XDG_RUNTIME_DIR=" + runtime.string(), "TMPDIR=" + temporary,
                                    "CALVARO_CHROMIUM=" + late.string()},
                                   folder.path() / "errors.txt");
            EXPECT_TRUE(calvaro.readUntil("=== snapshot 1"));
            // The moment of the signal, not a wait for work.
            std::this_thread::sleep_for(std::chrono::milliseconds(moment));
            calvaro.signal(SIGINT);
            status = calvaro.finish();
            said = calvaro.said();
        }
        const std::string leftInTemporary = entriesOf(temporary);
        std::error_code ec;
        fs::remove_all(temporary, ec);
        EXPECT_EQ(status, 128 + SIGINT) << said;
        // (The runtime folder also gets the desktop settings' "dconf", the
        // user's and every desktop program's.)
        EXPECT_TRUE(profilesIn(runtime).empty()) << "left in the runtime folder: " << entriesOf(runtime);
        EXPECT_EQ(leftInTemporary, "") << "left in the temporary folder";
        EXPECT_EQ(halfPicture(pages / "shot.png"), "");
        std::string written = entriesOf(pages);
        if (fs::exists(pages / "shot.png")) written.erase(written.find("shot.png\n"), 9);
        EXPECT_TRUE(written == "shot.txt\nshot.html\n" || written == "shot.html\nshot.txt\n") << written;
    }
}

}  // namespace
