#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace web {

// Debian's headless Chromium, started once per request with no network of
// its own (no sync, updates or background fetches). Every run of a process
// uses the process's one profile, a private folder in memory where the system
// has one (else in the temporary folder) made on first use and removed when
// the process ends; runs take turns. CALVARO_CHROMIUM names another binary.
class Chromium {
  public:
    // The binary, or empty when none is installed.
    static std::filesystem::path binary();
    // The page's DOM after its scripts ran, serialised.
    static bool dumpDom(const std::string& url, std::string& dom, std::string& error);
    // A PNG of the page at `width` x `height` points and `scale` pixels a point,
    // taken over the browser's DevTools pipe once the page has loaded and, for
    // a page of ours, once it says it is drawn (data-ready on its body: every
    // formula typeset, every chart drawn) and its fonts have come. Refused
    // when it takes longer than two minutes of the browser's own time (the
    // turns other work takes from it on a crowded machine not counted), or
    // half an hour in all.
    static bool screenshot(const std::string& url, const std::filesystem::path& png, int width, int height,
                           double scale, std::string& error);
    // The end of the process's pictures, for an end that cannot wait for one
    // (a signal, a deadline): the browser of a picture in progress is ended
    // at once with every process it started (the picture is refused and no
    // file is left in its place), later pictures are refused, and the
    // profile is removed. Any thread may call it, more than once; it waits
    // at most about a second for the picture's thread to reap the browser.
    static void end();
    // "file://" + the absolute path, its unsafe characters escaped.
    static std::string fileUrl(const std::filesystem::path& path);
    // This process's environment ("NAME=value" each) with TMPDIR set to
    // `folder` (unchanged when it is empty): Chromium makes its singleton folder there, and one that is
    // ended before it could remove it leaves it there, not in the system's
    // temporary folder.
    static std::vector<std::string> environmentWithTemporaryFolder(const std::string& folder);
    // Called with the process id of every picture's browser once it has
    // started and before its first command is sent (none: nothing is
    // called), so that a test can hold the first command back, for instance
    // until a fake browser has gone. The browser is not to be reaped there.
    static void setStartedHookForTesting(std::function<void(int pid)> hook);
};

}  // namespace web
