// A picture's browser that said a word and went is known to have died at
// work whichever of its two ends the picture sees first: its refusal of the
// first command (it is gone) or its last words.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "platform/web/Chromium.h"
#include "tests/support/TemporaryDataRoot.h"
#include "tests/web/WebTestSupport.h"

namespace {

namespace fs = std::filesystem;

// Whether the process `pid` has exited (not reaping it) within `limit`.
bool exitedWithin(int pid, std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        if (std::chrono::steady_clock::now() > until) return false;
        ::usleep(1000);
    }
}

// Each case forces one order every round: the first command is held back
// until the fake has gone (the command is refused, and its last words are
// still unread in the pipe), or the fake waits for the command before it
// speaks and goes (its words and its exit are read after the command).
TEST(ChromiumLossTest, ABrowserThatAnsweredAndWentIsStartedOnceMoreInEitherOrder) {
    TemporaryDataRoot folder("chromium-loss");
    const fs::path fake = folder.path() / "chromium", starts = folder.path() / "starts";
    writeFile(folder.path() / "page.html", "<!DOCTYPE html><html><body></body></html>");
    const std::string lastWords = "printf '{\"method\":\"Target.targetCreated\",\"params\":{}}\\000' >&4\n";
    const struct {
        const char* name;
        std::string beforeWords;
        bool holdFirstCommand;
    } cases[] = {
        {"gone before its first command", "", true},
        {"gone after its first command", "dd bs=1 count=1 <&3 >/dev/null 2>&1\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(fake, "#!/bin/sh\necho >> '" + starts.string() + "'\n" + c.beforeWords + lastWords + "exit 0\n");
        fs::permissions(fake, fs::perms::owner_all);
        bool held = true;
        if (c.holdFirstCommand) {
            web::Chromium::setStartedHookForTesting([&held](int pid) {
                if (!exitedWithin(pid, std::chrono::seconds(30))) held = false;
            });
        }
        ::setenv("CALVARO_CHROMIUM", fake.c_str(), 1);
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE("round " + std::to_string(round));
            fs::remove(starts);
            std::string error;
            EXPECT_FALSE(web::Chromium::screenshot(web::Chromium::fileUrl(folder.path() / "page.html"),
                                                   folder.path() / "lost.png", 100, 60, 1, error));
            EXPECT_EQ(readFile(starts), "\n\n") << "a browser lost at work is started once more: " << error;
        }
        ::unsetenv("CALVARO_CHROMIUM");
        web::Chromium::setStartedHookForTesting(nullptr);
        EXPECT_TRUE(held) << "the fake did not go within 30 s";
    }
    EXPECT_FALSE(fs::exists(folder.path() / "lost.png"));
}

}  // namespace
